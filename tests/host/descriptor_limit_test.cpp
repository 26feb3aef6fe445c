// The host program at its limit of open descriptors: a burst of connections
// larger than the limit must leave the program the descriptors it needs for
// itself (its GUI's threads make pipes of their own as they go), refuse the
// rest, and welcome new logins once peers have left.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <functional>

#include "platform/win32/messages.h"
#include "tests/support/host_process.h"

namespace tw::test {
namespace {

constexpr uint64_t kLimit = 1024;
constexpr int kBurst = 1100;
constexpr int kLater = 50;

// Runs the message loop until `done` holds or the host has spent `cpuMs` of
// CPU time since the call. Every departure makes the host tell each peer
// still there, so a burst leaving costs it work that grows with the square
// of the crowd: about 1 s of CPU in a release build, ten times that under
// AddressSanitizer, and on a busy machine real time stretches further still.
// The host's own CPU clock does not stretch with the load. A host that stops
// working short of `done` is given up on after kHangMs of real time.
bool UntilWithinHostCpu(const THostProcess& host, double cpuMs, const std::function<bool()>& done) {
  constexpr win32::DWORD kHangMs = 180'000;
  const double start = host.CpuMs();
  win32::RunUntil([&] { return done() || host.CpuMs() - start > cpuMs; }, kHangMs);
  return done();
}

TEST(HostDescriptorLimit, ABurstBeyondTheLimitLeavesTheHostRoomAndLaterLoginsAreWelcomed) {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  if (r.rlim_max < 2 * kLimit) GTEST_SKIP() << "this process may not open enough descriptors";
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);

  THostProcess host({TW_HOST_PROGRAM, TW_SERVER_CONTROL, TW_REGSVR}, kLimit);
  {
    TSessionCrowd burst;
    for (int i = 0; i < kBurst; ++i) burst.Dial(host.Port());
    // Every client is either welcomed or refused.
    ASSERT_TRUE(win32::RunUntil([&] { return burst.Welcomed() + burst.Refused() == kBurst; }, 30000))
        << burst.Welcomed() << " welcomed, " << burst.Refused() << " refused";
    EXPECT_GT(burst.Welcomed(), 0);
    EXPECT_GT(burst.Refused(), 0);
    ASSERT_TRUE(host.Alive()) << host.Output();
    const int free = static_cast<int>(kLimit) - host.OpenDescriptors();
    EXPECT_GE(free, 32) << "the connections took the descriptors the program needs";
    burst.HangUpAll();
    win32::RunUntil([&] { return burst.Mill().PipeCount() == 0; }, 10000);
  }
  // The host frees the departed peers' descriptors once it has told everyone.
  ASSERT_TRUE(UntilWithinHostCpu(host, 60'000, [&] { return host.OpenDescriptors() < 100; })) << host.OpenDescriptors();
  TSessionCrowd later;
  for (int i = 0; i < kLater; ++i) later.Dial(host.Port());
  EXPECT_TRUE(win32::RunUntil([&] { return later.Welcomed() == kLater; }, 20000))
      << later.Welcomed() << " of " << kLater << " welcomed, " << later.Refused() << " refused";
  EXPECT_TRUE(host.Alive()) << host.Output();
}

}  // namespace
}  // namespace tw::test
