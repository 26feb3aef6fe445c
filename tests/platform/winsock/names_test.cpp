#include "platform/winsock/winsock.h"

#include <gtest/gtest.h>

namespace tw::ws {
namespace {

static_assert(htons(0x1234) == (std::endian::native == std::endian::little ? 0x3412 : 0x1234));
static_assert(ntohl(htonl(0x01020304)) == 0x01020304);

bool IsLoopback(in_addr a) { return (ntohl(a.s_addr) >> 24) == 127; }

TEST(WinsockNames, NameUnderInvalidDomainGives11001) {
  for (const char* name : {"no-such-host.invalid", "NO-SUCH-HOST.INVALID.", "invalid"}) {
    WSASetLastError(0);
    EXPECT_FALSE(gethostbyname(name).has_value()) << name;
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND) << name;
  }
}

TEST(WinsockNames, DottedAddressResolvesToItself) {
  const auto host = gethostbyname("127.0.0.1");
  ASSERT_TRUE(host.has_value()) << WSAGetLastError();
  ASSERT_EQ(host->h_addr_list.size(), 1u);
  EXPECT_EQ(host->h_addr_list[0].s_addr, htonl(INADDR_LOOPBACK));
}

TEST(WinsockNames, InetAddrParsesDottedTextOnly) {
  const struct {
    const char* text;
    u_long address;  // host byte order
  } cases[] = {
      {"127.0.0.1", 0x7F000001},   {"192.168.1.5", 0xC0A80105}, {"0.0.0.0", 0},
      {"256.1.1.1", INADDR_NONE},  {"", INADDR_NONE},           {"localhost", INADDR_NONE},
      {"1.2.3.4x", INADDR_NONE},
  };
  for (const auto& c : cases) {
    const u_long expected = c.address == INADDR_NONE ? INADDR_NONE : htonl(c.address);
    EXPECT_EQ(inet_addr(c.text), expected) << c.text;
  }
  EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
  EXPECT_EQ(inet_ntoa(in_addr{htonl(0xC0A80105)}), "192.168.1.5");
}

TEST(WinsockNames, LocalAddressesPutLoopbackLast) {
  const std::vector<in_addr> list = LocalAddresses();
  ASSERT_FALSE(list.empty());
  bool loopback_seen = false;
  for (in_addr a : list) {
    if (IsLoopback(a)) loopback_seen = true;
    EXPECT_TRUE(!loopback_seen || IsLoopback(a)) << inet_ntoa(a) << " after a loopback address";
  }
  EXPECT_TRUE(loopback_seen);
}

TEST(WinsockNames, OwnHostNameResolvesToTheInterfaceAddresses) {
  char name[256];
  ASSERT_EQ(gethostname(name, sizeof name), 0) << WSAGetLastError();
  std::vector<u_long> local;
  for (in_addr a : LocalAddresses()) local.push_back(a.s_addr);

  for (const char* asked : {static_cast<const char*>(name), ""}) {
    const auto host = gethostbyname(asked);
    ASSERT_TRUE(host.has_value()) << WSAGetLastError();
    std::vector<u_long> found;
    for (in_addr a : host->h_addr_list) found.push_back(a.s_addr);
    EXPECT_EQ(found, local) << "asked for '" << asked << "'";
  }
}

TEST(WinsockNames, GethostnameRefusesTooSmallBuffer) {
  char name[256];
  ASSERT_EQ(gethostname(name, sizeof name), 0);
  const int needed = static_cast<int>(std::string(name).size()) + 1;
  EXPECT_EQ(gethostname(name, needed - 1), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(gethostname(name, needed), 0);
}

}  // namespace
}  // namespace tw::ws
