// Sessions opened through a real SOCKS proxy: Dante, started on loopback with
// a generated configuration, once without authentication and once checking a
// user name and password against a system account made for the test.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/mill_rig.h"

using namespace tw;
using namespace tw::test;

namespace {

constexpr const char* kDante = "/usr/sbin/danted";
constexpr const char* kUser = "twsockstest";
constexpr const char* kPassword = "Socks-Pass-1";

uint16_t FreePort() {
  ws::Socket s(ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP));
  ws::sockaddr_in sa;
  sa.sin_family = ws::AF_INET;
  sa.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
  ws::bind(s.get(), reinterpret_cast<ws::sockaddr*>(&sa), sizeof sa);
  int len = sizeof sa;
  ws::getsockname(s.get(), reinterpret_cast<ws::sockaddr*>(&sa), &len);
  return ws::ntohs(sa.sin_port);
}

bool Accepts(uint16_t port) {
  ws::Socket s(ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP));
  ws::sockaddr_in sa;
  sa.sin_family = ws::AF_INET;
  sa.sin_port = ws::htons(port);
  sa.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
  return ws::connect(s.get(), reinterpret_cast<ws::sockaddr*>(&sa), sizeof sa) == 0;
}

// Creates the system account Dante checks passwords against (as root only).
bool EnsureAccount() {
  // Test processes run in parallel: one at a time creates the account.
  const std::string script = std::string("id -u ") + kUser + " >/dev/null 2>&1 || useradd -M -s /usr/sbin/nologin " +
                             kUser + " >/dev/null 2>&1; echo '" + kUser + ":" + kPassword + "' | chpasswd";
  const std::string cmd = "flock /tmp/twsockstest.lock sh -c \"" + script + "\" >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

class Dante {
 public:
  explicit Dante(bool withPassword) {
    dir_ = std::filesystem::temp_directory_path() / ("twdante-" + std::to_string(::getpid()) +
                                                     (withPassword ? "-auth" : "-open"));
    std::filesystem::create_directories(dir_);
    port_ = FreePort();
    const auto conf = dir_ / "danted.conf";
    std::ofstream(conf) << "logoutput: " << (dir_ / "danted.log").string() << "\n"
                        << "internal: 127.0.0.1 port = " << port_ << "\n"
                        << "external: 127.0.0.1\n"
                        << "clientmethod: none\n"
                        << "socksmethod: " << (withPassword ? "username" : "none") << "\n"
                        << "user.privileged: root\n"
                        << "user.unprivileged: nobody\n"
                        << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                        << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(kDante, kDante, "-f", conf.c_str(), "-p", (dir_ / "danted.pid").c_str(), "-N", "1",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 300 && !Accepts(port_); ++i) ::usleep(10'000);
    running_ = Accepts(port_);
  }
  ~Dante() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool running() const { return running_; }
  uint16_t port() const { return port_; }

 private:
  std::filesystem::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool running_ = false;
};

struct Case {
  int32_t socksVersion;
  bool password;
  int32_t mode;
};

class ThroughDante : public ::testing::TestWithParam<Case> {};

// Opens a session through the proxy; returns the client's close reason, or
// -1 when the session opened.
int32_t OpenThrough(const Dante& proxy, const Case& k, const char16_t* user, const char16_t* password) {
  CMill server{TMillSide::Server, false};
  CMill client{TMillSide::Client, false};
  server.ErrorLogPath.clear();
  server.SecurityMode = client.SecurityMode = k.mode;
  server.SetSecretKey(u"dante-secret");
  client.SetSecretKey(u"dante-secret");
  if (k.mode == secRsa) {
    std::u16string pub, priv;
    server.GenerateKeypair(pub, priv);
    server.SetPublicKey(pub);
    server.SetPrivateKey(priv);
    client.GenerateKeypair(pub, priv);
    client.SetPublicKey(pub);
    client.SetPrivateKey(priv);
  }
  server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string& pw,
                                 bool& ok) {
    pw = u"pw";
    ok = true;
  };
  TMillProbe probe;
  probe.Attach(client);
  if (!server.Listen(0)) return -2;
  client.SocksVersion = k.socksVersion;
  client.SocksHost = u"127.0.0.1";
  client.SocksPort = proxy.port();
  client.SocksUser = user;
  client.SocksPassword = password;
  CPipe* pipe = client.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"bob", u"pw");
  if (!pipe) return -3;
  Drive({&server, &client}, [&] { return !probe.opened.empty() || !probe.closes.empty(); }, 3000);
  if (!probe.opened.empty()) return -1;
  return probe.closes.empty() ? -4 : probe.closes[0].reason;
}

bool Prepare(bool password) {
  if (::access(kDante, X_OK) != 0) {
    ADD_FAILURE() << "dante-server is not installed (scripts/setup-deps.sh installs it)";
    return false;
  }
  if (password && (::geteuid() != 0 || !EnsureAccount())) return false;
  return true;
}

}  // namespace

TEST_P(ThroughDante, SessionOpensInEverySecurityMode) {
  const Case k = GetParam();
  if (!Prepare(k.password)) GTEST_SKIP() << "needs root to create the proxy's test account";
  Dante proxy(k.password);
  ASSERT_TRUE(proxy.running()) << "danted did not start";
  EXPECT_EQ(OpenThrough(proxy, k, k.password ? u"twsockstest" : u"", k.password ? u"Socks-Pass-1" : u""), -1);
}

INSTANTIATE_TEST_SUITE_P(Proxies, ThroughDante,
                         ::testing::Values(Case{4, false, secNone}, Case{4, false, secSharedKey},
                                           Case{4, false, secRsa}, Case{5, false, secNone},
                                           Case{5, false, secSharedKey}, Case{5, false, secRsa},
                                           Case{5, true, secNone}, Case{5, true, secSharedKey},
                                           Case{5, true, secRsa}));

TEST(ThroughDanteFailures, WrongProxyPasswordClosesWith21) {
  if (!Prepare(true)) GTEST_SKIP() << "needs root to create the proxy's test account";
  Dante proxy(true);
  ASSERT_TRUE(proxy.running());
  EXPECT_EQ(OpenThrough(proxy, Case{5, true, secNone}, u"twsockstest", u"wrong"), crSocks);
}

TEST(ThroughDanteFailures, ProxyThatDemandsAPasswordRefusesAnAnonymousClient) {
  if (!Prepare(true)) GTEST_SKIP() << "needs root to create the proxy's test account";
  Dante proxy(true);
  ASSERT_TRUE(proxy.running());
  EXPECT_EQ(OpenThrough(proxy, Case{5, false, secNone}, u"", u""), crSocks);
}
