#include <gtest/gtest.h>

#include "tests/support/loopback.h"

namespace tw::ws {
namespace {

using namespace tw::test;

// Sends one byte per call and says which calls failed (1-based).
std::vector<int> FailingSends(SOCKET s, int calls) {
  std::vector<int> failed;
  for (int i = 1; i <= calls; ++i)
    if (send(s, "x", 1, 0) == SOCKET_ERROR) failed.push_back(i);
  return failed;
}

int PendingBytes(SOCKET s) {
  WaitFor(s, kReadable);
  u_long pending = 0;
  EXPECT_EQ(ioctlsocket(s, FIONREAD, &pending), 0);
  return static_cast<int>(pending);
}

TEST(WinsockFaults, FailsExactlyTheNthCallAndDoesNothing) {
  SocketPair p = ConnectedPair();
  {
    auto fault = InjectFault(Call::Send, 3, WSAECONNRESET);
    EXPECT_EQ(FailingSends(p.client.get(), 5), std::vector<int>{3});
    EXPECT_EQ(fault.failures(), 1);
    // Only the failed call left nothing on the wire.
    EXPECT_EQ(send(p.client.get(), nullptr, 0, 0), 0);
  }
  EXPECT_EQ(PendingBytes(p.server.get()), 4);
}

TEST(WinsockFaults, FailedCallSetsTheGivenError) {
  SocketPair p = ConnectedPair();
  auto fault = InjectFault(Call::Recv, 1, WSAECONNABORTED);
  char byte;
  EXPECT_EQ(recv(p.client.get(), &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNABORTED);
  EXPECT_EQ(recv(p.client.get(), &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);  // the real answer again
}

TEST(WinsockFaults, RepeatAlwaysFailsFromTheNthCallOn) {
  SocketPair p = ConnectedPair();
  auto fault = InjectFault(Call::Send, 2, WSAECONNRESET, Repeat::Always);
  EXPECT_EQ(FailingSends(p.client.get(), 4), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(fault.failures(), 3);
}

TEST(WinsockFaults, ClearedWhenItsScopeEndsAndLimitedToItsCall) {
  SocketPair p = ConnectedPair();
  {
    auto fault = InjectFault(Call::Send, 1, WSAENOBUFS, Repeat::Always);
    u_long pending = 0;
    EXPECT_EQ(ioctlsocket(p.client.get(), FIONREAD, &pending), 0);  // another call
    EXPECT_EQ(FailingSends(p.client.get(), 1), std::vector<int>{1});
  }
  EXPECT_TRUE(FailingSends(p.client.get(), 3).empty());
}

TEST(WinsockFaults, TwoFaultsOnOneCallCountIndependently) {
  SocketPair p = ConnectedPair();
  auto second = InjectFault(Call::Send, 2, WSAENOBUFS);
  auto fourth = InjectFault(Call::Send, 4, WSAECONNRESET);
  EXPECT_EQ(FailingSends(p.client.get(), 5), (std::vector<int>{2, 4}));
}

TEST(WinsockFaults, InjectedConnectFailureLeavesNoPendingConnect) {
  Socket listener = Listener();
  Socket s = TcpSocket();
  SetNonBlocking(s.get());
  const sockaddr_in a = LoopbackAddress(LocalPort(listener.get()));
  {
    auto fault = InjectFault(Call::Connect, 1, WSAECONNREFUSED);
    EXPECT_EQ(connect(s.get(), AsSockaddr(a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  }
  EXPECT_EQ(WaitFor(s.get(), kExceptional, 0), 0);
  EXPECT_EQ(WaitFor(listener.get(), kReadable, 0), 0);  // nothing was dialled
}

TEST(WinsockFaults, LookupCanBeMadeToFail) {
  auto fault = InjectFault(Call::GetHostByName, 1, WSATRY_AGAIN);
  EXPECT_FALSE(gethostbyname("127.0.0.1").has_value());
  EXPECT_EQ(WSAGetLastError(), WSATRY_AGAIN);
  EXPECT_TRUE(gethostbyname("127.0.0.1").has_value());
}

TEST(WinsockFaults, ShortWritesPassOnlyTheLimitFromTheNthSendOn) {
  SocketPair p = ConnectedPair();
  {
    auto shortWrites = ScopedShortWrite(3, 2);
    EXPECT_EQ(send(p.client.get(), "abcdef", 6, 0), 6);  // the first goes whole
    EXPECT_EQ(send(p.client.get(), "ghijkl", 6, 0), 3);
    EXPECT_EQ(send(p.client.get(), "mn", 2, 0), 2);  // within the limit
    EXPECT_EQ(send(p.client.get(), "opqrst", 6, 0), 3);
    EXPECT_EQ(shortWrites.shortened(), 2);
  }
  EXPECT_EQ(send(p.client.get(), "uvwxyz", 6, 0), 6);
  EXPECT_EQ(PendingBytes(p.server.get()), 6 + 3 + 2 + 3 + 6);
  char got[32] = {};
  EXPECT_EQ(recv(p.server.get(), got, sizeof got, 0), 20);
  EXPECT_EQ(std::string(got), "abcdefghimnopquvwxyz");
}

TEST(WinsockSocket, ClosesWhatItOwnsAndWhatItReplaces) {
  SocketPair p = ConnectedPair();
  SocketPair q = ConnectedPair();
  char byte;
  {
    Socket owner(p.client.release());
    owner.reset(q.client.release());  // the first connection closes here
    EXPECT_EQ(WaitFor(p.server.get(), kReadable), kReadable);
    EXPECT_EQ(recv(p.server.get(), &byte, 1, 0), 0);
    Socket moved = std::move(owner);
    EXPECT_FALSE(owner);
    EXPECT_TRUE(moved);
  }  // and the second when its owner goes
  EXPECT_EQ(WaitFor(q.server.get(), kReadable), kReadable);
  EXPECT_EQ(recv(q.server.get(), &byte, 1, 0), 0);
}

}  // namespace
}  // namespace tw::ws
