// Scale figures: one server mill with hundreds of logged-in client pipes on
// loopback (the CPU one idle pump step costs and the memory per pipe), and a
// server engine whose host answers every binary message of 200 clients.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <string>

#include "platform/win32/messages.h"
#include "server/mParleySrv.h"
#include "transport/mMill.h"

using namespace tw;

namespace {

void RaiseFileLimit() {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

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

void IdlePumpStepWithManyPipes(benchmark::State& state) {
  RaiseFileLimit();
  const int n = static_cast<int>(state.range(0));
  CMill server{TMillSide::Server, false};
  server.ErrorLogPath.clear();
  int accepted = 0;
  server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                 bool& ok) { ok = true; };
  server.Events.OnPipeAccepted = [&](CPipe&) { ++accepted; };
  server.Listen(0);
  CMill clients{TMillSide::Client, false};
  const double before = HeapKb();
  // A few at a time: the listen backlog is 5 and one connection is
  // accepted per pump step.
  for (int i = 0; i < n; ++i) {
    clients.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
    if (i % 4 == 3) PumpAll(server, clients, [&] { return accepted == i + 1; });
  }
  PumpAll(server, clients, [&] { return accepted == n; });
  for (int i = 0; i < 20; ++i) PumpAll(server, clients, [] { return true; });
  const double after = HeapKb();
  for (auto _ : state) server.PumpUp();
  state.counters["pipes"] = n;
  state.counters["heap_kb_per_pipe_pair"] = (after - before) / n;
}
BENCHMARK(IdlePumpStepWithManyPipes)->Arg(500)->Unit(benchmark::kMicrosecond);

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
  clients.Events.OnPipeOpen = [](CPipe& p) { p.QueueMessage(CMD_READY + sackAppBase); };
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
      p->PutRaw(body);
      p->QueueMessage(CMD_BINARY + sackAppBase);
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
