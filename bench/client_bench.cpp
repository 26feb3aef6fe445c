// Timing program for the client engine over loopback with real pump threads:
//   rtt         chat A -> hub -> B with an acknowledgement back at A, one at a
//               time, each sent after a random pause (seeded) so the send
//               times fall at every phase of the engines' timer ticks:
//               percentiles and a histogram
//   throughput  acknowledged chats per second from A to B, all sent at once
//   idle        CPU of the engine's thread per second with 100 connected peers
//               (and with one, for comparison)
// Usage: client_bench [rtt|throughput|idle]... (default: all three)
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_engines.h"
#include "bench/bench_support.h"
#include "client/mParleyCln.h"
#include "platform/win32/messages.h"
#include "server/mParleySrv.h"

using namespace tw;
using namespace tw::bench;
namespace cln = tw::cln;
using Clock = std::chrono::steady_clock;

namespace {

uint16_t PortOf(TTWParleySrv& s) { return s.Hub().Mill().ListeningPort(); }

// Two bonded clients; A counts the acknowledgements it gets.
struct Pair {
  std::unique_ptr<TTWParleySrv> server = StartServer();
  cln::TTWParleyCln a, b;
  cln::TTubeId tube = 0;
  size_t acks = 0, chats = 0;

  Pair() {
    size_t bonded = 0;
    a.Events.OnPeerConnected = [&](cln::TPeerHandle) { ++bonded; };
    b.Events.OnPeerConnected = [&](cln::TPeerHandle) { ++bonded; };
    b.Events.OnChatMessage = [this](cln::TPeerHandle, const std::u16string&) { ++chats; };
    if (!Open(a, PortOf(*server), u"a") || !Open(b, PortOf(*server), u"b") ||
        !win32::RunUntil([&] { return bonded == 2; }, 10000)) {
      std::fprintf(stderr, "sessions did not open\n");
      std::exit(1);
    }
    tube = a.Mate().Tubes().front()->Id;
    auto engineAck = a.Mate().Events.OnTubeAck;
    a.Mate().Events.OnTubeAck = [this, engineAck](cln::TTubeId t, int32_t channel) {
      ++acks;
      engineAck(t, channel);
    };
  }
  void SendChat(const std::u16string& text) {
    cln::CMate& m = a.Mate();
    m.Send(tube, cln::APP_CHAT, TMessage().Wide(text), true);
  }
};

// Percentile p (0..1) of sorted samples, nearest rank.
double Percentile(const std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5))];
}

// The engines work on timer ticks (the client's every 20 ms): a chat sent
// right after the previous acknowledgement leaves at the same phase of the
// tick every time, and the round trip locks to whole ticks. Each chat waits a
// random pause first (uniform 0..kPhaseSpanMs-1 ms, fixed seed, the engines
// pumping meanwhile), so the send times fall at every phase of the ticks.
constexpr int kPhaseSpanMs = 100;  // covers the client's and the session's ticks
constexpr uint32_t kPhaseSeed = 20261210;

void RoundTrip(int count) {
  Pair p;
  std::mt19937 rng(kPhaseSeed);
  std::uniform_int_distribution<int> pause(0, kPhaseSpanMs - 1);
  std::vector<double> rtt;
  rtt.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    win32::RunUntil([] { return false; }, static_cast<win32::DWORD>(pause(rng)));
    const auto t0 = Clock::now();
    p.SendChat(u"ping");
    if (!win32::RunUntil([&] { return p.acks == static_cast<size_t>(i + 1); }, 5000)) {
      std::fprintf(stderr, "acknowledgement %d lost\n", i);
      std::exit(1);
    }
    rtt.push_back(Ms(Clock::now() - t0));
  }
  std::sort(rtt.begin(), rtt.end());
  std::printf("rtt: %d chats sent after random pauses of 0-%d ms (seed %u), chats at B: %zu\n", count,
              kPhaseSpanMs - 1, kPhaseSeed, p.chats);
  std::printf("  min %.2f, p10 %.2f, p25 %.2f, median %.2f, p75 %.2f, p90 %.2f, p99 %.2f, max %.2f ms\n",
              rtt.front(), Percentile(rtt, 0.10), Percentile(rtt, 0.25), Percentile(rtt, 0.5), Percentile(rtt, 0.75),
              Percentile(rtt, 0.90), Percentile(rtt, 0.99), rtt.back());
  // Where the round trips fall, 5 ms a bin: a tick-locked figure shows as a
  // few spikes, a phase-free one as a spread.
  constexpr double kBinMs = 5;
  std::map<int, int> bins;
  for (double ms : rtt) ++bins[static_cast<int>(ms / kBinMs)];
  std::printf("  histogram:");
  for (const auto& [bin, n] : bins) std::printf(" %g-%g:%d", bin * kBinMs, (bin + 1) * kBinMs, n);
  std::printf("\n");
}

void Throughput(int count) {
  Pair p;
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) p.SendChat(u"load");
  if (!win32::RunUntil([&] { return p.acks == static_cast<size_t>(count); }, 120000)) {
    std::fprintf(stderr, "only %zu of %d acknowledged\n", p.acks, count);
    std::exit(1);
  }
  const double s = Ms(Clock::now() - t0) / 1000;
  std::printf("throughput, all sent at once: %d acknowledged chats in %.2f s = %.0f per second\n", count, s,
              count / s);
}

// At most `window` unacknowledged, as the audio path sends (33 per talker).
void Windowed(int count, int window) {
  Pair p;
  int sent = 0;
  p.a.Mate().Events.OnTubeAck = [&, inner = p.a.Mate().Events.OnTubeAck](cln::TTubeId t, int32_t ch) {
    inner(t, ch);
    if (sent < count) {
      p.SendChat(u"load");
      ++sent;
    }
  };
  const auto t0 = Clock::now();
  for (; sent < window; ++sent) p.SendChat(u"load");
  if (!win32::RunUntil([&] { return p.acks == static_cast<size_t>(count); }, 120000)) {
    std::fprintf(stderr, "only %zu of %d acknowledged\n", p.acks, count);
    std::exit(1);
  }
  const double s = Ms(Clock::now() - t0) / 1000;
  std::printf("throughput, %d in flight: %d acknowledged chats in %.2f s = %.0f per second\n", window, count, s,
              count / s);
}

// Engine A runs on a thread of its own so its thread's CPU is its own; the
// server and the 100 other engines share the main thread.
void Idle(int peers, int seconds) {
  auto server = StartServer();
  const uint16_t port = PortOf(*server);
  std::atomic<int> stage{0};  // 1 A open, 2 A bonded with all, 3 measured, 4 stop
  std::atomic<size_t> connected{0};
  double cpuPerSecond = 0;
  std::thread engineThread([&] {
    cln::TTWParleyCln a;
    a.Events.OnPeerConnected = [&](cln::TPeerHandle) { ++connected; };
    if (!Open(a, port, u"a")) std::exit(1);
    stage = 1;
    win32::RunUntil([&] { return connected.load() == static_cast<size_t>(peers); }, 120000);
    win32::RunUntil([] { return false; }, 1000);  // let the last bonds settle
    stage = 2;
    const double cpu0 = ThreadCpuMs();
    const auto t0 = Clock::now();
    win32::RunUntil([] { return false; }, static_cast<win32::DWORD>(seconds * 1000));
    cpuPerSecond = (ThreadCpuMs() - cpu0) / (Ms(Clock::now() - t0) / 1000);
    stage = 3;
    win32::RunUntil([&] { return stage.load() == 4; }, 60000);
  });
  win32::RunUntil([&] { return stage.load() >= 1; }, 20000);
  std::vector<std::unique_ptr<cln::TTWParleyCln>> others;
  for (int i = 0; i < peers; ++i) {
    others.push_back(std::make_unique<cln::TTWParleyCln>());
    others.back()->OpenSession(u"127.0.0.1", port, u"p" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)),
                               u"pw");
  }
  const auto join0 = Clock::now();
  win32::RunUntil([&] { return stage.load() >= 2; }, 180000);
  const double joinS = Ms(Clock::now() - join0) / 1000;
  const double proc0 = ProcessCpuMs();
  const auto t0 = Clock::now();
  win32::RunUntil([&] { return stage.load() >= 3; }, static_cast<win32::DWORD>(seconds * 1000 + 10000));
  const double procPerSecond = (ProcessCpuMs() - proc0) / (Ms(Clock::now() - t0) / 1000);
  std::printf("idle: %zu peers connected to A in %.1f s; A's thread %.2f ms CPU per second; whole process "
              "(%d engines, server, pump threads) %.1f ms per second\n",
              connected.load(), joinS, cpuPerSecond, peers + 1, procPerSecond);
  stage = 4;
  engineThread.join();
  others.clear();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> what(argv + 1, argv + argc);
  if (what.empty()) what = {"rtt", "throughput", "idle"};
  for (const std::string& w : what) {
    if (w == "rtt") RoundTrip(1000);
    if (w == "throughput") {
      Throughput(2000);
      Windowed(5000, 32);
    }
    if (w == "idle") {
      Idle(1, 5);  // the same engine with one peer, for comparison
      Idle(100, 5);
    }
  }
  return 0;
}
