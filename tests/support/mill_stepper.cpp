// Quiet is judged on the sockets as the system holds them: a pipe's send
// queue and buffer (the mill lists the socket as writable while either holds
// anything), the bytes sent but not yet acknowledged by the receiving socket
// (SIOCOUTQ; on loopback the acknowledgement comes once they sit in the
// receiver's queue), and the bytes waiting to be read (poll). Checked in that
// order, a byte on its way is always seen in one of the three places.
#include "tests/support/mill_stepper.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>

#include "platform/win32/messages.h"
#include "platform/winsock/winsock.h"

namespace tw::test {
namespace {

using Clock = std::chrono::steady_clock;

bool Holds(const std::vector<CMill*>& mills, const CMill* mill) {
  return std::find(mills.begin(), mills.end(), mill) != mills.end();
}

// Bytes a socket sent that its receiver has not acknowledged yet; 0 for a
// socket that cannot say (a listener).
int Unacknowledged(ws::SOCKET s) {
  int queued = 0;
  return ::ioctl(s, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

int MsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX));
}

}  // namespace

TMillStepper::TMillStepper(TMillList mills) : list_(std::move(mills)) {}

std::vector<CMill*>& TMillStepper::Mills() {
  mills_.clear();
  list_(mills_);
  return mills_;
}

size_t TMillStepper::Step() {
  // The list is asked again after every pump step: a handler in one may have
  // destroyed a mill that has not been stepped yet.
  std::vector<CMill*> stepped;
  for (;;) {
    CMill* next = nullptr;
    for (CMill* m : Mills()) {
      if (!Holds(stepped, m) && !Holds(stepping_, m)) {
        next = m;
        break;
      }
    }
    if (!next) break;
    stepped.push_back(next);
    stepping_.push_back(next);
    next->PumpUp();
    stepping_.pop_back();
  }
  size_t dispatched = 0;
  while (win32::ProcessMessages()) ++dispatched;
  return dispatched;
}

bool TMillStepper::Quiet() {
  ws::fd_set readable, writable;
  for (CMill* m : Mills()) m->AddPollSockets(readable, writable);
  if (!writable.empty()) return false;
  const std::vector<ws::SOCKET>& sockets = readable.sockets();
  if (std::any_of(sockets.begin(), sockets.end(), [](ws::SOCKET s) { return Unacknowledged(s) > 0; }))
    return false;
  std::vector<pollfd> fds;
  for (ws::SOCKET s : sockets) fds.push_back({s, POLLIN, 0});
  return fds.empty() || ::poll(fds.data(), fds.size(), 0) == 0;
}

void TMillStepper::Wait(int maxMs) {
  ws::fd_set readable, writable;
  for (CMill* m : Mills()) m->AddPollSockets(readable, writable);
  // A pipe with bytes to send or a connect under way is stepped again soon.
  int wait = writable.empty() ? maxMs : std::min(maxMs, 1);
  const int timer = win32::NextTimerTimeout();
  if (timer >= 0) wait = std::min(wait, timer);
  if (wait <= 0) return;
  std::vector<pollfd> fds{{win32::MessageQueueFd(), POLLIN, 0}};
  for (ws::SOCKET s : readable.sockets()) fds.push_back({s, POLLIN, 0});
  ::poll(fds.data(), fds.size(), wait);
}

bool TMillStepper::RunUntil(const std::function<bool()>& done, win32::DWORD timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Step() > 0) continue;
    if (done()) return true;
    const int left = MsLeft(end);
    if (left == 0) return false;
    // A test clock may hold timers back: the wait never outlasts a pump
    // period, so a test that moves the clock is seen soon.
    Wait(std::min<int>(left, CMill::kPumpIntervalMs));
  }
  return true;
}

bool TMillStepper::Settle() {
  const auto end = Clock::now() + std::chrono::milliseconds(kSettleLimitMs);
  for (settleSteps_ = 1;; ++settleSteps_) {
    const size_t dispatched = Step();
    if (dispatched == 0 && Quiet()) return true;
    const int left = MsLeft(end);
    if (left == 0) return false;
    if (dispatched == 0) Wait(std::min<int>(left, CMill::kPumpIntervalMs));
  }
}

}  // namespace tw::test
