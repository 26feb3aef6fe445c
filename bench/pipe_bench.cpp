// Two mills on loopback, pumped as fast as the thread can: messages per
// second and MB/s from the server host to a client, plain and sealed; and the
// relay from one client through the server to another, with its latency when
// the mills run on their own 10 ms pump threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/win32/messages.h"
#include "transport/mMill.h"

using namespace tw;

namespace {

struct Rig {
  CMill server{TMillSide::Server, false};
  CMill a{TMillSide::Client, false};
  CMill b{TMillSide::Client, false};
  CPipe* pa = nullptr;
  CPipe* pb = nullptr;
  std::vector<int32_t> serverIds;
  int64_t receivedA = 0, receivedB = 0;

  explicit Rig(int32_t mode) {
    server.ErrorLogPath.clear();
    for (CMill* m : {&server, &a, &b}) {
      m->SecurityMode = mode;
      m->SetSecretKey(u"bench-secret");
    }
    server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                   bool& ok) { ok = true; };
    server.Events.OnPipeAccepted = [this](CPipe& p) { serverIds.push_back(p.Id()); };
    a.Events.OnSackReceived = [this](CPipe&, int32_t, std::string&) { ++receivedA; };
    b.Events.OnBondSack = [this](CPipe&, TSack&) { ++receivedB; };
    server.Listen(0);
    pa = a.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
    Pump([&] { return serverIds.size() == 1 && pa->State == psSession; });
    pb = b.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
    Pump([&] { return serverIds.size() == 2 && pb->State == psSession; });
  }
  template <class F>
  void Pump(F done) {
    while (!done()) {
      server.PumpUp();
      a.PumpUp();
      b.PumpUp();
      while (win32::ProcessMessages()) {
      }
    }
  }
};

void HostToClient(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  Rig rig(static_cast<int32_t>(state.range(1)));
  const std::string body(size, 'x');
  const int batch = size > 1000 ? 64 : 2000;
  for (auto _ : state) {
    const int64_t target = rig.receivedA + batch;
    for (int i = 0; i < batch; ++i) {
      rig.server.PutStrField(rig.serverIds[0], body);
      rig.server.SendToPipe(rig.serverIds[0], 40, false);
    }
    rig.Pump([&] { return rig.receivedA >= target; });
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * static_cast<int64_t>(size));
}
BENCHMARK(HostToClient)->ArgsProduct({{100, 65536}, {secNone, secSharedKey}})->ArgNames({"bytes", "mode"})->Unit(benchmark::kMillisecond);

void ClientToClientRelay(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  Rig rig(static_cast<int32_t>(state.range(1)));
  const std::string body(size, 'y');
  const std::string route = IntToField(rig.serverIds[1]);
  const int batch = size > 1000 ? 64 : 2000;
  for (auto _ : state) {
    const int64_t target = rig.receivedB + batch;
    for (int i = 0; i < batch; ++i) {
      rig.pa->PutStrField(body);
      rig.pa->QueueMessage(1091).RouteList = route;
    }
    rig.Pump([&] { return rig.receivedB >= target; });
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * static_cast<int64_t>(size));
}
BENCHMARK(ClientToClientRelay)->ArgsProduct({{100, 65536}, {secNone, secSharedKey}})->ArgNames({"bytes", "mode"})->Unit(benchmark::kMillisecond);

// One-way latency of a 100-byte relayed message with every mill on its own
// pump thread, as in a running control: the 10 ms tick bounds it.
void RelayLatencyWithPumpThreads(benchmark::State& state) {
  CMill server{TMillSide::Server};
  CMill a{TMillSide::Client};
  CMill b{TMillSide::Client};
  server.ErrorLogPath.clear();
  std::vector<int32_t> ids;
  server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                 bool& ok) { ok = true; };
  server.Events.OnPipeAccepted = [&](CPipe& p) { ids.push_back(p.Id()); };
  using clock = std::chrono::steady_clock;
  clock::time_point sentAt;
  std::vector<double> ms;
  bool got = false;
  b.Events.OnBondSack = [&](CPipe&, TSack&) {
    ms.push_back(std::chrono::duration<double, std::milli>(clock::now() - sentAt).count());
    got = true;
  };
  server.Listen(0);
  CPipe* pa = a.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  win32::RunUntil([&] { return ids.size() == 1 && pa->State == psSession; }, 5000);
  CPipe* pb = b.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  win32::RunUntil([&] { return ids.size() == 2 && pb->State == psSession; }, 5000);
  for (auto _ : state) {
    got = false;
    sentAt = clock::now();
    pa->PutStrField(std::string(100, 'z'));
    pa->QueueMessage(1091).RouteList = IntToField(ids[1]);
    win32::RunUntil([&] { return got; }, 5000);
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  }
}
BENCHMARK(RelayLatencyWithPumpThreads)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
