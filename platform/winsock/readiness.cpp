// The readiness set over epoll, the spare descriptor and the descriptor limit.
#include "platform/winsock/internal.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

namespace tw::ws {

using detail::FailFromErrno;

ReadinessSet::ReadinessSet() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("epoll_create1 error");
}

ReadinessSet::~ReadinessSet() { ::close(fd_); }

bool ReadinessSet::Add(SOCKET s, uint64_t token) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = token;
  if (::epoll_ctl(fd_, EPOLL_CTL_ADD, s, &ev) == 0) return true;
  if (errno == EEXIST && ::epoll_ctl(fd_, EPOLL_CTL_MOD, s, &ev) == 0) return true;
  FailFromErrno(0);
  return false;
}

void ReadinessSet::Remove(SOCKET s) {
  epoll_event ev{};
  (void)::epoll_ctl(fd_, EPOLL_CTL_DEL, s, &ev);
}

int ReadinessSet::Poll(std::vector<uint64_t>& ready, int timeoutMs) {
  ready.clear();
  // Level-triggered: sockets still ready after a full batch come first in
  // the next call, so a few more calls collect the rest; what is left after
  // that is found by the next poll.
  constexpr int kBatch = 256;
  constexpr int kRounds = 16;
  std::array<epoll_event, kBatch> events;
  for (int round = 0; round < kRounds; ++round) {
    int n = ::epoll_wait(fd_, events.data(), kBatch, round == 0 ? timeoutMs : 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailFromErrno(SOCKET_ERROR);
    }
    for (int i = 0; i < n; ++i) {
      // epoll_event is packed on x86-64: its 64-bit data sits at offset 4, so
      // it is read by value, never bound to a reference.
      const uint64_t token = events[static_cast<size_t>(i)].data.u64;
      ready.push_back(token);
    }
    if (n < kBatch) break;
  }
  return static_cast<int>(ready.size());
}

bool ReadinessSet::AnyReady() const {
  epoll_event event{};
  return ::epoll_wait(fd_, &event, 1, 0) > 0;
}

DescriptorReserve::DescriptorReserve() { Restore(); }

DescriptorReserve::~DescriptorReserve() { Release(); }

void DescriptorReserve::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DescriptorReserve::Restore() {
  if (fd_ < 0) fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

bool WithinDescriptorMargin(SOCKET fresh, uint64_t margin) {
  rlimit r{};
  if (fresh < 0 || ::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return false;
  const auto limit = static_cast<uint64_t>(r.rlim_cur);
  return static_cast<uint64_t>(fresh) + margin >= limit;
}

uint64_t RaiseDescriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
  if (r.rlim_cur < r.rlim_max) {
    rlimit raised = r;
    raised.rlim_cur = r.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) r = raised;
  }
  return static_cast<uint64_t>(r.rlim_cur);
}

}  // namespace tw::ws
