#include "platform/win32/ticker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace tw::win32;
using namespace std::chrono_literals;

namespace {

using Clock = TickGrid::Clock;

}  // namespace

TEST(TickGrid, KeepsToTheGridRetriesBusyCallsSoonAndRestartsAfterALateOne) {
  const Clock::time_point t0{};
  TickGrid grid(10ms, t0);
  struct Step {
    TickOutcome outcome;
    Clock::duration now;   // when the call ended, from t0
    Clock::duration next;  // when the next call is due, from t0
  };
  const Step steps[] = {
      {TickOutcome::Ticked, 2ms, 10ms},   // the time a call takes is not added
      {TickOutcome::Ticked, 13ms, 20ms},  // a late wake-up is not added either
      {TickOutcome::Busy, 20ms, 21ms},    // busy: again a millisecond later...
      {TickOutcome::Busy, 21ms, 22ms},
      {TickOutcome::Ticked, 22ms, 30ms},  // ...and the grid is where it was
      {TickOutcome::Ticked, 45ms, 55ms},  // past its slot: the grid starts again from now
      {TickOutcome::Rested, 56ms, 65ms},  // rested: the next slot of the grid...
      {TickOutcome::Rested, 90ms, 75ms},  // ...even when late, so rested slots catch up
      {TickOutcome::Rested, 90ms, 85ms},
      {TickOutcome::Ticked, 90ms, 95ms},
  };
  for (const Step& s : steps)
    EXPECT_EQ(grid.Next(s.outcome, t0 + s.now) - t0, s.next) << "call ending at " << s.now.count();
}

TEST(Ticker, CallsOnItsOwnThreadRetriesABusyCallAndStopsOnDestruction) {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<TickOutcome> outcomes;
  std::atomic<bool> ownThread{true};
  const auto self = std::this_thread::get_id();
  {
    Ticker ticker(10, [&] {
      ownThread = ownThread && std::this_thread::get_id() != self;
      std::lock_guard g(lock);
      outcomes.push_back(outcomes.size() < 3 ? TickOutcome::Busy : TickOutcome::Ticked);
      changed.notify_all();
      return outcomes.back();
    });
    std::unique_lock g(lock);
    ASSERT_TRUE(changed.wait_for(g, 10s, [&] { return outcomes.size() >= 5; }));
  }  // joins: the calls stop here
  EXPECT_TRUE(ownThread);
  EXPECT_GE(outcomes.size(), 5u) << "busy calls are retried and the grid goes on after them";
}
