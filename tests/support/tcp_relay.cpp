#include "tests/support/tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace tw::test {

struct TTcpRelay::TState {
  int listener = -1;
  uint16_t port = 0;
  uint16_t target = 0;
  TObserver observer;
  std::atomic<bool> stop{false};
  std::atomic<bool> holdUp{false};
  std::thread thread;

  void Run();
  // Forwards one read of `from` to `to`; false once either side ended.
  bool Forward(int from, int to, bool up);
};

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

}  // namespace

TTcpRelay::TTcpRelay(uint16_t target, TObserver observer) : state_(std::make_unique<TState>()) {
  TState& s = *state_;
  s.target = target;
  s.observer = std::move(observer);
  s.listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = Loopback(0);
  ::bind(s.listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(s.listener, 1);
  socklen_t len = sizeof sa;
  ::getsockname(s.listener, reinterpret_cast<sockaddr*>(&sa), &len);
  s.port = ntohs(sa.sin_port);
  s.thread = std::thread([&s] { s.Run(); });
}

TTcpRelay::~TTcpRelay() {
  state_->stop = true;
  state_->thread.join();
  ::close(state_->listener);
}

uint16_t TTcpRelay::Port() const { return state_->port; }

void TTcpRelay::HoldUp(bool hold) { state_->holdUp = hold; }

void TTcpRelay::TState::Run() {
  pollfd wait{listener, POLLIN, 0};
  while (!stop && ::poll(&wait, 1, 10) <= 0) {
  }
  if (stop) return;
  const int client = ::accept(listener, nullptr, nullptr);
  const int server = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in sa = Loopback(target);
  ::connect(server, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  while (!stop) {
    // A held client is not polled for input; its end (POLLHUP) still shows.
    pollfd fds[2] = {{client, static_cast<short>(holdUp ? 0 : POLLIN), 0}, {server, POLLIN, 0}};
    if (::poll(fds, 2, 10) <= 0) continue;
    const auto ready = [&](int i) { return (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0; };
    if ((ready(0) && !Forward(client, server, true)) || (ready(1) && !Forward(server, client, false))) break;
  }
  ::close(client);
  ::close(server);
}

bool TTcpRelay::TState::Forward(int from, int to, bool up) {
  char buf[65536];
  const ssize_t n = ::recv(from, buf, sizeof buf, 0);
  if (n <= 0) return false;
  if (observer) observer(up, std::string_view(buf, static_cast<size_t>(n)));
  for (ssize_t sent = 0; sent < n;) {
    const ssize_t k = ::send(to, buf + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
    if (k <= 0) return false;
    sent += k;
  }
  return true;
}

}  // namespace tw::test
