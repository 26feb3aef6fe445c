// The mill under load: many connections at once, a peer that stops reading,
// frames larger than the read size, and a process out of descriptors.
#include <gtest/gtest.h>

#include "platform/win32/tick.h"
#include "tests/support/manual_tick.h"
#include "tests/support/mill_rig.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace tw;
using namespace tw::test;

namespace {

// Connections that wait when a step begins are accepted in that step, up to
// the bound per step; the rest follow in the next one.
TEST(MillLoad, AStepAcceptsEveryWaitingConnectionUpToItsBound) {
  TListeningServer host;
  constexpr int kPeers = CMill::kAcceptsPerStep + 20;
  std::vector<std::unique_ptr<TRawPeer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<TRawPeer>(host.Port()));
    ASSERT_TRUE(peers.back()->ok()) << i;
  }
  host.mill.PumpUp();
  EXPECT_EQ(host.mill.PipeCount(), static_cast<size_t>(CMill::kAcceptsPerStep));
  host.mill.PumpUp();
  EXPECT_EQ(host.mill.PipeCount(), static_cast<size_t>(kPeers));
  EXPECT_TRUE(host.log->lines.empty());
}

// A client that writes 64 KiB messages whole, each in one frame: the read
// size still grows, so the client is not held to 1 KiB per step (it was:
// the size followed whole frames, and a frame larger than the read size
// takes too long to arrive for the size ever to grow).
TEST(MillLoad, TheReadSizeGrowsUnderFramesLargerThanIt) {
  TListeningServer host;
  TRawPeer peer(host.Port());
  LogInPlain(peer);
  ASSERT_TRUE(Drive({&host.mill}, [&] { return !host.probe.opened.empty(); }));
  CPipe* s = host.mill.GetPipe(host.probe.opened[0]);
  ASSERT_EQ(s->RecvSize, kInitialBufferSize);

  constexpr size_t kMessages = 16;
  std::string out;
  for (size_t i = 0; i < kMessages; ++i)
    AppendFrame(out, sfFirstChunk | sfLastChunk, sackAppBase + 5, std::string(64 << 10, 'u'));
  size_t sent = 0;
  ASSERT_TRUE(Drive({&host.mill}, [&] {
    sent += peer.SendSome(std::string_view(out).substr(sent));
    return host.probe.received.size() == kMessages;
  }));
  EXPECT_GE(s->RecvSize, 64 << 10);
}

// A peer that stops reading cannot make the hub hold ever more for it: the
// sender is held back while B is over its bound, B is closed with
// WSAENOBUFS once it has taken nothing for kStallMs, and the sender and the
// other target then go on and get everything.
TEST(MillLoad, APeerThatStopsReadingIsClosedAfterItsStallAndOthersAreServed) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  constexpr size_t kBound = 4 << 20;
  host.mill.Relay()->Limits.Bound = kBound;
  CMill ca{TMillSide::Client, false}, cb{TMillSide::Client, false}, cc{TMillSide::Client, false};
  TMillProbe pc;
  pc.Attach(cc);
  CPipe* a = host.Dial(ca);
  CPipe* b = host.Dial(cb);
  CPipe* c = host.Dial(cc);
  ASSERT_TRUE(Drive({&host.mill, &ca, &cb, &cc}, [&] {
    return host.probe.opened.size() == 3 && a->State == psSession && b->State == psSession && c->State == psSession;
  }));
  const int32_t idB = ServerIdOf(host.mill, host.probe, b), idC = ServerIdOf(host.mill, host.probe, c);
  ASSERT_TRUE(idB && idC);

  // B's mill is never pumped again: it reads nothing. A sends at the pace
  // the hub takes its messages, far beyond what the sockets buffer for B.
  constexpr int kMessages = 320;  // 20 MiB
  int queued = 0;
  size_t maxHeld = 0;
  const bool done = Drive({&host.mill, &ca, &cc}, [&] {
    tick.Advance(20);
    if (queued < kMessages && a->Queue().Empty()) {
      TSack& sack = a->QueueMessage(1091, TMessage().Raw(std::string(64 << 10, static_cast<char>('a' + queued % 26))));
      sack.RouteList = IntToField(idB) + IntToField(idC);
      ++queued;
    }
    if (CPipe* sb = host.mill.GetPipe(idB)) maxHeld = std::max(maxHeld, sb->HeldBytes());
    return pc.bonds.size() == kMessages;
  }, 20000);
  ASSERT_TRUE(done) << pc.bonds.size();
  ASSERT_EQ(host.probe.closes.size(), 1u);
  EXPECT_EQ(host.probe.closes[0].pipe, idB);
  EXPECT_EQ(host.probe.closes[0].reason, CloseReasonOfError(ws::WSAENOBUFS));
  EXPECT_EQ(a->State, psSession);
  EXPECT_EQ(c->State, psSession);
  EXPECT_LE(maxHeld, kBound * kHardBoundFactor);
}

// --- Out of descriptors ----------------------------------------------------------

// The limit under which exactly `room` descriptor numbers are free (new
// descriptors take the lowest free number; the open ones above stay usable).
rlim_t LimitLeavingRoom(int room) {
  int fd = 0;
  for (int free = 0;; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && ++free == room) break;
  }
  return static_cast<rlim_t>(fd + 1);
}

struct TChildReport {
  uint16_t port = 0;
  int32_t pipes = -1;
  int32_t logLines = -1;
  int32_t lastError = 0;
};

// The server side of the test, in a child process so that its descriptor
// limit touches nothing else: listens, reports its port, lowers its limit to
// leave room for `room` connections beyond the margin that accepting keeps
// free, pumps while the parent's peers wait,
// reports what it did and waits to be told to end.
[[noreturn]] void RunLimitedServer(int toParent, int fromParent, int room) {
  TListeningServer host;
  TChildReport report;
  report.port = host.Port();
  if (write(toParent, &report, sizeof report) != sizeof report) _exit(2);
  // A sanitizer's type check opens a pipe the first time it meets a type;
  // out of descriptors it could not, so the log's type is met here first.
  host.mill.ReportError("warm-up");
  host.log->lines.clear();
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = LimitLeavingRoom(room + static_cast<int>(CMill::kDescriptorMargin));
  if (setrlimit(RLIMIT_NOFILE, &r) != 0) _exit(3);
  char go = 0;
  if (read(fromParent, &go, 1) != 1) _exit(4);
  for (int i = 0; i < 20; ++i) {
    host.mill.PumpUp();
    while (win32::ProcessMessages()) {
    }
    usleep(2000);
  }
  report.pipes = static_cast<int32_t>(host.mill.PipeCount());
  report.logLines = static_cast<int32_t>(host.log->lines.size());
  report.lastError = host.mill.LastError;
  if (write(toParent, &report, sizeof report) != sizeof report) _exit(5);
  (void)read(fromParent, &go, 1);
  _exit(0);
}

// Out of descriptors, the mill refuses the connections it cannot take
// (their clients see the end at once instead of hanging), records the error
// once, and goes on serving.
TEST(MillLoad, OutOfDescriptorsWaitingClientsAreRefusedAndTheErrorRecordedOnce) {
  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  constexpr int kRoom = 3;
  constexpr int kPeers = 12;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(up[0]);
    close(down[1]);
    RunLimitedServer(up[1], down[0], kRoom);
  }
  close(up[1]);
  close(down[0]);
  TChildReport report;
  ASSERT_EQ(read(up[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
  std::vector<std::unique_ptr<TRawPeer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<TRawPeer>(report.port));
    ASSERT_TRUE(peers.back()->ok()) << i;
  }
  ASSERT_EQ(write(down[1], "g", 1), 1);
  ASSERT_EQ(read(up[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
  // The refused see their end at once; the accepted never do.
  int refused = 0;
  for (int round = 0; round < 400; ++round) {
    refused = 0;
    for (auto& peer : peers) {
      peer->Read();
      refused += peer->eof() ? 1 : 0;
    }
    if (refused >= kPeers - report.pipes) break;
    usleep(5000);
  }
  ASSERT_EQ(write(down[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(up[0]);
  close(down[1]);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_GE(report.pipes, 1);
  EXPECT_LE(report.pipes, kRoom);
  EXPECT_EQ(refused, kPeers - report.pipes);
  EXPECT_EQ(report.logLines, 1);
  EXPECT_EQ(report.lastError, ws::WSAEMFILE);
}

}  // namespace
