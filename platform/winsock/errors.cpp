// The errno and EAI_* tables and the per-thread last error.
#include "platform/winsock/internal.h"

#include <netdb.h>

#include <cerrno>
#include <utility>

namespace tw::ws {

namespace {

thread_local int t_last_error = 0;

// One row per errno value a socket call can fail with. EAGAIN and EWOULDBLOCK
// are the same number on Linux; EINPROGRESS is what a non-blocking connect
// says where WinSock says WSAEWOULDBLOCK. WinSock reports a descriptor that
// names no socket as WSAENOTSOCK, whatever the reason.
constexpr std::pair<int, int> kErrnoTable[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EPERM, WSAEACCES},
    {EACCES, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {EPIPE, WSAESHUTDOWN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

}  // namespace

int WSAGetLastError() { return t_last_error; }

void WSASetLastError(int error) { t_last_error = error; }

int ErrorFromErrno(int posix_errno) {
  if (posix_errno == 0) return 0;
  for (const auto& [from, to] : kErrnoTable)
    if (from == posix_errno) return to;
  return WSASYSCALLFAILURE;
}

int ErrorFromLookup(int eai_error) {
  switch (eai_error) {
    case 0:
      return 0;
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_SYSTEM:
      return ErrorFromErrno(errno);
    default:
      return WSANO_RECOVERY;
  }
}

namespace detail {

int FailFromErrno(int result) {
  WSASetLastError(ErrorFromErrno(errno));
  return result;
}

}  // namespace detail

}  // namespace tw::ws
