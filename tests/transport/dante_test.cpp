// Sessions opened through a real SOCKS proxy: Dante, started on loopback with
// a generated configuration, once without authentication and once checking a
// user name and password against a system account made for the test.
#include <gtest/gtest.h>

#include "tests/transport/dante_fixture.h"
#include "tests/support/mill_rig.h"

using namespace tw;
using namespace tw::test;

namespace {

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
  return probe.closes.empty() ? -4 : ReasonCode(probe.closes[0].reason);
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
  EXPECT_EQ(OpenThrough(proxy, Case{5, true, secNone}, u"twsockstest", u"wrong"), ReasonCode(crSocks));
}

TEST(ThroughDanteFailures, ProxyThatDemandsAPasswordRefusesAnAnonymousClient) {
  if (!Prepare(true)) GTEST_SKIP() << "needs root to create the proxy's test account";
  Dante proxy(true);
  ASSERT_TRUE(proxy.running());
  EXPECT_EQ(OpenThrough(proxy, Case{5, false, secNone}, u"", u""), ReasonCode(crSocks));
}
