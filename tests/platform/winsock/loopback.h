// Loopback helpers for the socket layer's tests: a listener on 127.0.0.1
// port 0, a connected pair, and waiting on one socket. Sockets are owned by
// the layer's Socket.
#pragma once

#include "platform/winsock/winsock.h"

#include <gtest/gtest.h>

#include <utility>

namespace tw::ws::testing {

inline sockaddr_in LoopbackAddress(u_short port) {
  sockaddr_in a;
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline const sockaddr* AsSockaddr(const sockaddr_in& a) { return reinterpret_cast<const sockaddr*>(&a); }

inline Socket TcpSocket() {
  Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_NE(s.get(), INVALID_SOCKET) << WSAGetLastError();
  return s;
}

inline u_short LocalPort(SOCKET s) {
  sockaddr_in a;
  int len = sizeof a;
  EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0) << WSAGetLastError();
  return ntohs(a.sin_port);
}

// A socket bound to 127.0.0.1 on a port the kernel picks.
inline Socket BoundSocket() {
  Socket s = TcpSocket();
  const sockaddr_in a = LoopbackAddress(0);
  EXPECT_EQ(bind(s.get(), AsSockaddr(a), sizeof a), 0) << WSAGetLastError();
  return s;
}

inline Socket Listener() {
  Socket s = BoundSocket();
  EXPECT_EQ(listen(s.get(), 5), 0) << WSAGetLastError();
  return s;
}

inline void SetNonBlocking(SOCKET s) {
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0) << WSAGetLastError();
}

enum Wait : int { kReadable = 1, kWritable = 2, kExceptional = 4 };

// Waits up to `ms` for any of `which` on `s`; returns the conditions seen.
inline int WaitFor(SOCKET s, int which, long ms = 2000) {
  fd_set r, w, e;
  if (which & kReadable) r.Add(s);
  if (which & kWritable) w.Add(s);
  if (which & kExceptional) e.Add(s);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  if (select(0, &r, &w, &e, &tv) == SOCKET_ERROR) return -WSAGetLastError();
  return (r.Contains(s) ? kReadable : 0) | (w.Contains(s) ? kWritable : 0) | (e.Contains(s) ? kExceptional : 0);
}

struct Pair {
  Socket client;  // dialled, non-blocking
  Socket server;  // accepted
};

inline Pair ConnectedPair() {
  Pair p;
  Socket listener = Listener();
  p.client = TcpSocket();
  SetNonBlocking(p.client.get());
  const sockaddr_in a = LoopbackAddress(LocalPort(listener.get()));
  if (connect(p.client.get(), AsSockaddr(a), sizeof a) == SOCKET_ERROR) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  EXPECT_EQ(WaitFor(p.client.get(), kWritable | kExceptional), kWritable);
  EXPECT_EQ(WaitFor(listener.get(), kReadable), kReadable);
  p.server = Socket(accept(listener.get(), nullptr, nullptr));
  EXPECT_NE(p.server.get(), INVALID_SOCKET) << WSAGetLastError();
  return p;
}

}  // namespace tw::ws::testing
