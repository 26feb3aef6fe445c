// The socket layer the transport calls: the WinSock 1.1 subset it needs
// (non-blocking IPv4 TCP, select, FIONREAD, names and addresses), over POSIX
// sockets, with WinSock's error numbers and its select() rules for a failed
// connect. Also the local IPv4 address list and a fault-injection switch for
// tests. Sockets are plain descriptors owned by whoever holds them until
// closesocket; nothing here allocates on the caller's behalf.
//
// What differs from the POSIX calls underneath:
// - Errors are WinSock numbers, kept per thread (WSAGetLastError): one errno
//   table maps every failure, name look-ups give 11001-11004.
// - select() has no descriptor limit and follows WinSock: a non-blocking
//   connect that fails is reported in the exception set only (Linux would call
//   it readable and writable), and its error is then what getsockopt SO_ERROR
//   returns. The layer tracks each socket's connect from the WSAEWOULDBLOCK of
//   connect() until select() sees it complete or fail.
// - send() never raises SIGPIPE; a reset peer gives WSAECONNRESET or
//   WSAESHUTDOWN instead.
// - accept() returns non-blocking sockets with TCP_NODELAY set.
// - bind() sets SO_REUSEADDR first, which gives WinSock's default rules: a
//   port held only by closed connections in TIME_WAIT can be bound again, a
//   port with a live listener fails with WSAEADDRINUSE.
// - SO_SNDBUF/SO_RCVBUF sizes are the caller's own accounting: the kernel's
//   buffer only ever grows to them, never shrinks below the system default.
//   A small receive buffer on Linux locks the TCP window near twice its size
//   and switches off the kernel's tuning for good, so a request below what
//   the socket already holds is recorded and not passed on. getsockopt reads
//   back the value last requested through this layer, as WinSock does, and
//   the kernel's figure before any request.
// - listen() with SOMAXCONN asks for the system's largest backlog.
// - gethostbyname of the machine's own name answers with the interface
//   addresses (LocalAddresses), as WinSock does; resolvers that map the host
//   name to 127.0.1.1 would otherwise hide every real address. Names under
//   the reserved .invalid domain fail at once with WSAHOST_NOT_FOUND.
// - inet_ntoa returns a std::string and gethostbyname a value, instead of
//   pointers into per-thread storage; fd_set is a set of any size with member
//   functions in place of the FD_* macros.
//
// The option, ioctl and address-family constants carry the Linux values, so
// they pass straight through. This header must therefore come before any
// POSIX socket header in a translation unit (an #error says so otherwise);
// code above this layer includes no POSIX socket header at all. The C
// library declares its own fd_set, timeval and u_long globally, so callers
// write their code inside namespace tw::ws or qualify the names (ws::fd_set);
// `using namespace tw::ws` makes them ambiguous.
#pragma once

#if defined(SOL_SOCKET) || defined(AF_INET) || defined(INADDR_ANY) || defined(FIONREAD) || \
    defined(TCP_NODELAY) || defined(htons)
#error "include platform/winsock/winsock.h before any POSIX socket header"
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw::ws {

using SOCKET = int;
using u_char = uint8_t;
using u_short = uint16_t;
using u_long = uint32_t;  // 32 bits, as on WinSock
using WORD = uint16_t;

inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Address family, socket type, protocol, levels and options (Linux values).
inline constexpr int AF_INET = 2;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int SOL_SOCKET = 1;
inline constexpr int SO_REUSEADDR = 2;
inline constexpr int SO_ERROR = 4;
inline constexpr int SO_SNDBUF = 7;
inline constexpr int SO_RCVBUF = 8;
inline constexpr int TCP_NODELAY = 1;
inline constexpr long FIONREAD = 0x541B;
inline constexpr long FIONBIO = 0x5421;
inline constexpr int MSG_OOB = 1;
inline constexpr int MSG_PEEK = 2;
inline constexpr u_long INADDR_ANY = 0x00000000;
inline constexpr u_long INADDR_LOOPBACK = 0x7F000001;  // host byte order
inline constexpr u_long INADDR_NONE = 0xFFFFFFFF;
inline constexpr int SOMAXCONN = 0x7FFFFFFF;  // listen(): the largest backlog the system allows

// WinSock error numbers.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSASYSCALLFAILURE = 10107;  // an errno without a WinSock counterpart
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// The last error of the calling thread. Successful calls leave it alone.
int WSAGetLastError();
void WSASetLastError(int error);

// The WinSock number for a POSIX errno value (0 for 0, WSASYSCALLFAILURE for
// one the table does not know), and for a getaddrinfo EAI_* result.
int ErrorFromErrno(int posix_errno);
int ErrorFromLookup(int eai_error);

// Start-up is counted: WSAStartup grants at most version 1.1 (0x0101) and
// fails with WSAVERNOTSUPPORTED below it; WSACleanup without a start-up fails
// with WSANOTINITIALISED. The socket calls do not depend on it.
struct WSADATA {
  WORD wVersion = 0;
  WORD wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  u_short iMaxSockets = 0;
  u_short iMaxUdpDg = 0;
};
int WSAStartup(WORD version_requested, WSADATA* data);  // 0 or the error number
int WSACleanup();

constexpr WORD MAKEWORD(u_char low, u_char high) { return static_cast<WORD>(low | (high << 8)); }

// Byte order.
constexpr u_short htons(u_short v) {
  return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}
constexpr u_long htonl(u_long v) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}
constexpr u_short ntohs(u_short v) { return htons(v); }
constexpr u_long ntohl(u_long v) { return htonl(v); }

// IPv4 addresses; s_addr and sin_port in network byte order.
struct in_addr {
  u_long s_addr = 0;
};
struct sockaddr {
  u_short sa_family = 0;
  char sa_data[14] = {};
};
struct sockaddr_in {
  u_short sin_family = 0;
  u_short sin_port = 0;
  in_addr sin_addr;
  char sin_zero[8] = {};
};
static_assert(sizeof(sockaddr) == 16 && sizeof(sockaddr_in) == 16);

struct timeval {
  long tv_sec = 0;
  long tv_usec = 0;
};

// A set of sockets for select(); on return it holds the ready ones, in the
// order they were added.
class fd_set {
 public:
  void Add(SOCKET s) {
    if (!Contains(s)) sockets_.push_back(s);
  }
  void Remove(SOCKET s) { std::erase(sockets_, s); }
  bool Contains(SOCKET s) const { return std::find(sockets_.begin(), sockets_.end(), s) != sockets_.end(); }
  void Clear() { sockets_.clear(); }
  bool empty() const { return sockets_.empty(); }
  size_t size() const { return sockets_.size(); }
  const std::vector<SOCKET>& sockets() const { return sockets_; }

 private:
  friend int select(int, fd_set*, fd_set*, fd_set*, const timeval*);
  std::vector<SOCKET> sockets_;
};

// The socket calls. Failures return INVALID_SOCKET or SOCKET_ERROR and set
// the thread's last error.
SOCKET socket(int af, int type, int protocol);
int connect(SOCKET s, const sockaddr* name, int namelen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);  // addr and addrlen may be null
// `nfds` is ignored, as on WinSock; a null `timeout` waits without limit.
// Returns the number of entries left in the three sets.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
int send(SOCKET s, const void* buf, int len, int flags);
int recv(SOCKET s, void* buf, int len, int flags);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);  // FIONREAD, FIONBIO
int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen);
int closesocket(SOCKET s);
// Ends one direction of a connection (SD_RECEIVE, SD_SEND, SD_BOTH): after
// SD_SEND the peer reads the end once it has read everything sent before.
int shutdown(SOCKET s, int how);
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);

// Owns one socket and closes it when it goes away or when it takes another
// (adopting a socket closes the one it replaces). Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SOCKET s) noexcept : s_(s) {}
  ~Socket() { reset(); }
  Socket(Socket&& o) noexcept : s_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  SOCKET get() const { return s_; }
  explicit operator bool() const { return s_ != INVALID_SOCKET; }
  // Gives up ownership without closing.
  SOCKET release() {
    const SOCKET s = s_;
    s_ = INVALID_SOCKET;
    return s;
  }
  // Closes the socket held (if any) and holds `s` instead.
  void reset(SOCKET s = INVALID_SOCKET) {
    const SOCKET old = s_;
    s_ = s;
    if (old != INVALID_SOCKET && old != s) closesocket(old);
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

// A readiness set: sockets registered once and asked in one call which of
// them have bytes or an end to read, so a loop over many idle sockets costs
// neither a rebuilt descriptor list nor one call per socket (epoll
// underneath, level-triggered). Each socket carries the caller's token;
// closing a socket takes it out of the set. Not thread-safe; one owner.
class ReadinessSet {
 public:
  ReadinessSet();  // throws std::runtime_error when the system refuses one
  ~ReadinessSet();
  ReadinessSet(const ReadinessSet&) = delete;
  ReadinessSet& operator=(const ReadinessSet&) = delete;

  // Watches `s` for reading under `token`; false (with the last error) on failure.
  bool Add(SOCKET s, uint64_t token);
  // Stops watching `s` (a closed socket needs no call).
  void Remove(SOCKET s);
  // The tokens of the sockets readable now, waiting up to `timeoutMs` (0:
  // not at all) for the first. `ready` is cleared first and keeps its
  // capacity, so a steady caller allocates nothing. A token may appear twice
  // when very many sockets are ready at once. Returns the count, or
  // SOCKET_ERROR.
  int Poll(std::vector<uint64_t>& ready, int timeoutMs = 0);
  // Whether a watched socket is readable now; takes nothing, so the next
  // Poll reports it. Safe from another thread than the one that polls.
  bool AnyReady() const;

 private:
  int fd_ = -1;
};

// A spare descriptor held for the moment the process runs out of them:
// releasing it lets one more socket be accepted (and closed, to refuse a
// waiting connection instead of leaving it hanging); Restore takes it again.
class DescriptorReserve {
 public:
  DescriptorReserve();  // holds one at once when it can
  ~DescriptorReserve();
  DescriptorReserve(const DescriptorReserve&) = delete;
  DescriptorReserve& operator=(const DescriptorReserve&) = delete;
  bool Held() const { return fd_ >= 0; }
  void Release();
  bool Restore();

 private:
  int fd_ = -1;
};

// Whether `fresh`, a socket just made or accepted, leaves fewer than
// `margin` descriptors free below the process's limit. The system gives a
// new descriptor the lowest free number, so every number below the new
// socket's is taken: the test costs no count of the open descriptors.
bool WithinDescriptorMargin(SOCKET fresh, uint64_t margin);

// Raises the process's soft limit of open descriptors to its hard limit;
// returns the soft limit in force afterwards (0 when it cannot be read).
uint64_t RaiseDescriptorLimit();

// Names and addresses.
struct hostent {
  std::string h_name;
  std::vector<in_addr> h_addr_list;  // IPv4 only, never empty on success
};
// A dotted address, a host name, or the empty text for this machine; none on
// failure, with the last error 11001-11004 (or a socket error).
std::optional<hostent> gethostbyname(const char* name);
int gethostname(char* name, int namelen);  // WSAEFAULT when it does not fit
u_long inet_addr(const char* cp);          // INADDR_NONE when not an address
std::string inet_ntoa(in_addr in);

// The machine's IPv4 addresses of interfaces that are up: the others first,
// in interface order, then the loopback ones. Empty when none can be read.
std::vector<in_addr> LocalAddresses();

// Fault injection for tests: make the nth call (1 = the next) of one socket
// function fail with `error` without doing anything, once or from then on.
// Faults are process-wide and stay armed until their ScopedFault goes away.
// ScopedShortWrite makes send() take fewer bytes than it is given.
enum class Call {
  Socket,
  Connect,
  Bind,
  Listen,
  Accept,
  Select,
  Send,
  Recv,
  IoctlSocket,
  SetSockOpt,
  GetSockOpt,
  GetPeerName,
  GetSockName,
  GetHostByName,
  GetHostName,
};
enum class Repeat { Once, Always };

class [[nodiscard]] ScopedFault {
 public:
  ScopedFault(Call call, int nth, int error, Repeat repeat = Repeat::Once);
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
  // How many calls this fault has failed so far.
  int failures() const;

 private:
  int id_;
};

inline ScopedFault InjectFault(Call call, int nth, int error, Repeat repeat = Repeat::Once) {
  return ScopedFault(call, nth, error, repeat);
}

// Short writes: from the nth send() on (once or every time), the call passes
// at most `limit` bytes (at least 1) to the network and returns that count,
// as a send into a nearly full buffer does.
class [[nodiscard]] ScopedShortWrite {
 public:
  explicit ScopedShortWrite(int limit, int nth = 1, Repeat repeat = Repeat::Always);
  ~ScopedShortWrite();
  ScopedShortWrite(const ScopedShortWrite&) = delete;
  ScopedShortWrite& operator=(const ScopedShortWrite&) = delete;
  // How many sends this switch has shortened so far.
  int shortened() const;

 private:
  int id_;
};

}  // namespace tw::ws
