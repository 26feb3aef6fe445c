#include "platform/winsock/winsock.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <thread>

namespace tw::ws {
namespace {

TEST(WinsockErrors, ErrnoTableGivesWinsockNumbers) {
  const struct {
    int posix;
    int winsock;
  } cases[] = {
      {EAGAIN, 10035},        {EWOULDBLOCK, 10035},  {EINPROGRESS, 10035},   {EACCES, 10013},
      {EINVAL, 10022},        {EMFILE, 10024},       {ENOTSOCK, 10038},      {EBADF, 10038},
      {EADDRINUSE, 10048},    {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},  {ECONNABORTED, 10053},
      {ECONNRESET, 10054},    {ENOBUFS, 10055},      {ENOTCONN, 10057},      {EPIPE, 10058},
      {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065},  {EINTR, 10004},
      {EFAULT, 10014},        {EALREADY, 10037},     {EISCONN, 10056},       {EAFNOSUPPORT, 10047},
      {ENOMEM, 10055},        {0, 0},                {ENOENT, WSASYSCALLFAILURE},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.posix), c.winsock) << "errno " << c.posix;
}

TEST(WinsockErrors, LookupFailuresGive11001To11004) {
  const struct {
    int eai;
    int winsock;
  } cases[] = {
      {EAI_NONAME, 11001}, {EAI_AGAIN, 11002}, {EAI_FAIL, 11003}, {EAI_NODATA, 11004}, {0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorFromLookup(c.eai), c.winsock) << "EAI " << c.eai;
}

TEST(WinsockErrors, LastErrorBelongsToTheCallingThread) {
  WSASetLastError(WSAECONNRESET);
  int seen_elsewhere = -1;
  std::thread([&] { seen_elsewhere = WSAGetLastError(); }).join();
  EXPECT_EQ(seen_elsewhere, 0);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST(WinsockStartup, GrantsVersionOneOneAndCountsCleanups) {
  WSADATA data;
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);  // the highest this layer offers
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
}  // namespace tw::ws
