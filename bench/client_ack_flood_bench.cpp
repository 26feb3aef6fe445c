// A flood of tiny acknowledged messages at a client whose pipe to the hub
// cannot send. The victim, a client session layer (CMate), runs in a process
// of its own so that its memory is its own; the hub and the attacker run in
// this one, each mill on its own 10 ms pump thread as the host runs them,
// and a relay between the victim and the hub stops reading the victim's
// bytes once the victim has bonded with the attacker. The attacker then
// sends N empty messages that ask for acknowledgements, routed to the
// victim, and the victim waits a further while (past the transport's stall
// time) before it reports its memory and whether its session still stands.
// Then the relay reads again and the attacker counts the acknowledgements.
//
// Prints: N, the victim's resident and heap growth at its peak, how many
// messages it received, whether its session stayed, and how many of the N
// acknowledgements reached the attacker after the relay resumed (and when).
// A timing program; run it several times and read the medians.
//   client_ack_flood_bench [messages (2000000)] [hold seconds after the flood (20)]
#include "client/mMate.h"
#include "platform/win32/messages.h"
#include "server/mHub.h"
#include "tests/support/tcp_relay.h"
#include "transport/mSessionCommands.h"
#include "transport/twTools.h"

#include <malloc.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace tw;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kFloodCode = 121 + sackAppBase;  // acknowledged, otherwise ignored by the engine

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }
double HeapMb() { return static_cast<double>(mallinfo2().uordblks) / 1e6; }
double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

// The victim's process: logs in through the relay, bonds with whoever asks,
// and reports on `out` once it received `messages` (or its session ended, or
// time ran out) and `holdSeconds` more have passed; then it stays until its
// session ends so that its acknowledgements can leave.
int RunVictim(int in, int out, long messages, double holdSeconds) {
  uint16_t relayPort = 0;
  if (::read(in, &relayPort, sizeof relayPort) != sizeof relayPort) return 1;
  ::close(in);
  cln::CMate mate(kParleyAppId);
  long received = 0;
  bool bonded = false, closed = false;
  mate.Events.OnTubeBonded = [&](cln::TTubeId) { bonded = true; };
  mate.Events.OnTubeMessage = [&](cln::TTubeId, std::string&, int32_t) { ++received; };
  mate.Events.OnMateClosed = [&](int32_t) { closed = true; };
  mate.Events.OnMateRejected = [&](int32_t) { closed = true; };
  mate.OpenSession(u"127.0.0.1", relayPort, u"victim", u"pw");
  win32::RunUntil([&] { return bonded || closed; }, 10000);
  const double rss0 = ResidentMb(), heap0 = HeapMb();
  double rssPeak = rss0, heapPeak = heap0;
  auto sample = [&] {
    rssPeak = std::max(rssPeak, ResidentMb());
    heapPeak = std::max(heapPeak, HeapMb());
  };
  const auto t0 = Clock::now();
  win32::RunUntil([&] { return sample(), received >= messages || closed; }, 180000);
  const double floodSeconds = Seconds(t0);
  const auto t1 = Clock::now();
  double closedAt = -1;
  win32::RunUntil([&] {
    sample();
    if (closed && closedAt < 0) closedAt = Seconds(t0);
    return Seconds(t1) >= holdSeconds;
  }, static_cast<win32::DWORD>(holdSeconds * 1000) + 1000);
  char line[256];
  const int len = std::snprintf(line, sizeof line, "%.1f %.1f %.1f %.1f %ld %d %.1f %.1f\n", rss0, rssPeak, heap0,
                                heapPeak, received, closed ? 1 : 0, closedAt, floodSeconds);
  (void)::write(out, line, static_cast<size_t>(len));
  ::close(out);
  win32::RunUntil([&] { return closed; }, 600000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const long messages = argc > 1 ? std::atol(argv[1]) : 2'000'000;
  const double holdSeconds = argc > 2 ? std::atof(argv[2]) : 20.0;
  int report[2], port[2];
  if (::pipe(report) != 0 || ::pipe(port) != 0) return 1;
  const pid_t child = ::fork();  // before any thread or window exists
  if (child == 0) {
    ::close(report[0]);
    ::close(port[1]);
    return RunVictim(port[0], report[1], messages, holdSeconds);
  }
  ::close(report[1]);
  ::close(port[0]);

  CHub hub(kParleyAppId);
  hub.Mill().ErrorLogPath.clear();
  int connected = 0;
  hub.Events.OnConnectionRequest = [](const std::u16string&, std::u16string& pw, bool& ok) {
    pw = u"pw";
    ok = true;
  };
  hub.Events.OnPeerConnected = [&](CPeer&) { ++connected; };
  hub.Port = 0;
  hub.Start();
  test::TTcpRelay relay(hub.Mill().ListeningPort());
  const uint16_t relayPort = relay.Port();
  if (::write(port[1], &relayPort, sizeof relayPort) != sizeof relayPort) return 1;
  ::close(port[1]);
  win32::RunUntil([&] { return connected == 1; }, 10000);

  CMill attacker(TMillSide::Client);
  int32_t victimId = 0;
  bool bonded = false;
  long acks = 0;
  attacker.Events.OnPipeOpen = [](CPipe& p) { p.QueueOwn(CMD_READY + sackAppBase); };
  attacker.Events.OnSackReceived = [&](CPipe& p, int32_t channel, std::string& body) {
    if (channel == CMD_WELCOME) p.QueueOwn(CMD_ANNOUNCE + sackAppBase);
    if (channel != CMD_PEER_JOINED) return;
    victimId = ReadIntField(body);
    AppendLe32(p.QueueOwn(cln::BOND_REQUEST, IntToField(secNone)).RouteList, static_cast<uint32_t>(victimId));
  };
  attacker.Events.OnBondSack = [&](CPipe&, TSack& s) {
    if (s.Code == cln::BOND_REPLY) bonded = true;
    if (s.Code == -kFloodCode) ++acks;
  };
  CPipe* pipe = attacker.OpenSession(u"127.0.0.1", hub.Mill().ListeningPort(), kParleyAppId, u"attacker", u"pw");
  const int32_t pipeId = pipe ? pipe->Id() : 0;
  if (!win32::RunUntil([&] { return bonded; }, 10000)) {
    std::fprintf(stderr, "the attacker did not bond with the victim\n");
    return 1;
  }
  relay.HoldUp(true);

  long queued = 0;
  const auto t0 = Clock::now();
  win32::RunUntil([&] {
    CPipe* p = attacker.GetPipe(pipeId);
    if (!p) return true;
    while (queued < messages && p->Queue().Bytes() < (size_t{8} << 20)) {
      TSack& s = p->QueueOwn(kFloodCode);
      s.AckWanted = 1;
      AppendLe32(s.RouteList, static_cast<uint32_t>(victimId));
      ++queued;
    }
    return queued >= messages && p->SendIdle();
  }, 300000);
  const double sentSeconds = Seconds(t0);

  std::string line;
  win32::RunUntil([&] {
    pollfd fd{report[0], POLLIN, 0};
    char buf[256];
    if (::poll(&fd, 1, 0) > 0) {
      const ssize_t n = ::read(report[0], buf, sizeof buf);
      if (n > 0) line.append(buf, static_cast<size_t>(n));
    }
    return line.find('\n') != std::string::npos;
  }, 600000);
  double rss0 = 0, rssPeak = 0, heap0 = 0, heapPeak = 0, closedAt = 0, floodSeconds = 0;
  long received = 0;
  int closed = 0;
  std::sscanf(line.c_str(), "%lf %lf %lf %lf %ld %d %lf %lf", &rss0, &rssPeak, &heap0, &heapPeak, &received, &closed,
              &closedAt, &floodSeconds);

  relay.HoldUp(false);
  const long acksBefore = acks;
  const auto t1 = Clock::now();
  win32::RunUntil([&] { return acks >= messages; }, 120000);
  const double ackSeconds = Seconds(t1);

  std::printf("messages %ld (%.1f MB on the wire) sent by the attacker in %.1f s\n", messages,
              static_cast<double>(messages) * 21 / 1e6, sentSeconds);
  std::printf("victim: resident %.1f -> %.1f MB (+%.1f), heap %.1f -> %.1f MB (+%.1f)\n", rss0, rssPeak,
              rssPeak - rss0, heap0, heapPeak, heapPeak - heap0);
  std::printf("victim: received %ld in %.1f s; session %s", received, floodSeconds,
              closed ? "closed" : "still open");
  if (closed) std::printf(" (after %.1f s)", closedAt);
  std::printf(" %.0f s after the flood\n", holdSeconds);
  std::printf("attacker: %ld acknowledgements while held, %ld of %ld %.1f s after the relay resumed\n", acksBefore,
              acks, messages, ackSeconds);
  attacker.ClosePipe(pipeId);
  hub.Stop();
  win32::RunUntil([] { return false; }, 300);
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  return 0;
}
