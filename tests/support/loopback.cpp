#include "tests/support/loopback.h"

#include <stdexcept>
#include <string>

namespace tw::test {
namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + " failed: WinSock error " + std::to_string(ws::WSAGetLastError()));
}

}  // namespace

ws::sockaddr_in LoopbackAddress(ws::u_short port) {
  ws::sockaddr_in a;
  a.sin_family = ws::AF_INET;
  a.sin_port = ws::htons(port);
  a.sin_addr.s_addr = ws::htonl(ws::INADDR_LOOPBACK);
  return a;
}

ws::Socket TcpSocket() {
  ws::Socket s(ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP));
  if (!s) Fail("socket");
  return s;
}

ws::u_short LocalPort(ws::SOCKET s) {
  ws::sockaddr_in a;
  int len = sizeof a;
  if (ws::getsockname(s, reinterpret_cast<ws::sockaddr*>(&a), &len) != 0) Fail("getsockname");
  return ws::ntohs(a.sin_port);
}

ws::Socket BoundSocket() {
  ws::Socket s = TcpSocket();
  const ws::sockaddr_in a = LoopbackAddress(0);
  if (ws::bind(s.get(), AsSockaddr(a), sizeof a) != 0) Fail("bind");
  return s;
}

ws::Socket Listener() {
  ws::Socket s = BoundSocket();
  if (ws::listen(s.get(), 5) != 0) Fail("listen");
  return s;
}

void SetNonBlocking(ws::SOCKET s) {
  ws::u_long on = 1;
  if (ws::ioctlsocket(s, ws::FIONBIO, &on) != 0) Fail("ioctlsocket FIONBIO");
}

int WaitFor(ws::SOCKET s, int which, long ms) {
  ws::fd_set r, w, e;
  if (which & kReadable) r.Add(s);
  if (which & kWritable) w.Add(s);
  if (which & kExceptional) e.Add(s);
  ws::timeval tv{ms / 1000, (ms % 1000) * 1000};
  if (ws::select(0, &r, &w, &e, &tv) == ws::SOCKET_ERROR) return -ws::WSAGetLastError();
  return (r.Contains(s) ? kReadable : 0) | (w.Contains(s) ? kWritable : 0) | (e.Contains(s) ? kExceptional : 0);
}

SocketPair ConnectedPair() {
  SocketPair p;
  ws::Socket listener = Listener();
  p.client = TcpSocket();
  SetNonBlocking(p.client.get());
  const ws::sockaddr_in a = LoopbackAddress(LocalPort(listener.get()));
  if (ws::connect(p.client.get(), AsSockaddr(a), sizeof a) == ws::SOCKET_ERROR &&
      ws::WSAGetLastError() != ws::WSAEWOULDBLOCK)
    Fail("connect");
  if (WaitFor(p.client.get(), kWritable | kExceptional) != kWritable) Fail("connect completion");
  if (WaitFor(listener.get(), kReadable) != kReadable) Fail("waiting for the connection");
  p.server = ws::Socket(ws::accept(listener.get(), nullptr, nullptr));
  if (!p.server) Fail("accept");
  return p;
}

}  // namespace tw::test
