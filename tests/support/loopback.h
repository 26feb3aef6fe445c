// Loopback sockets for tests: a listener on 127.0.0.1 on a port the kernel
// picks, a connected pair, and waiting on one socket. Failures of the set-up
// throw std::runtime_error naming the WinSock error.
#pragma once

#include "platform/winsock/winsock.h"

namespace tw::test {

ws::sockaddr_in LoopbackAddress(ws::u_short port);
inline const ws::sockaddr* AsSockaddr(const ws::sockaddr_in& a) { return reinterpret_cast<const ws::sockaddr*>(&a); }

ws::Socket TcpSocket();
ws::u_short LocalPort(ws::SOCKET s);
ws::Socket BoundSocket();  // bound to 127.0.0.1, port 0
ws::Socket Listener();     // bound and listening
void SetNonBlocking(ws::SOCKET s);

// A port on 127.0.0.1 for a program that cannot take port 0 itself: a bound
// socket holds it without listening, so the kernel hands it to no other
// socket meanwhile (neither a port-0 bind nor a dialling socket of a test
// running beside this one), while a program told to listen there still can
// (both bind with SO_REUSEADDR). A port picked and released instead may be
// taken by another test before the program binds it. Keep it as long as the
// port must stay this test's.
struct HeldPort {
  ws::Socket holder = BoundSocket();
  ws::u_short port = LocalPort(holder.get());
};

enum Wait : int { kReadable = 1, kWritable = 2, kExceptional = 4 };
// Waits up to `ms` for any of `which` on `s`; returns the conditions seen
// (or minus the error of a failed select).
int WaitFor(ws::SOCKET s, int which, long ms = 2000);

struct SocketPair {
  ws::Socket client;  // dialled, non-blocking
  ws::Socket server;  // accepted (non-blocking, as accept makes it)
};
SocketPair ConnectedPair();

}  // namespace tw::test
