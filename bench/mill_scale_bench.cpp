// Scale figures: one server mill with hundreds of logged-in client pipes on
// loopback, and a server engine whose host answers every binary message of
// 200 clients. The idle mill is measured three ways:
//   IdlePumpStepWithManyPipes: steps back to back, caches hot. A lower
//     bound, not what the host sees.
//   IdlePumpStepAfterIdleGap: each step after a real 10 ms pause, as the pump
//     thread spaces them: the cost of one step as the host runs it.
//   IdleMillCpuPerSecond: the mill on its own pump thread for two seconds of
//     real time; the CPU that every thread of the process spends per second
//     (the clients' mill is never pumped while the server is measured).
// And the idle host program itself, beside what it is measured against:
//   BareTickThreadCpuPerSecond: a thread that only wakes every 10 ms; the
//     CPU per second of the whole process.
//   IdleHostCpuPerSecond/N: the host program (a child process, off screen)
//     with N welcomed peers that say nothing; the CPU per second of every
//     thread of the program, over three seconds.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "platform/win32/messages.h"
#include "server/mParleySrv.h"
#include "tests/support/host_process.h"
#include "transport/mMill.h"

using namespace tw;

namespace {

using bench::RaiseFileLimit;
using bench::ProcessCpuMs;

// Heap bytes in use: what the pipes themselves hold (socket buffers live in
// the kernel and are not counted).
double HeapKb() { return double(mallinfo2().uordblks) / 1024.0; }

template <class F>
void PumpAll(CMill& a, CMill& b, F done) {
  while (!done()) {
    a.PumpUp();
    b.PumpUp();
    while (win32::ProcessMessages()) {
    }
  }
}

// A server mill with `n` logged-in pipes from one client mill.
struct IdleRig {
  CMill server;
  CMill clients{TMillSide::Client, false};
  double heapKbPerPipePair = 0;

  IdleRig(int n, bool pumpThread) : server(TMillSide::Server, pumpThread) {
    RaiseFileLimit();
    server.ErrorLogPath.clear();
    int accepted = 0;
    server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                   bool& ok) { ok = true; };
    server.Events.OnPipeAccepted = [&](CPipe&) { ++accepted; };
    server.Listen(0);
    const double before = HeapKb();
    // A few at a time: the listen backlog is 5 and one connection is
    // accepted per pump step.
    for (int i = 0; i < n; ++i) {
      clients.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
      if (i % 4 == 3) PumpAll(server, clients, [&] { return accepted == i + 1; });
    }
    PumpAll(server, clients, [&] { return accepted == n; });
    for (int i = 0; i < 20; ++i) PumpAll(server, clients, [] { return true; });
    heapKbPerPipePair = (HeapKb() - before) / n;
    server.Events.OnPipeAccepted = nullptr;
  }
};

void IdlePumpStepWithManyPipes(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  IdleRig rig(n, false);
  for (auto _ : state) rig.server.PumpUp();
  state.counters["pipes"] = n;
  state.counters["heap_kb_per_pipe_pair"] = rig.heapKbPerPipePair;
  state.SetLabel("back to back, hot caches");
}
BENCHMARK(IdlePumpStepWithManyPipes)->Arg(500)->Unit(benchmark::kMicrosecond);

void IdlePumpStepAfterIdleGap(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  IdleRig rig(n, false);
  std::vector<double> us;
  for (auto _ : state) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    rig.server.PumpUp();
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p90_us"] = us[us.size() * 9 / 10];
  state.counters["pipes"] = n;
  state.SetLabel("one step after each 10 ms pause");
}
BENCHMARK(IdlePumpStepAfterIdleGap)->Arg(500)->Iterations(300)->Unit(benchmark::kMicrosecond);

void IdleMillCpuPerSecond(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  IdleRig rig(n, true);
  double cpuMs = 0, wallS = 0;
  uint32_t steps = 0;
  for (auto _ : state) {
    uint32_t lastTick = rig.server.PumpTick();
    const double c0 = ProcessCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    win32::RunUntil(
        [&] {
          if (rig.server.PumpTick() != lastTick) ++steps, lastTick = rig.server.PumpTick();
          return std::chrono::steady_clock::now() - t0 >= std::chrono::seconds(2);
        },
        3000);
    cpuMs += ProcessCpuMs() - c0;
    wallS += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  state.counters["cpu_ms_per_s"] = cpuMs / wallS;
  state.counters["steps_per_s"] = steps / wallS;
  state.counters["pipes"] = n;
  state.SetLabel("10 ms pump thread, every thread's CPU");
}
BENCHMARK(IdleMillCpuPerSecond)->Arg(1)->Arg(500)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr auto kIdleSpan = std::chrono::seconds(3);

void BareTickThreadCpuPerSecond(benchmark::State& state) {
  double cpuMs = 0, wallS = 0;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
      auto due = std::chrono::steady_clock::now();
      while (!stop.load()) {
        due += std::chrono::milliseconds(CMill::kPumpIntervalMs);
        std::this_thread::sleep_until(due);
      }
    });
    const double c0 = ProcessCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kIdleSpan);
    cpuMs += ProcessCpuMs() - c0;
    wallS += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    stop.store(true);
    ticker.join();
  }
  state.counters["cpu_ms_per_s"] = cpuMs / wallS;
  state.SetLabel("a thread that wakes every 10 ms, the whole process");
}
BENCHMARK(BareTickThreadCpuPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdleHostCpuPerSecond(benchmark::State& state) {
  RaiseFileLimit();
  const int n = static_cast<int>(state.range(0));
  double cpuMs = 0, wallS = 0;
  for (auto _ : state) {
    test::THostProcess host({TW_HOST_PROGRAM, TW_SERVER_CONTROL, TW_REGSVR});
    test::TSessionCrowd crowd;
    for (int i = 0; i < n; ++i) crowd.Dial(host.Port());
    const int64_t pairs = int64_t{n} * (n - 1) / 2;
    win32::RunUntil([&] { return crowd.Welcomed() == n && crowd.Joined() >= pairs; }, 60000);
    // Let the last introductions settle, then measure without pumping.
    win32::RunUntil([] { return false; }, 1000);
    const double c0 = host.CpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kIdleSpan);
    cpuMs += host.CpuMs() - c0;
    wallS += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["welcomed"] = crowd.Welcomed();
  }
  state.counters["cpu_ms_per_s"] = cpuMs / wallS;
  state.SetLabel("the host program, every thread");
}
BENCHMARK(IdleHostCpuPerSecond)->Arg(0)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void HostAnswersEveryBinaryMessage(benchmark::State& state) {
  RaiseFileLimit();
  const int n = 200;
  TTWParleySrv srv{false};
  srv.Hub().Mill().ErrorLogPath.clear();
  int connected = 0;
  srv.Events.OnConnectionRequest = [](TPeerHandle, const std::u16string&, std::u16string&, bool& ok) { ok = true; };
  srv.Events.OnPeerConnected = [&](TPeerHandle) { ++connected; };
  srv.Events.OnBinaryMessage = [&](TPeerHandle h, const com::VARIANT& message) { srv.SendBinaryMessage(h, message); };
  srv.Start();
  CMill clients{TMillSide::Client, false};
  int64_t answers = 0;
  clients.Events.OnPipeOpen = [](CPipe& p) { p.QueueMessage(CMD_READY + sackAppBase, TMessage()); };
  clients.Events.OnSackReceived = [&](CPipe&, int32_t channel, std::string&) { answers += channel == CMD_BINARY; };
  std::vector<CPipe*> pipes;
  CMill& server = srv.Hub().Mill();
  for (int i = 0; i < n; ++i) {
    pipes.push_back(clients.OpenSession(u"127.0.0.1", server.ListeningPort(), u"QXMELNORAPKD31", u"", u""));
    if (i % 4 == 3) PumpAll(server, clients, [&] { return connected == i + 1; });
  }
  PumpAll(server, clients, [&] { return connected == n; });
  const std::string body = StrToField(std::string(64, 'b'));
  double serverCpu = 0;
  for (auto _ : state) {
    const int64_t target = answers + n;
    for (CPipe* p : pipes) {
      p->QueueMessage(CMD_BINARY + sackAppBase, TMessage().Raw(body));
    }
    while (answers < target) {
      auto t0 = std::chrono::steady_clock::now();
      server.PumpUp();
      while (win32::ProcessMessages()) {
      }
      serverCpu += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      clients.PumpUp();
      while (win32::ProcessMessages()) {
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["server_s_per_1k_msgs"] = serverCpu / (double(state.iterations()) * n) * 1000;
}
BENCHMARK(HostAnswersEveryBinaryMessage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
