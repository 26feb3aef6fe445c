#include <gtest/gtest.h>

#include "tests/support/loopback.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tw::ws {
namespace {

using namespace tw::test;

// A port with a bound socket that does not listen: connects to it are
// refused, and no other process can take the port meanwhile.
struct ClosedPort {
  Socket holder = BoundSocket();
  u_short port = LocalPort(holder.get());
};

int SoError(SOCKET s) {
  int value = -1;
  int len = sizeof value;
  EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &len), 0) << WSAGetLastError();
  return value;
}

TEST(WinsockConnect, RefusedConnectIsExceptionalOnlyAndGives10061) {
  ClosedPort closed;
  Socket s = TcpSocket();
  SetNonBlocking(s.get());
  const sockaddr_in a = LoopbackAddress(closed.port);
  ASSERT_EQ(connect(s.get(), AsSockaddr(a), sizeof a), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

  EXPECT_EQ(WaitFor(s.get(), kReadable | kWritable | kExceptional), kExceptional);
  // Asked again, and without the exception set, it is still neither.
  EXPECT_EQ(WaitFor(s.get(), kReadable | kWritable, 0), 0);
  EXPECT_EQ(WaitFor(s.get(), kExceptional, 0), kExceptional);
  EXPECT_EQ(SoError(s.get()), WSAECONNREFUSED);
  EXPECT_EQ(SoError(s.get()), 0);  // read once
}

// The order a dialling pipe asks in: writable first, then exceptional, each
// set on its own.
TEST(WinsockConnect, RefusedConnectSeenWhileAskingForWritableStaysExceptional) {
  ClosedPort closed;
  Socket s = TcpSocket();
  SetNonBlocking(s.get());
  const sockaddr_in a = LoopbackAddress(closed.port);
  ASSERT_EQ(connect(s.get(), AsSockaddr(a), sizeof a), SOCKET_ERROR);
  EXPECT_EQ(WaitFor(s.get(), kWritable, 100), 0);
  EXPECT_EQ(WaitFor(s.get(), kExceptional), kExceptional);
  EXPECT_EQ(SoError(s.get()), WSAECONNREFUSED);
}

TEST(WinsockConnect, AcceptedConnectIsWritableAndNotExceptional) {
  Socket listener = Listener();
  Socket s = TcpSocket();
  SetNonBlocking(s.get());
  const sockaddr_in a = LoopbackAddress(LocalPort(listener.get()));
  ASSERT_EQ(connect(s.get(), AsSockaddr(a), sizeof a), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(WaitFor(s.get(), kReadable | kWritable | kExceptional), kWritable);
  EXPECT_EQ(SoError(s.get()), 0);
}

TEST(WinsockBind, PortWithLiveListenerGives10048) {
  Socket first = Listener();
  Socket second = TcpSocket();
  const sockaddr_in a = LoopbackAddress(LocalPort(first.get()));
  EXPECT_EQ(bind(second.get(), AsSockaddr(a), sizeof a), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
}

TEST(WinsockBind, PortHeldOnlyByClosedConnectionsCanBeBoundAgain) {
  Socket listener = Listener();
  const u_short port = LocalPort(listener.get());
  {
    Socket dialled = TcpSocket();
    SetNonBlocking(dialled.get());
    const sockaddr_in a = LoopbackAddress(port);
    connect(dialled.get(), AsSockaddr(a), sizeof a);
    ASSERT_EQ(WaitFor(listener.get(), kReadable), kReadable);
    Socket accepted(accept(listener.get(), nullptr, nullptr));
    ASSERT_NE(accepted.get(), INVALID_SOCKET);
    accepted.reset();  // the listening side closes first and keeps TIME_WAIT on the port
    ASSERT_EQ(WaitFor(dialled.get(), kReadable), kReadable);
  }
  listener.reset();
  Socket again = TcpSocket();
  const sockaddr_in a = LoopbackAddress(port);
  EXPECT_EQ(bind(again.get(), AsSockaddr(a), sizeof a), 0) << WSAGetLastError();
  EXPECT_EQ(listen(again.get(), 5), 0) << WSAGetLastError();
}

TEST(WinsockAccept, AcceptedSocketIsNonBlockingWithNoDelay) {
  Socket listener = Listener();
  SetNonBlocking(listener.get());
  Socket client = TcpSocket();
  const sockaddr_in a = LoopbackAddress(LocalPort(listener.get()));
  SetNonBlocking(client.get());
  connect(client.get(), AsSockaddr(a), sizeof a);
  ASSERT_EQ(WaitFor(listener.get(), kReadable), kReadable);

  sockaddr_in peer;
  int len = sizeof peer;
  Socket accepted(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len));
  ASSERT_NE(accepted.get(), INVALID_SOCKET) << WSAGetLastError();
  EXPECT_EQ(inet_ntoa(peer.sin_addr), "127.0.0.1");
  EXPECT_EQ(ntohs(peer.sin_port), LocalPort(client.get()));

  char byte;
  EXPECT_EQ(recv(accepted.get(), &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  int nodelay = 0;
  int optlen = sizeof nodelay;
  ASSERT_EQ(getsockopt(accepted.get(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &optlen), 0);
  EXPECT_NE(nodelay, 0);

  // Nothing more is waiting: a second accept would block.
  EXPECT_EQ(accept(listener.get(), nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST(WinsockSend, SendToResetPeerFailsWithoutSigpipe) {
  SocketPair p = ConnectedPair();
  p.server.reset();
  const char data[] = "hello";
  int result = 0;
  for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) {
    result = send(p.client.get(), data, sizeof data, 0);
    WaitFor(p.client.get(), kReadable, 100);  // let the reset arrive
  }
  ASSERT_EQ(result, SOCKET_ERROR);
  const int error = WSAGetLastError();
  EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN) << error;
}

TEST(WinsockIoctl, FionreadCountsPendingBytesAndZeroAfterClose) {
  SocketPair p = ConnectedPair();
  ASSERT_EQ(send(p.server.get(), "hello", 5, 0), 5);
  ASSERT_EQ(WaitFor(p.client.get(), kReadable), kReadable);
  u_long pending = 0;
  ASSERT_EQ(ioctlsocket(p.client.get(), FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 5u);

  char buf[8];
  ASSERT_EQ(recv(p.client.get(), buf, 2, 0), 2);
  ASSERT_EQ(ioctlsocket(p.client.get(), FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 3u);
  ASSERT_EQ(recv(p.client.get(), buf, sizeof buf, 0), 3);

  // An orderly close reads as readable with nothing pending.
  p.server.reset();
  ASSERT_EQ(WaitFor(p.client.get(), kReadable), kReadable);
  ASSERT_EQ(ioctlsocket(p.client.get(), FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 0u);
  EXPECT_EQ(recv(p.client.get(), buf, sizeof buf, 0), 0);
}

TEST(WinsockIoctl, UnknownCommandGivesInvalid) {
  Socket s = TcpSocket();
  u_long value = 0;
  EXPECT_EQ(ioctlsocket(s.get(), 0x1234, &value), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(WinsockSelect, CountsEverySetAndKeepsOnlyReadySockets) {
  SocketPair p = ConnectedPair();
  ASSERT_EQ(send(p.server.get(), "x", 1, 0), 1);
  ASSERT_EQ(WaitFor(p.client.get(), kReadable), kReadable);

  fd_set r, w, e;
  r.Add(p.client.get());
  r.Add(p.server.get());  // nothing to read there
  w.Add(p.client.get());
  e.Add(p.client.get());
  const timeval zero{};
  EXPECT_EQ(select(0, &r, &w, &e, &zero), 2);
  EXPECT_EQ(r.sockets(), std::vector<SOCKET>{p.client.get()});
  EXPECT_EQ(w.sockets(), std::vector<SOCKET>{p.client.get()});
  EXPECT_TRUE(e.empty());
}

TEST(WinsockSelect, RejectsEmptySetsAndClosedDescriptors) {
  fd_set r;
  const timeval zero{};
  EXPECT_EQ(select(0, &r, nullptr, nullptr, &zero), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

  Socket s = TcpSocket();
  const SOCKET stale = s.get();
  s.reset();
  r.Add(stale);
  EXPECT_EQ(select(0, &r, nullptr, nullptr, &zero), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(WinsockSelect, HasNoDescriptorLimit) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  constexpr SOCKET kHigh = 1500;  // beyond the classic FD_SETSIZE of 1024
  if (limit.rlim_cur <= kHigh) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, kHigh + 1);
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur <= kHigh) GTEST_SKIP() << "descriptor limit too low";

  SocketPair p = ConnectedPair();
  ASSERT_EQ(dup2(p.client.get(), kHigh), kHigh);
  Socket high(kHigh);
  fd_set w;
  w.Add(kHigh);
  const timeval zero{};
  EXPECT_EQ(select(0, nullptr, &w, nullptr, &zero), 1);
  EXPECT_TRUE(w.Contains(kHigh));
}

TEST(WinsockOptions, BufferSizesReadBackAsRequested) {
  Socket s = TcpSocket();
  int value = 0;
  int len = sizeof value;
  ASSERT_EQ(getsockopt(s.get(), SOL_SOCKET, SO_SNDBUF, &value, &len), 0);
  EXPECT_GT(value, 0);  // the kernel's figure before any request

  for (int option : {SO_SNDBUF, SO_RCVBUF}) {
    const int requested = 8448;
    ASSERT_EQ(setsockopt(s.get(), SOL_SOCKET, option, &requested, sizeof requested), 0);
    len = sizeof value;
    ASSERT_EQ(getsockopt(s.get(), SOL_SOCKET, option, &value, &len), 0);
    EXPECT_EQ(value, requested);
  }
}

// The kernel's own figure, past this layer's bookkeeping.
int KernelBufferSize(SOCKET s, int option) {
  int value = 0;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(s, SOL_SOCKET, option, &value, &len), 0);
  return value;
}

// A small receive buffer would lock the TCP window near twice its size (and
// the kernel's tuning off for good): small requests leave the kernel's
// buffers as they are, larger ones grow them.
TEST(WinsockOptions, BufferRequestsGrowTheKernelsBuffersAndNeverShrinkThem) {
  for (int option : {SO_SNDBUF, SO_RCVBUF}) {
    SocketPair p = ConnectedPair();
    const int before = KernelBufferSize(p.server.get(), option);
    const int small = 2 * 1024 + 256;
    ASSERT_EQ(setsockopt(p.server.get(), SOL_SOCKET, option, &small, sizeof small), 0);
    EXPECT_EQ(KernelBufferSize(p.server.get(), option), before) << option;
    const int large = before;  // the kernel holds twice a request
    ASSERT_EQ(setsockopt(p.server.get(), SOL_SOCKET, option, &large, sizeof large), 0);
    EXPECT_GT(KernelBufferSize(p.server.get(), option), before) << option;
  }
}

// The readiness set names the sockets with bytes or an end to read by their
// tokens, forgets closed ones, and an idle poll finds nothing.
TEST(WinsockReadiness, ReportsTheTokensOfReadableSocketsOnly) {
  ReadinessSet set;
  SocketPair a = ConnectedPair(), b = ConnectedPair(), c = ConnectedPair();
  ASSERT_TRUE(set.Add(a.server.get(), 11));
  ASSERT_TRUE(set.Add(b.server.get(), 22));
  ASSERT_TRUE(set.Add(c.server.get(), 33));
  std::vector<uint64_t> ready;
  EXPECT_EQ(set.Poll(ready), 0);
  EXPECT_TRUE(ready.empty());

  ASSERT_EQ(send(a.client.get(), "x", 1, 0), 1);
  b.client.reset();  // an end is readable too
  EXPECT_EQ(set.Poll(ready, 2000), 2);
  std::sort(ready.begin(), ready.end());
  EXPECT_EQ(ready, (std::vector<uint64_t>{11, 22}));

  b.server.reset();  // closed: out of the set
  set.Remove(a.server.get());
  ASSERT_EQ(send(c.client.get(), "y", 1, 0), 1);
  EXPECT_EQ(set.Poll(ready, 2000), 1);
  EXPECT_EQ(ready, std::vector<uint64_t>{33});
}

// Raising the descriptor limit leaves the soft limit at the hard one.
TEST(WinsockLimits, RaisingTheDescriptorLimitReachesTheHardLimit) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<uint64_t>(limit.rlim_max));
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}

TEST(WinsockOptions, OneByteBooleanIsAccepted) {
  Socket s = TcpSocket();
  const char on = 1;
  ASSERT_EQ(setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, 1), 0) << WSAGetLastError();
  int value = 0;
  int len = sizeof value;
  ASSERT_EQ(getsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &value, &len), 0);
  EXPECT_NE(value, 0);
}

TEST(WinsockNames, PeerAndSockNameDescribeBothEnds) {
  SocketPair p = ConnectedPair();
  sockaddr_in peer, local;
  int len = sizeof peer;
  ASSERT_EQ(getpeername(p.server.get(), reinterpret_cast<sockaddr*>(&peer), &len), 0);
  len = sizeof local;
  ASSERT_EQ(getsockname(p.client.get(), reinterpret_cast<sockaddr*>(&local), &len), 0);
  EXPECT_EQ(peer.sin_family, AF_INET);
  EXPECT_EQ(peer.sin_port, local.sin_port);
  EXPECT_EQ(peer.sin_addr.s_addr, local.sin_addr.s_addr);

  Socket unconnected = TcpSocket();
  len = sizeof peer;
  EXPECT_EQ(getpeername(unconnected.get(), reinterpret_cast<sockaddr*>(&peer), &len), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
}

}  // namespace
}  // namespace tw::ws
