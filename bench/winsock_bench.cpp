// What the pump pays per pipe and tick in the socket layer: a zero time-out
// select on one socket, FIONREAD, and a small send and recv over loopback.
#include "platform/winsock/winsock.h"

#include <benchmark/benchmark.h>
#include <poll.h>

#include <utility>
#include <vector>

namespace tw::ws {
namespace {

sockaddr_in Loopback(u_short port) {
  sockaddr_in a;
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A connected loopback pair, both ends non-blocking.
std::pair<SOCKET, SOCKET> ConnectedPair() {
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  int len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long on = 1;
  ioctlsocket(client, FIONBIO, &on);
  connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
  fd_set w;
  w.Add(client);
  timeval wait{2, 0};
  select(0, nullptr, &w, nullptr, &wait);
  fd_set r;
  r.Add(listener);
  select(0, &r, nullptr, nullptr, &wait);
  const SOCKET server = accept(listener, nullptr, nullptr);
  closesocket(listener);
  return {client, server};
}

void BM_SelectZeroTimeoutOneSocket(benchmark::State& state) {
  auto [client, server] = ConnectedPair();
  const timeval zero{};
  for (auto _ : state) {
    fd_set w;
    w.Add(client);
    benchmark::DoNotOptimize(select(0, nullptr, &w, nullptr, &zero));
  }
  closesocket(client);
  closesocket(server);
}
BENCHMARK(BM_SelectZeroTimeoutOneSocket);

// The floor: the poll() system call that select() makes.
void BM_RawPollOneSocket(benchmark::State& state) {
  auto [client, server] = ConnectedPair();
  for (auto _ : state) {
    pollfd fd{client, POLLOUT, 0};
    benchmark::DoNotOptimize(::poll(&fd, 1, 0));
  }
  closesocket(client);
  closesocket(server);
}
BENCHMARK(BM_RawPollOneSocket);

void BM_SelectZeroTimeoutWhileAnotherConnects(benchmark::State& state) {
  // A connect still pending anywhere in the process makes select() consult
  // the layer's socket table.
  auto [client, server] = ConnectedPair();
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  int len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const SOCKET pending = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long on = 1;
  ioctlsocket(pending, FIONBIO, &on);
  connect(pending, reinterpret_cast<sockaddr*>(&a), sizeof a);  // never selected: stays pending
  const timeval zero{};
  for (auto _ : state) {
    fd_set w;
    w.Add(client);
    benchmark::DoNotOptimize(select(0, nullptr, &w, nullptr, &zero));
  }
  closesocket(pending);
  closesocket(listener);
  closesocket(client);
  closesocket(server);
}
BENCHMARK(BM_SelectZeroTimeoutWhileAnotherConnects);

void BM_FionRead(benchmark::State& state) {
  auto [client, server] = ConnectedPair();
  for (auto _ : state) {
    u_long pending = 0;
    benchmark::DoNotOptimize(ioctlsocket(client, FIONREAD, &pending));
  }
  closesocket(client);
  closesocket(server);
}
BENCHMARK(BM_FionRead);

void BM_SendRecv(benchmark::State& state) {
  auto [client, server] = ConnectedPair();
  std::vector<char> buf(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    send(client, buf.data(), static_cast<int>(buf.size()), 0);
    int got = 0;
    while (got < static_cast<int>(buf.size())) {
      const int n = recv(server, buf.data(), static_cast<int>(buf.size()) - got, 0);
      if (n > 0) got += n;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  closesocket(client);
  closesocket(server);
}
BENCHMARK(BM_SendRecv)->Arg(1024)->Arg(65536);

}  // namespace
}  // namespace tw::ws

BENCHMARK_MAIN();
