// Names and addresses: getaddrinfo for look-ups (IPv4 only), getifaddrs for
// the machine's own addresses, inet_aton/inet_ntop for the dotted form.
#include "platform/winsock/internal.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>

namespace tw::ws {

using detail::Fail;
using detail::FailFromErrno;
using detail::FaultTakes;

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Names under the reserved "invalid" domain never resolve; resolvers are to
// answer them at once instead of asking a name server.
bool IsReservedInvalid(std::string name) {
  name = Lower(std::move(name));
  if (!name.empty() && name.back() == '.') name.pop_back();
  constexpr std::string_view kTld = "invalid";
  return name == kTld || (name.size() > kTld.size() && name.ends_with(kTld) &&
                          name[name.size() - kTld.size() - 1] == '.');
}

std::string OwnHostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

bool IsLoopback(const ::in_addr& a) { return (ntohl(a.s_addr) >> 24) == 127; }

void AddUnique(std::vector<in_addr>& list, u_long s_addr) {
  for (const in_addr& a : list)
    if (a.s_addr == s_addr) return;
  list.push_back(in_addr{s_addr});
}

struct AddrInfoFree {
  void operator()(addrinfo* p) const { ::freeaddrinfo(p); }
};
struct IfAddrsFree {
  void operator()(ifaddrs* p) const { ::freeifaddrs(p); }
};

std::optional<hostent> Resolve(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* raw = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &raw);
  std::unique_ptr<addrinfo, AddrInfoFree> found(raw);
  if (rc != 0) {
    WSASetLastError(ErrorFromLookup(rc));
    return std::nullopt;
  }
  hostent host;
  host.h_name = found->ai_canonname != nullptr ? found->ai_canonname : name;
  for (const addrinfo* ai = found.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    ::sockaddr_in sin;
    std::memcpy(&sin, ai->ai_addr, sizeof sin);
    AddUnique(host.h_addr_list, sin.sin_addr.s_addr);
  }
  if (host.h_addr_list.empty()) {
    WSASetLastError(WSANO_DATA);
    return std::nullopt;
  }
  return host;
}

}  // namespace

std::optional<hostent> gethostbyname(const char* name) {
  if (FaultTakes(Call::GetHostByName)) return std::nullopt;
  const std::string own = OwnHostName();
  std::string wanted = name != nullptr && *name != '\0' ? name : own;
  if (wanted.empty() || IsReservedInvalid(wanted)) {
    WSASetLastError(WSAHOST_NOT_FOUND);
    return std::nullopt;
  }
  if (Lower(wanted) == Lower(own)) {
    hostent host{own, LocalAddresses()};
    if (!host.h_addr_list.empty()) return host;
  }
  return Resolve(wanted);
}

int gethostname(char* name, int namelen) {
  if (FaultTakes(Call::GetHostName)) return SOCKET_ERROR;
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT, SOCKET_ERROR);
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return FailFromErrno(SOCKET_ERROR);
  const size_t len = std::strlen(buf);
  if (len + 1 > static_cast<size_t>(namelen)) return Fail(WSAEFAULT, SOCKET_ERROR);
  std::memcpy(name, buf, len + 1);
  return 0;
}

u_long inet_addr(const char* cp) {
  if (cp == nullptr) return INADDR_NONE;
  ::in_addr a{};
  if (::inet_aton(cp, &a) == 0) return INADDR_NONE;
  return a.s_addr;
}

std::string inet_ntoa(in_addr in) {
  ::in_addr a{};
  a.s_addr = in.s_addr;
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::vector<in_addr> LocalAddresses() {
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) {
    FailFromErrno(0);
    return {};
  }
  std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);
  std::vector<in_addr> others, loopback;
  for (const ifaddrs* ifa = list.get(); ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET || !(ifa->ifa_flags & IFF_UP)) continue;
    ::sockaddr_in sin;
    std::memcpy(&sin, ifa->ifa_addr, sizeof sin);
    const bool is_loopback = (ifa->ifa_flags & IFF_LOOPBACK) || IsLoopback(sin.sin_addr);
    AddUnique(is_loopback ? loopback : others, sin.sin_addr.s_addr);
  }
  others.insert(others.end(), loopback.begin(), loopback.end());
  return others;
}

}  // namespace tw::ws
