#include "host/mMessageBridge.h"

#include <QCoreApplication>

#include "platform/win32/tick.h"

namespace tw {

TMessageBridge::TMessageBridge(QObject* parent)
    : QObject(parent), notifier_(win32::MessageQueueFd(), QSocketNotifier::Read) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&notifier_, &QSocketNotifier::activated, this, [this] { Pump(); });
  connect(&timer_, &QTimer::timeout, this, [this] { Pump(); });
  Reschedule();
}

void TMessageBridge::Pump() {
  win32::ProcessMessages();
  Reschedule();
}

void TMessageBridge::Reschedule() {
  const int due = win32::NextTimerTimeout();
  if (due < 0) {
    timer_.stop();
    return;
  }
  const uint32_t deadline = win32::GetTickCount() + static_cast<uint32_t>(due);
  if (timer_.isActive() && deadline == armedFor_) return;
  armedFor_ = deadline;
  timer_.start(due);
}

TLongWorkPump::TLongWorkPump()
    : observer_([this] {
        if (inside_) return;  // Qt's own events may pump the queue again
        inside_ = true;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        inside_ = false;
      }) {}

}  // namespace tw
