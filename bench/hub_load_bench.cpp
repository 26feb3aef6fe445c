// The hub under load on loopback. The login figures run through the host
// program itself (a child process, off screen, over the registered server
// control), with clients that speak the session commands as the client
// control does, and count welcomes, the moment a user's session is complete:
//   LoginStorm/N: N clients dial at once; seconds until the last welcome
//     (a run gives up after 40 s and reports how many were welcomed), and
//     until there have been as many introductions as pairs of peers.
//   LoginPaced: 1000 clients dial at 50 per second; seconds until the last
//     welcome (20 s at the least).
// The transport figures run on bare mills, each on its own 10 ms pump
// thread as the host runs it, all driven from this thread's message loop:
//   DrainOneCode: 600 messages of 2 KiB, all of one code, queued at once on
//     one server pipe; messages per second at the client.
//   UploadWholeMessages: a client writes 64 KiB messages whole to its
//     socket for two seconds; MB per second the server delivers.
//   SlowReaderFlood: 200 MB routed to a client that never reads and to one
//     that does; the most the hub held for each, whether B was closed, and
//     how much the process (hub and clients) grew at its peak.
// Each runs once per repetition; run with --benchmark_repetitions and read
// the medians (the machine is shared).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "tests/support/host_process.h"
#include "platform/win32/messages.h"
#include "transport/mMill.h"
#include "transport/twTools.h"

using namespace tw;

namespace {

using bench::RaiseFileLimit;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct Server {
  CMill mill{TMillSide::Server, true};
  int accepted = 0;
  Server() {
    mill.ErrorLogPath.clear();
    mill.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                 bool& ok) { ok = true; };
    mill.Events.OnPipeAccepted = [this](CPipe&) { ++accepted; };
    mill.Listen(0);
  }
};

test::THostPaths HostPaths() { return {TW_HOST_PROGRAM, TW_SERVER_CONTROL, TW_REGSVR}; }

void LoginStorm(benchmark::State& state) {
  RaiseFileLimit();
  const int n = static_cast<int>(state.range(0));
  const int64_t pairs = int64_t{n} * (n - 1) / 2;
  double seconds = 0, introduced = 0, welcomed = 0, joined = 0;
  for (auto _ : state) {
    test::THostProcess host(HostPaths());
    test::TSessionCrowd crowd;
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) crowd.Dial(host.Port());
    win32::RunUntil([&] { return crowd.Welcomed() == n; }, 40000);
    seconds += std::chrono::duration<double>(crowd.LastWelcome() - t0).count();
    welcomed += crowd.Welcomed();
    // A pair whose two welcomes cross is introduced both ways.
    win32::RunUntil([&] { return crowd.Joined() >= pairs; }, 40000);
    introduced += Seconds(t0);
    joined += static_cast<double>(crowd.Joined());
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["seconds_to_last_welcome"] = seconds / runs;
  state.counters["seconds_to_all_introduced"] = introduced / runs;
  state.counters["welcomed"] = welcomed / runs;
  state.counters["introductions"] = joined / runs;
}
BENCHMARK(LoginStorm)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// 1000 clients dialling at 50 per second: seconds until the last welcome
// (20 s at the least).
void LoginPaced(benchmark::State& state) {
  RaiseFileLimit();
  constexpr int kClients = 1000, kPerSecond = 50;
  double seconds = 0, welcomed = 0;
  for (auto _ : state) {
    test::THostProcess host(HostPaths());
    test::TSessionCrowd crowd;
    const auto t0 = Clock::now();
    int dialled = 0;
    win32::RunUntil(
        [&] {
          const int due = std::min(kClients, static_cast<int>(Seconds(t0) * kPerSecond) + 1);
          for (; dialled < due; ++dialled) crowd.Dial(host.Port());
          return crowd.Welcomed() == kClients;
        },
        60000);
    seconds += std::chrono::duration<double>(crowd.LastWelcome() - t0).count();
    welcomed += crowd.Welcomed();
  }
  state.counters["seconds_to_last_welcome"] = seconds / static_cast<double>(state.iterations());
  state.counters["welcomed"] = welcomed / static_cast<double>(state.iterations());
}
BENCHMARK(LoginPaced)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A server and one client in session.
struct Session {
  Server server;
  CMill client{TMillSide::Client, true};
  CPipe* pipe = nullptr;
  int32_t serverPipe = 0;
  Session() {
    server.mill.Events.OnPipeAccepted = [this](CPipe& p) { serverPipe = p.Id(); };
    pipe = client.OpenSession(u"127.0.0.1", server.mill.ListeningPort(), u"APP", u"", u"");
    win32::RunUntil([&] { return serverPipe != 0 && pipe->State == psSession; }, 5000);
  }
};

void DrainOneCode(benchmark::State& state) {
  constexpr int kMessages = 600;
  double rate = 0;
  for (auto _ : state) {
    Session s;
    int got = 0;
    s.client.Events.OnSackReceived = [&](CPipe&, int32_t, std::string&) { ++got; };
    const std::string body(2048, 'd');
    const auto t0 = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
      s.server.mill.SendToPipe(s.serverPipe, 10, TMessage().Str(body));
    }
    win32::RunUntil([&] { return got == kMessages; }, 20000);
    rate += got / Seconds(t0);
  }
  state.counters["msgs_per_s"] = rate / static_cast<double>(state.iterations());
}
BENCHMARK(DrainOneCode)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void UploadWholeMessages(benchmark::State& state) {
  double rate = 0;
  for (auto _ : state) {
    Session s;
    int64_t bytes = 0;
    s.server.mill.Events.OnSackReceived = [&](CPipe&, int32_t, std::string& body) {
      bytes += static_cast<int64_t>(body.size());
    };
    // The client mill stands still from here on: a writer thread sends
    // whole frames on its socket, waiting when the socket is full.
    std::string frame;
    AppendFrame(frame, sfFirstChunk | sfLastChunk, sackAppBase + 5, std::string(64 << 10, 'u'));
    std::atomic<bool> stop{false};
    const ws::SOCKET sock = s.pipe->Socket();
    std::thread writer([&] {
      while (!stop.load()) {
        size_t off = 0;
        while (off < frame.size() && !stop.load()) {
          const int n = ws::send(sock, frame.data() + off, static_cast<int>(frame.size() - off), 0);
          if (n > 0) {
            off += static_cast<size_t>(n);
          } else {
            ws::fd_set w;
            w.Add(sock);
            ws::timeval t{0, 20000};
            ws::select(0, nullptr, &w, nullptr, &t);
          }
        }
      }
    });
    const auto t0 = Clock::now();
    win32::RunUntil([&] { return Seconds(t0) >= 2.0; }, 3000);
    const double elapsed = Seconds(t0);
    stop.store(true);
    writer.join();
    rate += static_cast<double>(bytes) / elapsed / 1e6;
  }
  state.counters["MB_per_s"] = rate / static_cast<double>(state.iterations());
}
BENCHMARK(UploadWholeMessages)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Resident set of the process in MB (hub and clients alike).
double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

// Client A sends 200 MB in 64 KiB messages routed to B and C; B never reads
// (its mill is never pumped), C does. Reports how much the process grew at
// its peak and how much reached C.
void SlowReaderFlood(benchmark::State& state) {
  constexpr int kMessages = 3200;  // 200 MiB
  double grewMb = 0, heapMb = 0, deliveredMb = 0, heldBMb = 0, heldCMb = 0, bClosed = 0;
  for (auto _ : state) {
    Server server;
    std::vector<int32_t> ids;
    server.mill.Events.OnPipeAccepted = [&](CPipe& p) { ids.push_back(p.Id()); };
    CMill a{TMillSide::Client, true}, b{TMillSide::Client, false}, c{TMillSide::Client, true};
    CPipe* pa = a.OpenSession(u"127.0.0.1", server.mill.ListeningPort(), u"APP", u"", u"");
    win32::RunUntil([&] { return ids.size() == 1 && pa->State == psSession; }, 5000);
    CPipe* pb = b.OpenSession(u"127.0.0.1", server.mill.ListeningPort(), u"APP", u"", u"");
    // B is pumped by hand until its session opens, and never again.
    for (int i = 0; i < 5000 && (ids.size() < 2 || pb->State != psSession); ++i) {
      b.PumpUp();
      while (win32::ProcessMessages()) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CPipe* pc = c.OpenSession(u"127.0.0.1", server.mill.ListeningPort(), u"APP", u"", u"");
    win32::RunUntil([&] { return ids.size() == 3 && pc->State == psSession; }, 5000);
    int64_t atC = 0;
    c.Events.OnBondSack = [&](CPipe&, TSack& s) { atC += static_cast<int64_t>(s.Payload.size()); };
    const std::string routes = IntToField(ids[1]) + IntToField(ids[2]);
    const double before = ResidentMb();
    double peak = before;
    auto held = [&](int32_t id) {
      CPipe* p = server.mill.GetPipe(id);
      return p ? static_cast<double>(p->Queue().Bytes() + p->SendBuffer().size()) / 1e6 : 0.0;
    };
    double heldB = 0, heldC = 0;
    const double inUseBefore = static_cast<double>(mallinfo2().uordblks) / 1e6;
    double inUse = inUseBefore;
    int queued = 0;
    const auto t0 = Clock::now();
    win32::RunUntil(
        [&] {
          peak = std::max(peak, ResidentMb());
          inUse = std::max(inUse, static_cast<double>(mallinfo2().uordblks) / 1e6);
          heldB = std::max(heldB, held(ids[1]));
          heldC = std::max(heldC, held(ids[2]));
          for (int i = 0; i < 16 && queued < kMessages && pa->Queue().Bytes() < (1u << 20); ++i, ++queued) {
            pa->QueueMessage(1091, TMessage().Raw(std::string(64 << 10, 'f'))).RouteList = routes;
          }
          return atC >= int64_t{kMessages} * (64 << 10) || Seconds(t0) > 60;
        },
        70000);
    grewMb += peak - before;
    heapMb += inUse - inUseBefore;
    heldBMb += heldB;
    heldCMb += heldC;
    bClosed += server.mill.GetPipe(ids[1]) == nullptr || server.mill.GetPipe(ids[1])->State == psClosed;
    deliveredMb += static_cast<double>(atC) / 1e6;
  }
  state.counters["peak_growth_MB"] = grewMb / static_cast<double>(state.iterations());
  state.counters["peak_heap_in_use_growth_MB"] = heapMb / static_cast<double>(state.iterations());
  state.counters["delivered_to_C_MB"] = deliveredMb / static_cast<double>(state.iterations());
  state.counters["hub_peak_for_B_MB"] = heldBMb / static_cast<double>(state.iterations());
  state.counters["hub_peak_for_C_MB"] = heldCMb / static_cast<double>(state.iterations());
  state.counters["B_closed"] = bClosed / static_cast<double>(state.iterations());
}
BENCHMARK(SlowReaderFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
