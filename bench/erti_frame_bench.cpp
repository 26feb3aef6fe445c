// Receive-side throughput of the frame code: frames parsed and messages
// reassembled per second, and MB/s for 64 KiB messages cut at several send
// budgets, the stream fed in reads the size of the pipe's receive size.
// Also the send side: BuildCart cutting 64 KiB messages, owned or shared,
// sealed or not.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "transport/mErtiFrame.h"
#include "transport/mSeal.h"
#include "transport/twTools.h"

namespace {

// A stream of `count` messages of `size` bytes, each relayed (peer id
// prefix), cut by BuildCart with send size `budget`.
std::string MakeStream(int count, size_t size, int32_t budget) {
  tw::TSendQueue queue;
  std::string stream;
  for (int i = 0; i < count; ++i) {
    auto sack = std::make_unique<tw::TSack>();
    sack->Code = 1000 + 60 + i % 4;
    sack->PeerId = 7;
    sack->Payload.assign(size, static_cast<char>('a' + i % 26));
    queue.Queue(std::move(sack));
  }
  while (!queue.Empty()) {
    std::string batch;
    tw::BuildCart(queue, batch, {budget, 0, 0});
    stream += batch;
  }
  return stream;
}

void Feed(benchmark::State& state, const std::string& stream, size_t readSize, int messagesPerStream) {
  int64_t posted = 0;
  size_t frames = 0;
  tw::TFrameReceiver rx({[&](int32_t) { ++frames; }, {}, [&](std::unique_ptr<tw::TSack> s) {
                           benchmark::DoNotOptimize(s->Payload.data());
                           ++posted;
                         }});
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += readSize) {
      const size_t n = std::min(readSize, stream.size() - at);
      rx.Append(std::string_view(stream).substr(at, n));
      rx.ParseFrames();
    }
  }
  if (posted != static_cast<int64_t>(state.iterations()) * messagesPerStream) state.SkipWithError("lost messages");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["messages/s"] = benchmark::Counter(static_cast<double>(posted), benchmark::Counter::kIsRate);
}

// Small single-frame messages (64-byte bodies), 64 KiB reads.
void BM_ParseSmallFrames(benchmark::State& state) {
  const std::string stream = MakeStream(4096, 64, 1 << 20);
  Feed(state, stream, 65536, 4096);
}
BENCHMARK(BM_ParseSmallFrames);

// 64 KiB messages; argument 0 is the send budget, argument 1 the read size.
void BM_Reassemble64K(benchmark::State& state) {
  const int messages = 64;
  const std::string stream = MakeStream(messages, 65536, static_cast<int32_t>(state.range(0)));
  Feed(state, stream, static_cast<size_t>(state.range(1)), messages);
}
BENCHMARK(BM_Reassemble64K)
    ->Args({1024, 1024})
    ->Args({16384, 16384})
    ->Args({65536, 65536})
    ->Args({1 << 20, 1 << 20});

// Send side: cutting 16 messages of 64 KiB into batches, as a relay queues
// them for one target. Arguments: the send budget; whether the target seals
// (a keyed pipe); whether the body is shared with other targets' queues or
// copied into the record's Payload (the copy is part of the cost, as it is
// part of relaying).
void BM_BuildCart64K(benchmark::State& state) {
  const auto budget = static_cast<int32_t>(state.range(0));
  const bool sealed = state.range(1) != 0;
  const bool shared = state.range(2) != 0;
  std::string batch;
  const auto body = std::make_shared<const std::string>(65536, 'x');
  const auto key = sealed ? std::make_shared<const tw::TAesKey>("bench key") : nullptr;
  const std::string iv = tw::SealIvForTick(1);
  const tw::TCartHooks hooks{{}, {}, [&] { return tw::TSealing{key, iv}; }};
  for (auto _ : state) {
    tw::TSendQueue queue;
    for (int i = 0; i < 16; ++i) {
      auto sack = std::make_unique<tw::TSack>();
      sack->Code = 1060 + i % 4;
      sack->PeerId = 7;
      if (shared) {
        sack->Shared = body;
      } else {
        sack->Payload = *body;
      }
      queue.Queue(std::move(sack));
    }
    while (!queue.Empty()) {
      batch.clear();
      tw::BuildCart(queue, batch, {budget, 0, 0}, hooks);
      benchmark::DoNotOptimize(batch.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16 * 65536);
}
BENCHMARK(BM_BuildCart64K)->ArgNames({"budget", "sealed", "shared"})->ArgsProduct({{1024, 65536}, {0, 1}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
