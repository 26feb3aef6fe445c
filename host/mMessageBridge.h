// TMessageBridge: runs the platform message queue of the calling thread
// inside Qt's event loop, so that the control's timers, pump steps and
// events run while Qt waits, in modal dialogs too. It watches the queue's
// descriptor and keeps one timer at the queue's next deadline; on either it
// dispatches what is due. The timer is armed again only when that deadline
// moves: an idle host wakes for its timers and its messages, not for the
// bridge's own bookkeeping. Create one on the GUI thread after QApplication.
//
// TLongWorkPump keeps Qt painting while a long call (key generation) pumps
// the platform queue instead of returning to Qt.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>

#include "platform/win32/messages.h"

namespace tw {

class TMessageBridge : public QObject {
 public:
  explicit TMessageBridge(QObject* parent = nullptr);
  // Dispatches what the queue holds and re-arms the timer.
  void Pump();

 private:
  void Reschedule();

  QSocketNotifier notifier_;
  QTimer timer_;
  uint32_t armedFor_ = 0;  // tick count at which the running timer fires
};

// While alive, every platform pump on this thread lets Qt process its
// pending events except user input (so nothing can be clicked half way).
class TLongWorkPump {
 public:
  TLongWorkPump();

 private:
  bool inside_ = false;
  win32::ScopedPumpObserver observer_;
};

}  // namespace tw
