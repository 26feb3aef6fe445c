#include "platform/win32/tick.h"

#include <gtest/gtest.h>

#include "tests/support/manual_tick.h"

using namespace tw::win32;

TEST(Tick, ManualSourceReplacesTheClockAndWraps) {
  ScopedManualTick tick(0xFFFFFFF0u);
  EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
  tick.Advance(0x20);
  EXPECT_EQ(GetTickCount(), 0x10u);
  EXPECT_EQ(TickDiff(GetTickCount(), 0xFFFFFFF0u), 0x20);
  EXPECT_EQ(TickDiff(0xFFFFFFF0u, GetTickCount()), -0x20);
}

TEST(Tick, MonotonicClockComesBackWhenTheSourceGoes) {
  DWORD a;
  {
    ScopedManualTick tick(5);
    a = GetTickCount();
  }
  EXPECT_EQ(a, 5u);
  DWORD b = GetTickCount();
  Sleep(2);
  EXPECT_GE(TickDiff(GetTickCount(), b), 2);
}
