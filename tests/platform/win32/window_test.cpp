#include "platform/win32/window.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "tests/support/manual_tick.h"

using namespace tw::win32;

namespace {

constexpr UINT kMsg = WM_USER + 1;

// What a window's procedure and release procedure saw, kept outside the
// window so that it outlives it.
struct Seen {
  std::vector<UINT> received;
  std::vector<WPARAM> released;
  int timerTicks = 0;

  HiddenWindow Make() {
    return HiddenWindow(
        [this](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
          received.push_back(msg);
          timerTicks += msg == WM_TIMER;
          return 0;
        },
        [this](UINT, WPARAM wp, LPARAM) { released.push_back(wp); });
  }
};

}  // namespace

TEST(HiddenWindow, DestructionReleasesPostedMessagesAndTheProcedureNeverRunsAgain) {
  Seen seen;
  HWND handle = 0;
  {
    HiddenWindow window = seen.Make();
    handle = window.Handle();
    ASSERT_TRUE(IsWindow(handle));
    ASSERT_TRUE(PostMessageA(handle, kMsg, 7, 0));
    ASSERT_TRUE(PostMessageA(handle, kMsg, 8, 0));
  }
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(seen.released, (std::vector<WPARAM>{7, 8}));
  EXPECT_FALSE(PostMessageA(handle, kMsg, 9, 0));
  while (ProcessMessages()) {
  }
  EXPECT_TRUE(seen.received.empty());
}

TEST(HiddenWindow, MovingHandsOverTheWindowAndAssigningDestroysTheOldOne) {
  Seen first, second;
  HiddenWindow a = first.Make();
  const HWND firstHandle = a.Handle();
  ASSERT_TRUE(PostMessageA(firstHandle, kMsg, 1, 0));

  HiddenWindow b(std::move(a));
  EXPECT_EQ(a.Handle(), HWND{0});
  EXPECT_EQ(b.Handle(), firstHandle);
  EXPECT_TRUE(first.released.empty());  // moved, not destroyed

  b = second.Make();  // the first window goes now, with its posted message
  EXPECT_FALSE(IsWindow(firstHandle));
  EXPECT_EQ(first.released, (std::vector<WPARAM>{1}));
  EXPECT_TRUE(IsWindow(b.Handle()));

  HiddenWindow empty;  // holds nothing; destroying it touches no window
  EXPECT_EQ(empty.Handle(), HWND{0});
}

TEST(HiddenWindow, OwnerMayBeDestroyedFromInsideTheProcedure) {
  // The shape of an object that deletes itself on a message of its window.
  struct Owner {
    HiddenWindow window;
    Owner(std::vector<WPARAM>* r, bool* ran) {
      window = HiddenWindow(
          [this, ran](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
            if (msg == kMsg) {
              delete this;  // destroys the window whose procedure is running
              *ran = true;  // captured by value: still alive for this call
            }
            return 0;
          },
          [r](UINT, WPARAM wp, LPARAM) { r->push_back(wp); });
    }
  };
  std::vector<WPARAM> released;
  bool ran = false;
  auto* owner = new Owner(&released, &ran);
  const HWND handle = owner->window.Handle();
  ASSERT_TRUE(PostMessageA(handle, kMsg, 1, 0));
  ASSERT_TRUE(PostMessageA(handle, kMsg + 1, 2, 0));  // still queued when the owner goes
  ProcessMessages();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(released, (std::vector<WPARAM>{2}));
}

TEST(WindowTimer, RunsUntilStoppedOrDestroyed) {
  ScopedManualTick tick(5000);
  Seen seen;
  HiddenWindow window = seen.Make();
  {
    WindowTimer timer(window.Handle(), 1, 100);
    EXPECT_TRUE(timer.Running());
    tick.Advance(100);
    ProcessMessages();
    EXPECT_EQ(seen.timerTicks, 1);
  }
  tick.Advance(500);
  ProcessMessages();
  EXPECT_EQ(seen.timerTicks, 1) << "a destroyed timer fires no more";

  WindowTimer timer(window.Handle(), 2, 100);
  timer.Stop();
  EXPECT_FALSE(timer.Running());
  timer.Stop();  // stopping twice is harmless
  tick.Advance(500);
  ProcessMessages();
  EXPECT_EQ(seen.timerTicks, 1);

  // Moving keeps the one timer running; assigning over a running one stops it.
  WindowTimer moved(window.Handle(), 3, 100);
  WindowTimer taken(std::move(moved));
  EXPECT_FALSE(moved.Running());
  EXPECT_TRUE(taken.Running());
  tick.Advance(100);
  ProcessMessages();
  EXPECT_EQ(seen.timerTicks, 2);
  taken = WindowTimer();
  tick.Advance(500);
  ProcessMessages();
  EXPECT_EQ(seen.timerTicks, 2);
}

TEST(WindowTimer, RefusedOnAWindowThatIsGone) {
  Seen seen;
  HWND gone = 0;
  {
    HiddenWindow window = seen.Make();
    gone = window.Handle();
  }
  WindowTimer timer(gone, 1, 100);
  EXPECT_FALSE(timer.Running());
  WindowTimer none(0, 1, 100);
  EXPECT_FALSE(none.Running());
}

TEST(WindowTimer, DeclaredAfterItsWindowStopsBeforeItAndMayGoInsideItsOwnTick) {
  // The documented member order: the state the procedure uses, the window,
  // then the timer. The owner is destroyed by its own timer's tick.
  ScopedManualTick tick(5000);
  struct Owner {
    int* ticks;
    HiddenWindow window;
    WindowTimer timer;
    explicit Owner(int* t) : ticks(t) {
      window = HiddenWindow([this](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == WM_TIMER) {
          ++*ticks;
          delete this;
        }
        return 0;
      });
      timer = WindowTimer(window.Handle(), 1, 10);
    }
  };
  int ticks = 0;
  auto* owner = new Owner(&ticks);
  const HWND handle = owner->window.Handle();
  tick.Advance(10);
  ProcessMessages();
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(IsWindow(handle));
  tick.Advance(100);
  EXPECT_FALSE(ProcessMessages());
  EXPECT_EQ(NextTimerTimeout(), -1) << "no timer of the owner is left behind";
}
