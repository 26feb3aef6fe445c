// What queueing and sending small messages allocates, counted by replacing
// the global allocation functions in this test program: a pipe that is sent
// a stream of announcements (a newcomer among many peers) allocates nothing
// per message once the stream runs. (Not under AddressSanitizer, which owns
// the allocation functions itself: the test is skipped.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/support/mill_rig.h"

namespace {

thread_local bool counting = false;
thread_local long allocations = 0;

}  // namespace

#ifndef __SANITIZE_ADDRESS__
#define TW_COUNTS_ALLOCATIONS 1
void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

using namespace tw;
using namespace tw::test;

namespace {

struct Counted {
  Counted() {
    allocations = 0;
    counting = true;
  }
  ~Counted() { counting = false; }
};

TEST(SendQueue, AStreamOfSmallMessagesAllocatesNothingPerMessage) {
#ifndef TW_COUNTS_ALLOCATIONS
  GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
#endif
  TListeningServer host;
  CMill client{TMillSide::Client, false};
  TMillProbe clientProbe;
  clientProbe.Attach(client);
  CPipe* cpipe = host.Dial(client);
  ASSERT_NE(cpipe, nullptr);
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return !host.probe.opened.empty() && !clientProbe.opened.empty(); }));
  const int32_t spipe = host.probe.opened.front();
  CPipe& pipe = *host.mill.GetPipe(spipe);
  constexpr int kMessages = 200;
  const std::string name(22, 'n');
  TMessage message;  // sent by reference: each is copied into a spare record
  auto announce = [&] {
    for (int i = 0; i < kMessages; ++i) {
      message.Clear();
      message.Int(i).Str(name);
      host.mill.SendToPipe(spipe, 31, message);
      if (i % 20 == 19) pipe.PushCart();
    }
    pipe.PushCart();
  };
  announce();  // the first stream finds no spare records
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return clientProbe.received.size() == kMessages; }));
  long counted = 0;
  {
    Counted scope;
    announce();
    counted = allocations;
  }
  EXPECT_LT(counted, kMessages / 10) << "allocations for " << kMessages << " messages";
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return clientProbe.received.size() == 2 * kMessages; }));
}

}  // namespace
