// Floods through the hub on loopback, each mill on its own 10 ms pump thread
// as the host runs it, all driven from this thread's message loop:
//   FourFloodOne: four clients each send 100 MB of 1 KiB chats routed to one
//     client that reads all the time; how much reached it, whether the hub
//     closed it, the most the hub held for it and how much the heap grew at
//     its peak (the run stops after 90 s).
//   CloseAfterSending: a client queues N chats for another and closes its
//     pipe at once; how many of N the other received.
//   ThreeBulkOneReader: three clients each send one 50 MB message to a
//     client that reads; whether it stays, what it received, the heap's
//     growth at its peak.
//   SlowReaderPing: a reader that takes 256 kB every 1.5 s, a filler that
//     keeps sending it 64 KiB messages, and a peer V that answered it once;
//     an honest peer pings V every 100 ms for 30 s: answers, p50, p99, max.
//   OneToManyNonReaders: one 60 MB message naming four sessions that do not
//     read, each three times: the hub's heap growth.
//   TwentyNonReaders: twenty senders send 100 MB each to one of twenty sessions
//     that do not read, for 20 s, while an honest pair pings and a new
//     client logs in: the most the relay held, the heap's growth, the
//     pings' p99 and the login's time.
// Each runs once per repetition; read the medians of --benchmark_repetitions.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/messages.h"
#include "transport/mMill.h"
#include "transport/twTools.h"

using namespace tw;

namespace {

using Clock = std::chrono::steady_clock;

// Figures summed over the repetitions of a run and reported as their means.
class Means {
 public:
  void Add(const char* name, double value) { sums_[name] += value; }
  void Report(benchmark::State& state) const {
    for (const auto& [name, sum] : sums_) state.counters[name] = sum / static_cast<double>(state.iterations());
  }

 private:
  std::map<std::string, double> sums_;
};

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }
// What the heap holds, the blocks it maps for large allocations included.
double HeapMb() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd) / 1e6;
}

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

// A server, a victim that reads all the time and counts what it gets, and
// `n` clients to send to it.
struct Senders {
  Server server;
  CMill victim{TMillSide::Client, true};
  int64_t atVictim = 0;
  int32_t victimId = 0;
  std::vector<std::unique_ptr<CMill>> mills;
  std::vector<CPipe*> pipes;
  explicit Senders(int n) {
    victim.Events.OnBondSack = [this](CPipe&, TSack& s) { atVictim += static_cast<int64_t>(s.Payload.size()); };
    server.Dial(victim);
    victimId = server.ids.back();
    for (int i = 0; i < n; ++i) {
      mills.push_back(std::make_unique<CMill>(TMillSide::Client, true));
      pipes.push_back(server.Dial(*mills.back()));
    }
  }
};

void FourFloodOne(benchmark::State& state) {
  constexpr int kFlooders = 4;
  constexpr int64_t kPerFlooder = 100'000'000;
  constexpr size_t kChat = 1024;
  Means means;
  for (auto _ : state) {
    Senders rig(kFlooders);
    Server& server = rig.server;
    const int64_t& atVictim = rig.atVictim;
    const int32_t victimId = rig.victimId;
    std::vector<CPipe*>& flooders = rig.pipes;
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
    means.Add("seconds", Seconds(t0));
    means.Add("delivered_MB", static_cast<double>(atVictim) / 1e6);
    means.Add("victim_closed", victimClosed);
    means.Add("hub_peak_for_victim_MB", held);
    means.Add("peak_heap_growth_MB", heapPeak - heapBefore);
  }
  means.Report(state);
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

// A client mill without a pump thread: it runs its steps only when told, so
// after its login it reads nothing (or what the bench lets it).
struct Idle {
  CMill mill{TMillSide::Client, false};
  CPipe* pipe = nullptr;
  int32_t id = 0;  // its pipe's id at the server
  int64_t received = 0;
  explicit Idle(Server& server) {
    mill.Events.OnBondSack = [this](CPipe&, TSack& s) { received += static_cast<int64_t>(s.Payload.size()); };
    const size_t before = server.ids.size();
    pipe = mill.OpenSession(u"127.0.0.1", server.mill.ListeningPort(), u"APP", u"", u"");
    win32::RunUntil(
        [&] {
          mill.PumpUp();
          return server.ids.size() == before + 1 && pipe->State == psSession;
        },
        5000);
    id = server.ids.back();
  }
  // Steps until `bytes` more arrived or `steps` ran.
  void Take(int64_t bytes, int steps) {
    const int64_t until = received + bytes;
    for (int i = 0; i < steps && received < until; ++i) {
      mill.PumpUp();
      while (win32::ProcessMessages()) {
      }
    }
  }
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Pings through the hub: `from` sends a short message to `toId` every
// `everyMs`; the other side answers each (EchoTo), and the round trips are
// kept in milliseconds.
struct Pinger {
  CPipe* from;
  int32_t toId;
  uint32_t everyMs;
  std::vector<Clock::time_point> sent;
  std::vector<double> trips;
  Clock::time_point next = Clock::now();
  void Bind(CMill& mill) {
    mill.Events.OnBondSack = [this](CPipe&, TSack& s) {
      if (s.Code != 1093 || s.Payload.size() != 4) return;
      const uint32_t n = LoadLe32(s.Payload.data());
      if (n < sent.size()) trips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent[n]).count());
    };
  }
  void Tick() {
    if (Clock::now() < next) return;
    next += std::chrono::milliseconds(everyMs);
    std::string n;
    AppendLe32(n, static_cast<uint32_t>(sent.size()));
    sent.push_back(Clock::now());
    from->QueueMessage(1093, TMessage().Raw(n)).RouteList = IntToField(toId);
  }
};

// Answers every ping with the same body, to the pipe that sent it.
void EchoPings(CMill& mill, CPipe& pipe, std::function<void(TSack&)> other = {}) {
  mill.Events.OnBondSack = [&pipe, other = std::move(other)](CPipe&, TSack& s) {
    if (s.Code == 1093) {
      pipe.QueueMessage(1093, TMessage().Raw(s.Payload)).RouteList = IntToField(s.PeerId);
    } else if (other) {
      other(s);
    }
  };
}

void ThreeBulkOneReader(benchmark::State& state) {
  constexpr size_t kSize = 50'000'000;
  Means means;
  for (auto _ : state) {
    Senders rig(3);
    Server& server = rig.server;
    const int64_t& atVictim = rig.atVictim;
    const int32_t victimId = rig.victimId;
    std::vector<CPipe*>& senders = rig.pipes;
    const double heapBefore = HeapMb();
    for (CPipe* s : senders)
      s->QueueMessage(1091, TMessage().Raw(std::string(kSize, 'b'))).RouteList = IntToField(victimId);
    double heapPeak = heapBefore, relayPeak = 0;
    bool victimClosed = false;
    const auto t0 = Clock::now();
    win32::RunUntil(
        [&] {
          heapPeak = std::max(heapPeak, HeapMb());
          relayPeak = std::max(relayPeak, static_cast<double>(server.mill.Relay()->Held()) / 1e6);
          CPipe* v = server.mill.GetPipe(victimId);
          if (!v || v->State != psSession) victimClosed = true;
          return victimClosed || atVictim >= static_cast<int64_t>(3 * kSize) || Seconds(t0) > 60;
        },
        100000);
    means.Add("seconds", Seconds(t0));
    means.Add("delivered_MB", static_cast<double>(atVictim) / 1e6);
    means.Add("victim_closed", victimClosed);
    // The senders' 3 x 50 MB queued and the victim's reassembly (all in
    // this process) included.
    means.Add("peak_heap_growth_MB", heapPeak - heapBefore);
    // What the hub held at its peak: messages under reassembly and bodies.
    means.Add("hub_relay_peak_MB", relayPeak);
  }
  means.Report(state);
}
BENCHMARK(ThreeBulkOneReader)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void SlowReaderPing(benchmark::State& state) {
  constexpr double kRunSeconds = 30;
  Means means;
  for (auto _ : state) {
    Server server;
    Idle slow(server);
    CMill filler{TMillSide::Client, true}, victim{TMillSide::Client, true}, honest{TMillSide::Client, true};
    CPipe* f = server.Dial(filler);
    const int32_t fillerId = server.ids.back();
    CPipe* v = server.Dial(victim);
    const int32_t victimId = server.ids.back();
    CPipe* h = server.Dial(honest);
    // The victim answers the slow reader's one request for an answer once.
    bool answeredSlow = false;
    EchoPings(victim, *v, [&](TSack& s) {
      if (s.AckWanted && !answeredSlow) {
        v->QueueMessage(-s.Code, TMessage()).RouteList = IntToField(s.PeerId);
        answeredSlow = true;
      }
    });
    Pinger ping{h, victimId, 100};
    ping.Bind(honest);
    const std::string toSlow = IntToField(slow.id);
    auto fill = [&] {
      while (f->Queue().Bytes() < (2u << 20))
        f->QueueMessage(1091, TMessage().Raw(std::string(64 << 10, 'f'))).RouteList = toSlow;
    };
    // Fill the slow reader's queue, then it asks the victim for an answer.
    win32::RunUntil(
        [&] {
          fill();
          const CPipe* s = server.mill.GetPipe(slow.id);
          return s && s->HeldBytes() > (60u << 20);
        },
        60000);
    TSack& ask = slow.pipe->QueueMessage(1092, TMessage().Raw("answer me"));
    ask.RouteList = IntToField(victimId);
    ask.AckWanted = 1;
    slow.Take(0, 20);
    bool held = false;
    auto nextTake = Clock::now();
    const auto t0 = Clock::now();
    ping.next = Clock::now();
    win32::RunUntil(
        [&] {
          fill();
          if (Clock::now() >= nextTake) {
            nextTake += std::chrono::milliseconds(1500);
            slow.Take(256 << 10, 400);
          }
          if (!server.mill.Relay()->MayRead(fillerId, 0)) held = true;
          if (Seconds(t0) < kRunSeconds) ping.Tick();
          return Seconds(t0) > kRunSeconds + 1;
        },
        static_cast<uint32_t>(kRunSeconds * 1000 + 5000));
    means.Add("pings", static_cast<double>(ping.sent.size()));
    means.Add("answered", static_cast<double>(ping.trips.size()));
    means.Add("p50_ms", Percentile(ping.trips, 0.5));
    means.Add("p99_ms", Percentile(ping.trips, 0.99));
    means.Add("max_ms", Percentile(ping.trips, 1));
    means.Add("filler_held", held);
    means.Add("victim_answered_slow", answeredSlow);
    const CPipe* s = server.mill.GetPipe(slow.id);
    means.Add("slow_closed", !s || s->State != psSession);
  }
  means.Report(state);
}
BENCHMARK(SlowReaderPing)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void OneToManyNonReaders(benchmark::State& state) {
  constexpr size_t kSize = 60'000'000;
  Means means;
  for (auto _ : state) {
    Server server;
    std::vector<std::unique_ptr<Idle>> idle;
    for (int i = 0; i < 4; ++i) idle.push_back(std::make_unique<Idle>(server));
    CMill sender{TMillSide::Client, true};
    CPipe* s = server.Dial(sender);
    std::string route;
    for (int round = 0; round < 3; ++round)
      for (auto& r : idle) route += IntToField(r->id);
    const double heapBefore = HeapMb();
    s->QueueMessage(1091, TMessage().Raw(std::string(kSize, 'm'))).RouteList = route;
    // Until the message has left the sender (its copy freed) and the hub has
    // relayed it.
    win32::RunUntil([&] { return s->SendIdle() && server.mill.Relay()->Held() >= kSize; }, 60000);
    win32::RunUntil([] { return false; }, 1000);
    means.Add("hub_heap_growth_MB", HeapMb() - heapBefore);
    means.Add("relay_held_MB", static_cast<double>(server.mill.Relay()->Held()) / 1e6);
  }
  means.Report(state);
}
BENCHMARK(OneToManyNonReaders)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void TwentyNonReaders(benchmark::State& state) {
  constexpr int kIdle = 20;
  constexpr int kSenders = 20;  // one for each non-reader
  constexpr int64_t kPerTarget = 100'000'000;
  constexpr double kRunSeconds = 20;
  Means means;
  for (auto _ : state) {
    Server server;
    std::vector<std::unique_ptr<Idle>> idle;
    for (int i = 0; i < kIdle; ++i) idle.push_back(std::make_unique<Idle>(server));
    std::vector<std::unique_ptr<CMill>> mills;
    std::vector<CPipe*> senders;
    for (int i = 0; i < kSenders; ++i) {
      mills.push_back(std::make_unique<CMill>(TMillSide::Client, true));
      senders.push_back(server.Dial(*mills.back()));
    }
    CMill a{TMillSide::Client, true}, b{TMillSide::Client, true};
    CPipe* pa = server.Dial(a);
    CPipe* pb = server.Dial(b);
    const int32_t idB = server.ids.back();
    EchoPings(b, *pb);
    Pinger ping{pa, idB, 100};
    ping.Bind(a);
    std::vector<int64_t> queued(kIdle, 0);
    const double heapBefore = HeapMb();
    double heapPeak = heapBefore, held = 0;
    std::unique_ptr<CMill> late;
    CPipe* latePipe = nullptr;
    Clock::time_point lateStart;
    double lateMs = -1;
    const auto t0 = Clock::now();
    win32::RunUntil(
        [&] {
          heapPeak = std::max(heapPeak, HeapMb());
          held = std::max(held, static_cast<double>(server.mill.Relay()->Held()) / 1e6);
          for (int i = 0; i < kSenders; ++i) {
            CPipe* s = senders[static_cast<size_t>(i)];
            for (int t = i; t < kIdle; t += kSenders) {
              const size_t ti = static_cast<size_t>(t);
              if (queued[ti] >= kPerTarget || s->Queue().Bytes() >= (4u << 20)) continue;
              s->QueueMessage(1091, TMessage().Raw(std::string(1 << 20, 'n'))).RouteList = IntToField(idle[ti]->id);
              queued[ti] += 1 << 20;
            }
          }
          ping.Tick();
          if (!late && Seconds(t0) > 5) {
            late = std::make_unique<CMill>(TMillSide::Client, true);
            lateStart = Clock::now();
            latePipe = late->OpenSession(u"127.0.0.1", server.mill.ListeningPort(), u"APP", u"", u"");
          }
          if (latePipe && lateMs < 0 && latePipe->State == psSession)
            lateMs = std::chrono::duration<double, std::milli>(Clock::now() - lateStart).count();
          return Seconds(t0) > kRunSeconds;
        },
        static_cast<uint32_t>(kRunSeconds * 1000 + 5000));
    means.Add("relay_peak_MB", held);
    means.Add("ceiling_MB", static_cast<double>(TRelayLimits{}.Ceiling) / 1e6);
    // The senders' own queues (4 MB each, in this process) included.
    means.Add("peak_heap_growth_MB", heapPeak - heapBefore);
    means.Add("ping_p99_ms", Percentile(ping.trips, 0.99));
    means.Add("pings_answered",
              static_cast<double>(ping.trips.size()) / static_cast<double>(std::max<size_t>(1, ping.sent.size())));
    means.Add("late_login_ms", lateMs);
    double closed = 0;
    for (auto& r : idle) {
      const CPipe* p = server.mill.GetPipe(r->id);
      closed += !p || p->State != psSession;
    }
    means.Add("nonreaders_closed", closed);
  }
  means.Report(state);
}
BENCHMARK(TwentyNonReaders)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
