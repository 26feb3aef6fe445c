// Mills made without a pump thread, stepped from the test's own thread, so a
// test decides when each step runs and can tell when nothing is left to run.
// A step is a pump step of every mill, then every message posted on the
// thread and every timer due. Between steps the stepper waits on what can
// move the mills on: their sockets, the thread's message queue and its next
// timer. Settle steps until the mills are quiet: a step posted nothing, no
// pipe has anything left to send, and every byte sent has been taken in by
// its receiver's socket and read from it. A check that something did not
// happen then runs after a known number of steps instead of after a guess at
// how long the machine needs.
//
// Only the mills named by the list are watched: a relay on another thread, or
// an engine that runs its own pump, is invisible to Settle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/win32/tick.h"
#include "transport/mMill.h"

namespace tw::test {

class TMillStepper {
 public:
  // Fills the vector with the mills to step. Asked again before each pump
  // step, so a handler may add or destroy mills between them.
  using TMillList = std::function<void(std::vector<CMill*>&)>;

  explicit TMillStepper(TMillList mills);

  // One step; returns how many messages and timers it dispatched. A mill whose
  // pump step is under way further down the stack (a handler that steps again)
  // is left out, as its pump thread would leave it.
  size_t Step();
  // Steps until `done` holds or `timeoutMs` of real time passed; returns done().
  bool RunUntil(const std::function<bool()>& done, win32::DWORD timeoutMs);
  // Steps until the mills are quiet (see above); false when they are still
  // busy after kSettleLimitMs of real time, a bound that only a fault reaches.
  bool Settle();
  // After a step that dispatched nothing: nothing left to send, receive or read.
  bool Quiet();

  // How many steps the last Settle ran.
  size_t SettleSteps() const { return settleSteps_; }

  static constexpr win32::DWORD kSettleLimitMs = 5000;

 private:
  // Blocks until a socket turns readable, a message is posted, a timer is due,
  // or `maxMs` passed.
  void Wait(int maxMs);
  std::vector<CMill*>& Mills();

  TMillList list_;
  std::vector<CMill*> mills_;     // as the list gave them last
  std::vector<CMill*> stepping_;  // whose pump step is running now, outermost first
  size_t settleSteps_ = 0;
};

}  // namespace tw::test
