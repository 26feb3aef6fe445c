// Floods through the hub on loopback, each mill on its own 10 ms pump thread
// as the host runs it, all driven from this thread's message loop:
//   FourFloodOne: four clients each send 100 MB of 1 KiB chats routed to one
//     client that reads all the time; how much reached it, whether the hub
//     closed it, the most the hub held for it and how much the heap grew at
//     its peak (the run stops after 90 s).
//   CloseAfterSending: a client queues N chats for another and closes its
//     pipe at once; how many of N the other received.
// Each runs once per repetition; read the medians of --benchmark_repetitions.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/messages.h"
#include "transport/mMill.h"
#include "transport/twTools.h"

using namespace tw;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }
double HeapMb() { return static_cast<double>(mallinfo2().uordblks) / 1e6; }

struct Server {
  CMill mill{TMillSide::Server, true};
  std::vector<int32_t> ids;  // accepted pipes, in order
  Server() {
    mill.ErrorLogPath.clear();
    mill.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                 bool& ok) { ok = true; };
    mill.Events.OnPipeAccepted = [this](CPipe& p) { ids.push_back(p.Id()); };
    mill.Listen(0);
  }
  // Dials from `client` and waits until the server accepted it.
  CPipe* Dial(CMill& client) {
    const size_t before = ids.size();
    CPipe* p = client.OpenSession(u"127.0.0.1", mill.ListeningPort(), u"APP", u"", u"");
    win32::RunUntil([&] { return ids.size() == before + 1 && p->State == psSession; }, 5000);
    return p;
  }
};

void FourFloodOne(benchmark::State& state) {
  constexpr int kFlooders = 4;
  constexpr int64_t kPerFlooder = 100'000'000;
  constexpr size_t kChat = 1024;
  double deliveredMb = 0, closed = 0, heldMb = 0, heapMb = 0, seconds = 0;
  for (auto _ : state) {
    Server server;
    CMill victim{TMillSide::Client, true};
    int64_t atVictim = 0;
    victim.Events.OnBondSack = [&](CPipe&, TSack& s) { atVictim += static_cast<int64_t>(s.Payload.size()); };
    server.Dial(victim);
    const int32_t victimId = server.ids.back();
    std::vector<std::unique_ptr<CMill>> mills;
    std::vector<CPipe*> flooders;
    for (int i = 0; i < kFlooders; ++i) {
      mills.push_back(std::make_unique<CMill>(TMillSide::Client, true));
      flooders.push_back(server.Dial(*mills.back()));
    }
    std::vector<int64_t> queued(kFlooders, 0);
    const std::string route = IntToField(victimId);
    const double heapBefore = HeapMb();
    double heapPeak = heapBefore, held = 0;
    bool victimClosed = false;
    const auto t0 = Clock::now();
    win32::RunUntil(
        [&] {
          heapPeak = std::max(heapPeak, HeapMb());
          CPipe* v = server.mill.GetPipe(victimId);
          if (!v || v->State != psSession) victimClosed = true;
          if (v) held = std::max(held, static_cast<double>(v->Queue().Bytes() + v->SendBuffer().size()) / 1e6);
          for (int i = 0; i < kFlooders; ++i) {
            CPipe* f = flooders[i];
            for (int n = 0; n < 64 && queued[i] < kPerFlooder && f->Queue().Bytes() < (256u << 10); ++n) {
              f->QueueMessage(1091, TMessage().Raw(std::string(kChat, 'c'))).RouteList = route;
              queued[i] += kChat;
            }
          }
          return victimClosed || atVictim >= kFlooders * kPerFlooder || Seconds(t0) > 90;
        },
        100000);
    seconds += Seconds(t0);
    deliveredMb += static_cast<double>(atVictim) / 1e6;
    closed += victimClosed;
    heldMb += held;
    heapMb += heapPeak - heapBefore;
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["delivered_MB"] = deliveredMb / n;
  state.counters["victim_closed"] = closed / n;
  state.counters["hub_peak_for_victim_MB"] = heldMb / n;
  state.counters["peak_heap_growth_MB"] = heapMb / n;
  state.counters["seconds"] = seconds / n;
}
BENCHMARK(FourFloodOne)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void CloseAfterSending(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  double delivered = 0;
  for (auto _ : state) {
    Server server;
    CMill sender{TMillSide::Client, true}, target{TMillSide::Client, true};
    int got = 0;
    target.Events.OnBondSack = [&](CPipe&, TSack&) { ++got; };
    CPipe* s = server.Dial(sender);
    server.Dial(target);
    const std::string route = IntToField(server.ids.back());
    for (int i = 0; i < n; ++i) {
      s->QueueMessage(1091, TMessage().Raw("chat " + std::to_string(i) + std::string(100, 'x'))).RouteList = route;
    }
    s->FinishSession(crLocal);
    win32::RunUntil([&] { return got == n; }, 3000);
    delivered += got;
  }
  state.counters["delivered"] = delivered / static_cast<double>(state.iterations());
}
BENCHMARK(CloseAfterSending)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
