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

}  // namespace
}  // namespace tw::test
