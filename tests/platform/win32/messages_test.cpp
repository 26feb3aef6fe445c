#include "platform/win32/messages.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/manual_tick.h"

using namespace tw::win32;

namespace {

constexpr UINT kMsg = WM_USER + 1;

// A window that records what it receives and what it is handed back.
struct Recorder {
  std::vector<std::pair<UINT, WPARAM>> received;
  std::vector<WPARAM> released;
  HWND window = 0;

  explicit Recorder(std::function<void(UINT, WPARAM)> extra = {}) {
    window = CreateMessageWindow(
        [this, extra](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
          received.emplace_back(msg, wp);
          if (extra) extra(msg, wp);
          return 0;
        },
        [this](UINT, WPARAM wp, LPARAM) { released.push_back(wp); });
  }
  ~Recorder() { DestroyWindow(window); }
  size_t Count(UINT msg) const {
    size_t n = 0;
    for (auto& r : received) n += r.first == msg;
    return n;
  }
};

}  // namespace

TEST(Messages, PostsFromOtherThreadsArriveInOrderOnTheWindowsThread) {
  const auto self = std::this_thread::get_id();
  std::atomic<bool> wrongThread{false};
  Recorder r([&](UINT, WPARAM) { wrongThread = wrongThread || std::this_thread::get_id() != self; });
  constexpr int kPerThread = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) PostMessageA(r.window, kMsg + t, WPARAM(i), 0);
    });
  ASSERT_TRUE(RunUntil([&] { return r.received.size() == 3 * kPerThread; }, 5000));
  for (auto& p : posters) p.join();
  EXPECT_FALSE(wrongThread);
  std::vector<WPARAM> last(3, WPARAM(-1));
  for (auto [msg, wp] : r.received) {
    WPARAM& prev = last[msg - kMsg];
    EXPECT_EQ(wp, prev + 1);
    prev = wp;
  }
}

TEST(Messages, SendNotifyRunsAtOnceOnTheOwnThreadAndQueuesFromOthers) {
  Recorder r;
  ASSERT_TRUE(SendNotifyMessageA(r.window, kMsg, 1, 0));
  EXPECT_EQ(r.received.size(), 1u);
  std::thread other([&] { SendNotifyMessageA(r.window, kMsg, 2, 0); });
  other.join();
  EXPECT_EQ(r.received.size(), 1u);
  ProcessMessages();
  EXPECT_EQ(r.received.size(), 2u);
}

TEST(Messages, DestroyedWindowReleasesItsPendingPayloadsAndRefusesNewOnes) {
  auto r = std::make_unique<Recorder>();
  HWND w = r->window;
  for (WPARAM i = 0; i < 5; ++i) PostMessageA(w, kMsg, i, 0);
  std::vector<WPARAM> released;
  DestroyWindow(w);
  released = r->released;
  EXPECT_EQ(released, (std::vector<WPARAM>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessageA(w, kMsg, 9, 0));
  ProcessMessages();
  EXPECT_TRUE(r->received.empty());
}

TEST(Messages, WindowMayDestroyItselfInsideItsProcedure) {
  HWND w = 0;
  int calls = 0, released = 0;
  w = CreateMessageWindow(
      [&](HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
        ++calls;
        DestroyWindow(self);
        return 0;
      },
      [&](UINT, WPARAM, LPARAM) { ++released; });
  PostMessageA(w, kMsg, 0, 0);
  PostMessageA(w, kMsg, 1, 0);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(released, 1);
}

TEST(Messages, ThreadThatEndsReleasesWhatItsWindowsStillHad) {
  std::atomic<int> released{0};
  std::atomic<HWND> w{0};
  std::atomic<bool> go{false};
  std::thread owner([&] {
    w = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; },
                            [&](UINT, WPARAM, LPARAM) { ++released; });
    while (!go) Sleep(1);
  });
  while (!w) Sleep(1);
  PostMessageA(w, kMsg, 0, 0);
  PostMessageA(w, kMsg, 0, 0);
  go = true;
  owner.join();
  EXPECT_EQ(released, 2);
  EXPECT_FALSE(IsWindow(w));
}

TEST(Messages, NestedProcessMessagesFromInsideAHandler) {
  std::vector<int> order;
  HWND w = 0;
  w = CreateMessageWindow([&](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
    if (msg != kMsg) return 0;
    order.push_back(int(wp));
    if (wp == 1) {
      PostMessageA(w, kMsg, 3, 0);
      ProcessMessages();  // takes 2 and 3 while 1 is still running
      order.push_back(-1);
    }
    return 0;
  });
  PostMessageA(w, kMsg, 1, 0);
  PostMessageA(w, kMsg, 2, 0);
  while (ProcessMessages()) {
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, -1}));
  DestroyWindow(w);
}

TEST(Messages, TimersFireOnTheTestClockAcrossTheWrapWithoutPilingUp) {
  ScopedManualTick tick(0xFFFFFF00u);
  Recorder r;
  ASSERT_EQ(SetTimer(r.window, 7, 100), 7u);
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 0u);
  EXPECT_EQ(NextTimerTimeout(), 100);
  tick.Advance(99);
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 0u);
  tick.Advance(1);  // exactly due
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 1u);
  EXPECT_EQ(r.received.back().second, 7u);
  tick.Advance(1000);  // a long stall across the wrap: one tick, not ten
  ProcessMessages();
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 2u);
  tick.Advance(0x200);  // well past the wrap now
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 3u);
  EXPECT_TRUE(KillTimer(r.window, 7));
  tick.Advance(500);
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 3u);
  EXPECT_EQ(NextTimerTimeout(), -1);
}

TEST(Messages, ResettingATimerRestartsItsInterval) {
  ScopedManualTick tick(5000);
  Recorder r;
  SetTimer(r.window, 1, 100);
  tick.Advance(80);
  SetTimer(r.window, 1, 100);
  tick.Advance(80);
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 0u);
  tick.Advance(20);
  ProcessMessages();
  EXPECT_EQ(r.Count(WM_TIMER), 1u);
}

TEST(Messages, TimersBelongToTheirWindow) {
  ScopedManualTick tick(5000);
  Recorder a, b;
  SetTimer(a.window, 1, 10);
  SetTimer(b.window, 1, 20);
  DestroyWindow(a.window);
  tick.Advance(30);
  ProcessMessages();
  EXPECT_EQ(a.Count(WM_TIMER), 0u);
  EXPECT_EQ(b.Count(WM_TIMER), 1u);
}

TEST(Messages, EmbeddingDescriptorWakesAPollOnAPostFromAnotherThread) {
  Recorder r;
  ProcessMessages();
  pollfd p{MessageQueueFd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  std::thread poster([&] {
    Sleep(20);
    PostMessageA(r.window, kMsg, 1, 0);
  });
  EXPECT_EQ(poll(&p, 1, 5000), 1);
  poster.join();
  ProcessMessages();
  EXPECT_EQ(r.received.size(), 1u);
  EXPECT_EQ(poll(&p, 1, 0), 0);  // drained
}

TEST(Messages, PumpObserverSeesEveryProcessMessagesCall) {
  int seen = 0;
  {
    ScopedPumpObserver observe([&] { ++seen; });
    ProcessMessages();
    ProcessMessages();
  }
  ProcessMessages();
  EXPECT_EQ(seen, 2);
}

TEST(Messages, RunUntilGivesUpAfterItsTimeout) {
  EXPECT_FALSE(RunUntil([] { return false; }, 30));
  EXPECT_TRUE(RunUntil([] { return true; }, 0));
}

TEST(Messages, DispatchDepthCountsNestedProcedures) {
  std::vector<int> depths;
  HWND w = 0;
  w = CreateMessageWindow([&](HWND, UINT, WPARAM wp, LPARAM) -> LRESULT {
    depths.push_back(DispatchDepth());
    if (wp == 1) {
      PostMessageA(w, kMsg, 2, 0);
      ProcessMessages();
    }
    return 0;
  });
  EXPECT_EQ(DispatchDepth(), 0);
  PostMessageA(w, kMsg, 1, 0);
  ProcessMessages();
  SendNotifyMessageA(w, kMsg, 3, 0);
  EXPECT_EQ(depths, (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(DispatchDepth(), 0);
  DestroyWindow(w);
}
