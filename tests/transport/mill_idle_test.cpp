// An idle pump step allocates nothing, whatever the number of pipes: the
// readiness set answers in place and idle pipes are passed over. This
// program counts every allocation made through operator new (not under
// AddressSanitizer, which owns operator new itself: the test is skipped).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/support/mill_rig.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

#ifndef __SANITIZE_ADDRESS__
#define TW_COUNTS_ALLOCATIONS 1
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace tw::test {
namespace {

TEST(MillIdle, AnIdleStepAllocatesNothing) {
#ifndef TW_COUNTS_ALLOCATIONS
  GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
#endif
  TListeningServer host;
  CMill clients{TMillSide::Client, false};
  constexpr size_t kPipes = 40;
  for (size_t i = 0; i < kPipes; ++i) ASSERT_NE(host.Dial(clients), nullptr);
  ASSERT_TRUE(Drive({&host.mill, &clients}, [&] { return host.probe.opened.size() == kPipes; }));
  Settle({&host.mill, &clients}, 30);  // the last acknowledgements and size announcements
  const long before = g_allocations.load();
  for (int step = 0; step < 100; ++step) host.mill.PumpUp();
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(host.mill.PipeCount(), kPipes);
}

// On its own pump thread, a mill with nothing to do lets the ticks pass
// without a step (its thread sleeps), still takes a connection at once, and
// times what happens after a rest from the moment it happens: a pipe closed
// then is kept for the full 222 ms.
TEST(MillIdle, AnIdleMillLetsItsTicksPassAndWakesForInput) {
  CMill server{TMillSide::Server, true};
  server.ErrorLog = std::make_shared<TRecordingLog>();
  TMillProbe probe;
  probe.Attach(server);
  server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                 bool& accept) { accept = true; };
  ASSERT_TRUE(server.Listen(0));
  auto rest = [](uint32_t ms) { win32::RunUntil([] { return false; }, ms); };
  rest(100);
  const uint32_t before = server.PumpTick();
  rest(300);
  EXPECT_EQ(server.PumpTick(), before) << "an idle mill stepped";

  CMill client{TMillSide::Client, true};
  CPipe* c = client.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(win32::RunUntil([&] { return c->State == psSession && !probe.opened.empty(); }, 3000));
  rest(300);
  const int32_t id = probe.opened.front();
  const uint32_t closedAt = win32::GetTickCount();
  ASSERT_TRUE(server.ClosePipe(id));
  EXPECT_GE(win32::TickDiff(server.GetPipe(id)->FreeAfterTick, closedAt), static_cast<int32_t>(kFreeDelayMs));
}

}  // namespace
}  // namespace tw::test
