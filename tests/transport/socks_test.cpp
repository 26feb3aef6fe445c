#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/manual_tick.h"
#include "tests/support/mill_rig.h"
#include "platform/winsock/winsock.h"

using namespace tw;
using namespace tw::test;

namespace {

// A scripted proxy: accepts one client, collects what it sends and answers
// each request with the next scripted reply (split into pieces when asked).
struct ScriptedProxy {
  ws::Socket listener{ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP)};
  ws::Socket conn;
  uint16_t port = 0;
  std::string received;

  ScriptedProxy() {
    ws::sockaddr_in sa;
    sa.sin_family = ws::AF_INET;
    sa.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    ws::bind(listener.get(), reinterpret_cast<ws::sockaddr*>(&sa), sizeof sa);
    ws::listen(listener.get(), 1);
    int len = sizeof sa;
    ws::getsockname(listener.get(), reinterpret_cast<ws::sockaddr*>(&sa), &len);
    port = ws::ntohs(sa.sin_port);
    ws::u_long on = 1;
    ws::ioctlsocket(listener.get(), ws::FIONBIO, &on);
  }
  void Poll() {
    if (!conn) conn.reset(ws::accept(listener.get(), nullptr, nullptr));
    if (!conn) return;
    char buf[512];
    int n;
    while ((n = ws::recv(conn.get(), buf, sizeof buf, 0)) > 0) received.append(buf, static_cast<size_t>(n));
  }
  void Reply(const std::string& bytes) { ws::send(conn.get(), bytes.data(), static_cast<int>(bytes.size()), 0); }
};

struct Socks : ::testing::Test {
  CMill client{TMillSide::Client, false};
  ScriptedProxy proxy;
  TMillProbe probe;
  CPipe* pipe = nullptr;

  void SetUp() override {
    probe.Attach(client);
    client.SocksHost = u"127.0.0.1";
    client.SocksPort = proxy.port;
  }
  // Pumps until the proxy has received `count` bytes in all.
  bool Until(size_t count) {
    return Drive({&client}, [&] {
      proxy.Poll();
      return proxy.received.size() >= count || !probe.closes.empty();
    });
  }
  bool UntilClosed() {
    return Drive({&client}, [&] {
      proxy.Poll();
      return !probe.closes.empty();
    });
  }
  void Open(const std::u16string& host = u"192.168.1.5", uint16_t port = 5000) {
    pipe = client.OpenSession(host, port, u"APP", u"", u"");
    ASSERT_NE(pipe, nullptr);
  }
};

// The bytes the pipe sends once the proxy has connected it: the mode offer.
std::string ModeOfferFrame() {
  std::string f;
  AppendFrame(f, sfFirstChunk | sfLastChunk, scModeOffer, IntToField(secNone));
  return f;
}

}  // namespace

TEST_F(Socks, Socks4SendsTheResolvedAddressAndStartsTheHandshakeOnGrant) {
  Open();
  ASSERT_TRUE(Until(9));
  EXPECT_EQ(proxy.received, std::string("\x04\x01\x13\x88\xC0\xA8\x01\x05\x00", 9));
  EXPECT_EQ(pipe->State, psSocks4Reply);
  proxy.received.clear();
  proxy.Reply(std::string("\x00\x5A\x00\x00", 4));  // half the reply...
  Settle({&client}, 5);
  EXPECT_EQ(pipe->State, psSocks4Reply);
  proxy.Reply(std::string("\x00\x00\x00\x00", 4));  // ...and the rest
  ASSERT_TRUE(Until(ModeOfferFrame().size()));
  EXPECT_EQ(pipe->State, psHandshake);
  EXPECT_EQ(proxy.received, ModeOfferFrame());
}

TEST_F(Socks, Socks5WithoutUserSendsTheTargetAsADomainName) {
  client.SocksVersion = 7;  // anything but 4 is SOCKS 5
  Open(u"example.test", 2222);
  ASSERT_TRUE(Until(3));
  EXPECT_EQ(proxy.received, std::string("\x05\x01\x00", 3));
  proxy.received.clear();
  proxy.Reply(std::string("\x05\x00", 2));
  const std::string connect = std::string("\x05\x01\x00\x03\x0C", 5) + "example.test" + std::string("\x08\xAE", 2);
  ASSERT_TRUE(Until(connect.size()));
  EXPECT_EQ(proxy.received, connect);
  EXPECT_EQ(pipe->State, psSocks5Connect);
  proxy.received.clear();
  // A domain-name reply of 7 + 3 bytes, in three pieces.
  proxy.Reply(std::string("\x05\x00\x00", 3));
  Settle({&client}, 3);
  proxy.Reply(std::string("\x03\x03" "ab", 4));
  Settle({&client}, 3);
  EXPECT_EQ(pipe->State, psSocks5Connect);
  proxy.Reply(std::string("c\x00\x01", 3));
  ASSERT_TRUE(Until(ModeOfferFrame().size()));
  EXPECT_EQ(pipe->State, psHandshake);
}

TEST_F(Socks, Socks5WithUserAuthenticatesFirst) {
  client.SocksVersion = 5;
  client.SocksUser = u"user";
  client.SocksPassword = u"pa\u00E9";  // sent in the 8-bit code page
  Open(u"10.0.0.1", 80);
  ASSERT_TRUE(Until(3));
  EXPECT_EQ(proxy.received, std::string("\x05\x01\x02", 3));
  proxy.received.clear();
  proxy.Reply(std::string("\x05\x02", 2));
  const std::string auth = std::string("\x01\x04", 2) + "user" + std::string("\x03pa\xE9", 4);
  ASSERT_TRUE(Until(auth.size()));
  EXPECT_EQ(proxy.received, auth);
  EXPECT_EQ(pipe->State, psSocks5Auth);
  proxy.received.clear();
  proxy.Reply(std::string("\x01\x00", 2));
  ASSERT_TRUE(Until(5));
  EXPECT_EQ(proxy.received.substr(0, 5), std::string("\x05\x01\x00\x03\x08", 5));
}

TEST_F(Socks, RefusalsCloseWith21) {
  struct Case {
    int32_t version;
    std::string reply;
  };
  for (const Case& k : {Case{4, std::string("\x00\x5B\0\0\0\0\0\0", 8)}, Case{5, std::string("\x05\xFF", 2)},
                        Case{5, std::string("\x04\x00", 2)}}) {
    CMill c{TMillSide::Client, false};
    ScriptedProxy px;
    TMillProbe pr;
    pr.Attach(c);
    c.SocksHost = u"127.0.0.1";
    c.SocksPort = px.port;
    c.SocksVersion = k.version;
    ASSERT_NE(c.OpenSession(u"127.0.0.1", 1, u"APP", u"", u""), nullptr);
    Drive({&c}, [&] {
      px.Poll();
      return !px.received.empty();
    });
    px.Reply(k.reply);
    ASSERT_TRUE(Drive({&c}, [&] { return !pr.closes.empty(); }));
    EXPECT_EQ(pr.closes[0].event, "rejected");
    EXPECT_EQ(pr.closes[0].reason, crSocks);
  }
}

TEST_F(Socks, OverlongFieldsFailBeforeAnythingIsSent) {
  client.SocksVersion = 5;
  client.SocksUser = std::u16string(256, u'u');
  Open(u"host", 1);
  ASSERT_TRUE(UntilClosed());
  EXPECT_EQ(probe.closes[0].reason, crSocks);
  EXPECT_TRUE(proxy.received.empty());
}

TEST_F(Socks, UnresolvableProxyFailsAtOnceWith21) {
  client.SocksHost = u"no-such-proxy.invalid";
  EXPECT_EQ(client.OpenSession(u"127.0.0.1", 1, u"APP", u"", u""), nullptr);
  EXPECT_EQ(client.LastError, ReasonCode(crSocks));
  EXPECT_TRUE(probe.closes.empty());
}

TEST_F(Socks, SilentProxyRunsIntoTheHandshakeTimeout) {
  win32::ScopedManualTick tick(1'000'000);
  Open();
  ASSERT_TRUE(Until(9));
  tick.Advance(kHandshakeTimeoutMs + 1);
  client.PumpUp();
  ASSERT_EQ(probe.closes.size(), 1u);
  EXPECT_EQ(probe.closes[0].reason, crTimeout);
}

TEST_F(Socks, ProxyThatHangsUpMidExchangeClosesWith21) {
  Open();
  ASSERT_TRUE(Until(9));
  proxy.conn.reset();
  ASSERT_TRUE(UntilClosed());
  EXPECT_EQ(probe.closes[0].reason, crSocks);
}
