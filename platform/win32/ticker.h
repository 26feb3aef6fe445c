// A thread of its own that calls a function on a fixed grid of periods, for
// work that must be started from outside the message loop at a steady pace
// (the transport's pump). Started by construction, stopped and joined by
// destruction.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/win32/tick.h"

namespace tw::win32 {

// What a call on the grid did; it decides when the next call comes.
enum class TickOutcome {
  Ticked,  // the work was started: the next call is one period later on the grid
  Rested,  // there was nothing to do: the next call is on the grid, even if late
  Busy,    // the last work is not done yet: try again kRetryMs later
};

// The grid arithmetic of a Ticker, apart from its thread. Calls keep to the
// grid: the time a call takes and the time to wake up are not added to every
// period, so the calls do not drift later and later. A call that finds the
// work busy is retried soon, so that the next call follows a slow one at once
// instead of a whole period later; calls still never queue up.
class TickGrid {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRetry{1};

  TickGrid(std::chrono::milliseconds period, Clock::time_point first) : period_(period), due_(first) {}

  // When the call after one that ended with `outcome` at `now` is due. A
  // Ticked call that ended past its slot starts the grid again from `now`.
  Clock::time_point Next(TickOutcome outcome, Clock::time_point now);

 private:
  std::chrono::milliseconds period_;
  Clock::time_point due_;
};

// Calls `onTick` on its own thread at once, then as TickGrid says, until the
// object is destroyed. Declare it after every member `onTick` uses, so that
// its thread has ended before they go.
class Ticker {
 public:
  Ticker(DWORD periodMs, std::function<TickOutcome()> onTick);
  // Tells the thread to end and waits for it: at most one wait on the grid
  // (a period), the price of sleeping with no wake-up to watch.
  ~Ticker();

  // The thread has left its loop.
  bool Finished() const { return finished_.load(); }

  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  void Run(std::chrono::milliseconds period);

  std::function<TickOutcome()> onTick_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace tw::win32
