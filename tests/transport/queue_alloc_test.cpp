// What queueing and sending small messages allocates, counted by replacing
// the global allocation functions in this test program: a pipe that is sent
// a stream of announcements (a newcomer among many peers) allocates nothing
// per message once the stream runs. (Not under AddressSanitizer, which owns
// the allocation functions itself: the test is skipped.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/support/mill_rig.h"
#include "transport/mErtiFrame.h"
#include "transport/mSeal.h"

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
// These replace the global pair, so free() is the match of the malloc() in
// operator new; GCC, inlining them into a caller of new, takes it for a
// mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
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

namespace {

// The relay queues one shared body at each target: once records are
// recycled, queueing and cutting such messages (sealed or not, from a few
// senders, counted per sender) allocates nothing per message.
TEST(SendQueue, RelayedSharedBodiesAllocateNothingPerMessage) {
#ifndef TW_COUNTS_ALLOCATIONS
  GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
#endif
  constexpr int kMessages = 200;
  const auto body = std::make_shared<const std::string>(3000, 'b');
  const auto key = std::make_shared<const TAesKey>("target");
  const std::string iv = SealIvForTick(1);
  for (const bool sealed : {false, true}) {
    SCOPED_TRACE(sealed);
    TSendQueue queue;
    std::string batch;
    batch.reserve(size_t{1} << 17);
    const TCartHooks hooks{{}, {}, [&] { return TSealing{sealed ? key : nullptr, iv}; }};
    auto drain = [&] {
      while (!queue.Empty()) {
        batch.clear();
        BuildCart(queue, batch, {1 << 16, 0, 0}, hooks);
      }
    };
    auto relay = [&] {
      for (int i = 0; i < kMessages; ++i) {
        std::unique_ptr<TSack> sack = queue.NewRecord();
        sack->Code = 1091;
        sack->PeerId = 7 + i % 5;
        sack->Shared = body;
        queue.Queue(std::move(sack));
        if (i % 25 == 24) drain();
      }
      drain();
    };
    relay();  // the first stream finds no spare records
    long counted = 0;
    {
      Counted scope;
      relay();
      counted = allocations;
    }
    EXPECT_LT(counted, kMessages / 10) << "allocations for " << kMessages << " messages";
    EXPECT_EQ(body.use_count(), 1);
  }
}

}  // namespace
