// The socket calls over POSIX: each checks for an injected fault, does the
// POSIX call and turns errno into the thread's WinSock error. A small table,
// keyed by descriptor, keeps what POSIX does not: whether a connect is still
// pending or has failed (with its error), and the buffer sizes last
// requested. select() is poll() underneath and applies WinSock's rules.
#include "platform/winsock/internal.h"

namespace {
// winsock.h gives its constants the Linux values; capture them before the
// POSIX headers below turn the same names into macros, and check them there.
constexpr int kAfInet = tw::ws::AF_INET;
constexpr int kSockStream = tw::ws::SOCK_STREAM;
constexpr int kIpprotoTcp = tw::ws::IPPROTO_TCP;
constexpr int kSolSocket = tw::ws::SOL_SOCKET;
constexpr int kSoReuseAddr = tw::ws::SO_REUSEADDR;
constexpr int kSoError = tw::ws::SO_ERROR;
constexpr int kSoSndBuf = tw::ws::SO_SNDBUF;
constexpr int kSoRcvBuf = tw::ws::SO_RCVBUF;
constexpr int kTcpNoDelay = tw::ws::TCP_NODELAY;
constexpr long kFionread = tw::ws::FIONREAD;
constexpr long kFionbio = tw::ws::FIONBIO;
constexpr int kMsgOob = tw::ws::MSG_OOB;
constexpr int kMsgPeek = tw::ws::MSG_PEEK;
}  // namespace

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <mutex>
#include <unordered_map>

static_assert(kAfInet == AF_INET && kSockStream == SOCK_STREAM && kIpprotoTcp == IPPROTO_TCP);
static_assert(kSolSocket == SOL_SOCKET && kSoReuseAddr == SO_REUSEADDR && kSoError == SO_ERROR);
static_assert(kSoSndBuf == SO_SNDBUF && kSoRcvBuf == SO_RCVBUF && kTcpNoDelay == TCP_NODELAY);
static_assert(kFionread == FIONREAD && kFionbio == FIONBIO);
static_assert(kMsgOob == MSG_OOB && kMsgPeek == MSG_PEEK);

namespace tw::ws {

using detail::Fail;
using detail::FailFromErrno;
using detail::FaultTakes;

namespace {

// ---------------------------------------------------------------- socket table

enum class ConnectState : uint8_t { None, Pending, Failed };

struct SocketState {
  ConnectState connect = ConnectState::None;
  int connect_error = 0;  // WinSock number of a failed connect, until SO_ERROR reads it
  int requested_sndbuf = -1;
  int requested_rcvbuf = -1;
};

std::mutex g_table_mutex;
std::unordered_map<SOCKET, SocketState> g_table;  // guarded by g_table_mutex
// Sockets whose connect is pending or failed; lets select() skip the table.
std::atomic<int> g_connect_entries{0};

void SetConnectLocked(SocketState& st, ConnectState to, int error) {
  if ((st.connect == ConnectState::None) != (to == ConnectState::None))
    g_connect_entries.fetch_add(to == ConnectState::None ? -1 : 1, std::memory_order_relaxed);
  st.connect = to;
  st.connect_error = error;
}

void SetConnect(SOCKET s, ConnectState to, int error = 0) {
  std::lock_guard lock(g_table_mutex);
  if (to == ConnectState::None) {
    auto it = g_table.find(s);
    if (it != g_table.end()) SetConnectLocked(it->second, to, error);
    return;
  }
  SetConnectLocked(g_table[s], to, error);
}

// Drops what the table knows of a descriptor: on close, and when the kernel
// hands out the number again.
void ForgetSocket(SOCKET s) {
  std::lock_guard lock(g_table_mutex);
  auto it = g_table.find(s);
  if (it == g_table.end()) return;
  if (it->second.connect != ConnectState::None) g_connect_entries.fetch_sub(1, std::memory_order_relaxed);
  g_table.erase(it);
}

// ---------------------------------------------------------------- addresses

// Copies a caller's address into a POSIX one; only IPv4 is offered.
bool ToPosix(const sockaddr* name, int namelen, ::sockaddr_in& out) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT, false);
  sockaddr_in in;
  std::memcpy(static_cast<void*>(&in), name, sizeof in);
  if (in.sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT, false);
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  return true;
}

void FromPosix(const ::sockaddr_in& from, sockaddr* name, int* namelen) {
  sockaddr_in out;
  out.sin_family = from.sin_family;
  out.sin_port = from.sin_port;
  out.sin_addr.s_addr = from.sin_addr.s_addr;
  std::memcpy(static_cast<void*>(name), &out, sizeof out);
  *namelen = sizeof out;
}

bool OutputFits(const sockaddr* name, const int* namelen) {
  return name != nullptr && namelen != nullptr && *namelen >= static_cast<int>(sizeof(sockaddr_in));
}

using PosixNameCall = int (*)(int, ::sockaddr*, socklen_t*);

int QueryName(PosixNameCall call, SOCKET s, sockaddr* name, int* namelen) {
  if (!OutputFits(name, namelen)) return Fail(WSAEFAULT, SOCKET_ERROR);
  ::sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (call(s, reinterpret_cast<::sockaddr*>(&addr), &len) != 0) return FailFromErrno(SOCKET_ERROR);
  FromPosix(addr, name, namelen);
  return 0;
}

// Option values narrower than an int (a one-byte BOOL) are widened.
int OptionValue(const void* optval, int optlen) {
  int value = 0;
  std::memcpy(&value, optval, std::min<size_t>(static_cast<size_t>(optlen), sizeof value));
  return value;
}

// Whether a buffer size request would enlarge the kernel's buffer (which
// holds twice the request on Linux). Smaller requests are only recorded: a
// shrunken receive buffer locks the TCP window and the kernel's tuning off.
bool GrowsKernelBuffer(SOCKET s, int optname, int value) {
  int current = 0;
  socklen_t len = sizeof current;
  if (::getsockopt(s, SOL_SOCKET, optname, &current, &len) != 0) return true;  // let setsockopt say why
  return static_cast<int64_t>(value) * 2 > current;
}

// ---------------------------------------------------------------- select

constexpr uint8_t kRead = 1, kWrite = 2, kExcept = 4;

struct SelectEntry {
  SOCKET s;
  uint8_t wanted;
  uint8_t ready;
  ConnectState connect;
};

void Collect(std::vector<SelectEntry>& entries, const fd_set* set, uint8_t bit) {
  if (set == nullptr) return;
  for (SOCKET s : set->sockets()) entries.push_back({s, bit, 0, ConnectState::None});
}

// Sorted by socket, one entry per socket with the sets it was asked about.
void Merge(std::vector<SelectEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const SelectEntry& a, const SelectEntry& b) { return a.s < b.s; });
  size_t out = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (out > 0 && entries[out - 1].s == entries[i].s) {
      entries[out - 1].wanted |= entries[i].wanted;
    } else {
      entries[out++] = entries[i];
    }
  }
  entries.resize(out);
}

void LoadConnectStates(std::vector<SelectEntry>& entries) {
  if (g_connect_entries.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard lock(g_table_mutex);
  for (SelectEntry& e : entries) {
    auto it = g_table.find(e.s);
    if (it != g_table.end()) e.connect = it->second.connect;
  }
}

// What to poll for. A failed connect is exceptional and nothing else, so it
// needs no polling; a pending one waits for POLLOUT (or an error).
short PollEvents(const SelectEntry& e) {
  if (e.connect == ConnectState::Pending) return POLLOUT;
  short events = 0;
  if (e.wanted & kRead) events |= POLLIN;
  if (e.wanted & kWrite) events |= POLLOUT;
  if (e.wanted & kExcept) events |= POLLPRI;
  return events;
}

// A pending connect has finished (POLLOUT) or failed (POLLERR/POLLHUP): read
// SO_ERROR once and keep its verdict in the table, where getsockopt finds it.
void FinishConnect(SelectEntry& e, short revents) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(e.s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0 && (revents & POLLOUT) && !(revents & POLLHUP)) {
    e.connect = ConnectState::None;
    SetConnect(e.s, ConnectState::None);
    return;
  }
  e.connect = ConnectState::Failed;
  SetConnect(e.s, ConnectState::Failed, err != 0 ? ErrorFromErrno(err) : WSAENOTCONN);
}

// Turns poll()'s verdict into WinSock's: readable includes a closed or reset
// connection (recv then says so), writable includes an error (send then says
// so), exceptional is out-of-band data or a failed connect.
void Judge(SelectEntry& e, short revents) {
  if (e.connect == ConnectState::Pending && (revents & (POLLOUT | POLLERR | POLLHUP))) FinishConnect(e, revents);
  if (e.connect == ConnectState::None) {
    if ((e.wanted & kRead) && (revents & (POLLIN | POLLHUP | POLLERR))) e.ready |= kRead;
    if ((e.wanted & kWrite) && (revents & (POLLOUT | POLLERR))) e.ready |= kWrite;
    if ((e.wanted & kExcept) && (revents & POLLPRI)) e.ready |= kExcept;
  }
  if (e.connect == ConnectState::Failed && (e.wanted & kExcept)) e.ready |= kExcept;
}

int CountReady(const std::vector<SelectEntry>& entries) {
  int n = 0;
  for (const SelectEntry& e : entries) n += std::popcount(e.ready);
  return n;
}

void KeepReady(std::vector<SOCKET>& sockets, const std::vector<SelectEntry>& entries, uint8_t bit) {
  std::erase_if(sockets, [&](SOCKET s) {
    auto it = std::lower_bound(entries.begin(), entries.end(), s,
                               [](const SelectEntry& e, SOCKET key) { return e.s < key; });
    return !(it->ready & bit);
  });
}

}  // namespace

// ---------------------------------------------------------------- start-up

namespace {
std::atomic<int> g_startups{0};
}

int WSAStartup(WORD version_requested, WSADATA* data) {
  if (data == nullptr) return WSAEFAULT;
  const u_char major = version_requested & 0xFF, minor = version_requested >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  *data = {};
  data->wVersion = MAKEWORD(1, 1);
  data->wHighVersion = MAKEWORD(1, 1);
  std::strncpy(data->szDescription, "twParley sockets over POSIX", sizeof data->szDescription - 1);
  std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
  data->iMaxSockets = 0xFFFF;
  data->iMaxUdpDg = 0;
  g_startups.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int n = g_startups.load();
  do {
    if (n == 0) return Fail(WSANOTINITIALISED, SOCKET_ERROR);
  } while (!g_startups.compare_exchange_weak(n, n - 1));
  return 0;
}

// ---------------------------------------------------------------- socket calls

SOCKET socket(int af, int type, int protocol) {
  if (FaultTakes(Call::Socket)) return INVALID_SOCKET;
  if (af != AF_INET) return Fail(WSAEAFNOSUPPORT, INVALID_SOCKET);
  const SOCKET s = ::socket(af, type | SOCK_CLOEXEC, protocol);
  if (s < 0) return FailFromErrno(INVALID_SOCKET);
  ForgetSocket(s);
  return s;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  if (FaultTakes(Call::Connect)) return SOCKET_ERROR;
  ::sockaddr_in addr;
  if (!ToPosix(name, namelen, addr)) return SOCKET_ERROR;
  if (::connect(s, reinterpret_cast<const ::sockaddr*>(&addr), sizeof addr) == 0) {
    SetConnect(s, ConnectState::None);
    return 0;
  }
  const int err = errno;
  if (err == EINPROGRESS) {
    // Pending until select() sees it finish; this also starts over after a
    // failed attempt on the same socket.
    SetConnect(s, ConnectState::Pending);
    return Fail(WSAEWOULDBLOCK, SOCKET_ERROR);
  }
  if (err == EISCONN) SetConnect(s, ConnectState::None);
  return Fail(ErrorFromErrno(err), SOCKET_ERROR);
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  if (FaultTakes(Call::Bind)) return SOCKET_ERROR;
  ::sockaddr_in addr;
  if (!ToPosix(name, namelen, addr)) return SOCKET_ERROR;
  // WinSock's default binding rules. Ports the kernel picks (port 0) are
  // never shared all the same. A failure here shows again in bind().
  const int on = 1;
  (void)::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(s, reinterpret_cast<const ::sockaddr*>(&addr), sizeof addr) != 0) return FailFromErrno(SOCKET_ERROR);
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (FaultTakes(Call::Listen)) return SOCKET_ERROR;
  if (::listen(s, backlog) != 0) return FailFromErrno(SOCKET_ERROR);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  if (FaultTakes(Call::Accept)) return INVALID_SOCKET;
  if (addr != nullptr && !OutputFits(addr, addrlen)) return Fail(WSAEFAULT, INVALID_SOCKET);
  ::sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const SOCKET a = ::accept4(s, reinterpret_cast<::sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (a < 0) return FailFromErrno(INVALID_SOCKET);
  const int on = 1;
  if (::setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    const int err = errno;
    ::close(a);
    return Fail(ErrorFromErrno(err), INVALID_SOCKET);
  }
  ForgetSocket(a);
  if (addr != nullptr) FromPosix(peer, addr, addrlen);
  return a;
}

int select(int /*nfds*/, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout) {
  if (FaultTakes(Call::Select)) return SOCKET_ERROR;
  if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return Fail(WSAEINVAL, SOCKET_ERROR);

  thread_local std::vector<SelectEntry> entries;
  thread_local std::vector<pollfd> fds;
  entries.clear();
  Collect(entries, readfds, kRead);
  Collect(entries, writefds, kWrite);
  Collect(entries, exceptfds, kExcept);
  if (entries.empty()) return Fail(WSAEINVAL, SOCKET_ERROR);
  Merge(entries);
  LoadConnectStates(entries);

  fds.resize(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    SelectEntry& e = entries[i];
    fds[i] = {e.connect == ConnectState::Failed ? -1 : e.s, PollEvents(e), 0};
    Judge(e, 0);  // a failed connect is exceptional at once
  }

  using Clock = std::chrono::steady_clock;
  const bool forever = timeout == nullptr;
  const auto deadline = Clock::now() + std::chrono::seconds(forever ? 0 : timeout->tv_sec) +
                        std::chrono::microseconds(forever ? 0 : timeout->tv_usec);
  int ready = CountReady(entries);
  for (;;) {
    int wait_ms = 0;
    if (ready == 0) {
      if (forever) {
        wait_ms = -1;
      } else {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait_ms = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
      }
    }
    const int n = ::poll(fds.data(), fds.size(), wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailFromErrno(SOCKET_ERROR);
    }
    for (size_t i = 0; n > 0 && i < entries.size(); ++i) {
      const short revents = fds[i].revents;
      if (revents == 0) continue;
      if (revents & POLLNVAL) return Fail(WSAENOTSOCK, SOCKET_ERROR);
      SelectEntry& e = entries[i];
      const uint8_t ready_before = e.ready;
      const ConnectState connect_before = e.connect;
      Judge(e, revents);
      if (e.connect == ConnectState::Failed || (e.ready == ready_before && e.connect == connect_before)) {
        // Failed connects need no polling; and what poll() reports but
        // WinSock would not (a hang-up on a socket asked only about
        // out-of-band data, say) must not make a waiting select() spin.
        fds[i].fd = -1;
      } else {
        fds[i].events = PollEvents(e);
      }
    }
    ready = CountReady(entries);
    if (ready > 0 || wait_ms == 0) break;
  }

  if (readfds != nullptr) KeepReady(readfds->sockets_, entries, kRead);
  if (writefds != nullptr) KeepReady(writefds->sockets_, entries, kWrite);
  if (exceptfds != nullptr) KeepReady(exceptfds->sockets_, entries, kExcept);
  return ready;
}

int send(SOCKET s, const void* buf, int len, int flags) {
  if (FaultTakes(Call::Send)) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT, SOCKET_ERROR);
  len = detail::ShortWriteLength(len);
  const ssize_t n = ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
  if (n < 0) return FailFromErrno(SOCKET_ERROR);
  return static_cast<int>(n);
}

int recv(SOCKET s, void* buf, int len, int flags) {
  if (FaultTakes(Call::Recv)) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT, SOCKET_ERROR);
  const ssize_t n = ::recv(s, buf, static_cast<size_t>(len), flags);
  if (n < 0) return FailFromErrno(SOCKET_ERROR);
  return static_cast<int>(n);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (FaultTakes(Call::IoctlSocket)) return SOCKET_ERROR;
  if (argp == nullptr) return Fail(WSAEFAULT, SOCKET_ERROR);
  if (cmd == FIONREAD) {
    int pending = 0;
    if (::ioctl(s, FIONREAD, &pending) != 0) return FailFromErrno(SOCKET_ERROR);
    *argp = static_cast<u_long>(pending);
    return 0;
  }
  if (cmd == FIONBIO) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return FailFromErrno(SOCKET_ERROR);
    const int wanted = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && ::fcntl(s, F_SETFL, wanted) != 0) return FailFromErrno(SOCKET_ERROR);
    return 0;
  }
  return Fail(WSAEINVAL, SOCKET_ERROR);
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) {
  if (FaultTakes(Call::SetSockOpt)) return SOCKET_ERROR;
  if (optval == nullptr || optlen <= 0) return Fail(WSAEFAULT, SOCKET_ERROR);
  const bool buffer = level == SOL_SOCKET && (optname == SO_SNDBUF || optname == SO_RCVBUF);
  int rc;
  int value = 0;
  if (optlen <= static_cast<int>(sizeof(int))) {
    value = OptionValue(optval, optlen);
    rc = buffer && !GrowsKernelBuffer(s, optname, value) ? 0 : ::setsockopt(s, level, optname, &value, sizeof value);
  } else {
    rc = ::setsockopt(s, level, optname, optval, static_cast<socklen_t>(optlen));
  }
  if (rc != 0) return FailFromErrno(SOCKET_ERROR);
  if (buffer) {
    std::lock_guard lock(g_table_mutex);
    SocketState& st = g_table[s];
    (optname == SO_SNDBUF ? st.requested_sndbuf : st.requested_rcvbuf) = value;
  }
  return 0;
}

int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen) {
  if (FaultTakes(Call::GetSockOpt)) return SOCKET_ERROR;
  if (optval == nullptr || optlen == nullptr || *optlen <= 0) return Fail(WSAEFAULT, SOCKET_ERROR);
  if (level == SOL_SOCKET && (optname == SO_ERROR || optname == SO_SNDBUF || optname == SO_RCVBUF)) {
    if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT, SOCKET_ERROR);
    std::optional<int> known;
    {
      std::lock_guard lock(g_table_mutex);
      auto it = g_table.find(s);
      if (it != g_table.end()) {
        SocketState& st = it->second;
        if (optname == SO_ERROR && st.connect_error != 0) {
          known = st.connect_error;  // read once, as SO_ERROR is
          st.connect_error = 0;
        } else if (optname == SO_SNDBUF && st.requested_sndbuf >= 0) {
          known = st.requested_sndbuf;
        } else if (optname == SO_RCVBUF && st.requested_rcvbuf >= 0) {
          known = st.requested_rcvbuf;
        }
      }
    }
    int value = 0;
    if (known) {
      value = *known;
    } else {
      socklen_t len = sizeof value;
      if (::getsockopt(s, level, optname, &value, &len) != 0) return FailFromErrno(SOCKET_ERROR);
      if (optname == SO_ERROR) value = ErrorFromErrno(value);
    }
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
  }
  socklen_t len = static_cast<socklen_t>(*optlen);
  if (::getsockopt(s, level, optname, optval, &len) != 0) return FailFromErrno(SOCKET_ERROR);
  *optlen = static_cast<int>(len);
  return 0;
}

int closesocket(SOCKET s) {
  ForgetSocket(s);
  if (::close(s) != 0) return FailFromErrno(SOCKET_ERROR);
  return 0;
}

int shutdown(SOCKET s, int how) {
  if (::shutdown(s, how) != 0) return FailFromErrno(SOCKET_ERROR);
  return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
  if (FaultTakes(Call::GetPeerName)) return SOCKET_ERROR;
  return QueryName(::getpeername, s, name, namelen);
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  if (FaultTakes(Call::GetSockName)) return SOCKET_ERROR;
  return QueryName(::getsockname, s, name, namelen);
}

}  // namespace tw::ws
