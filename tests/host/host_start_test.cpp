// The host program, run as its users run it, through the settings a
// newcomer gets wrong: each is refused at once, with a reason that names
// the cause, a non-zero exit and no listening socket; a good start says
// where it listens.
#include <gtest/gtest.h>

#include "tests/support/host_process.h"
#include "tests/support/loopback.h"

namespace tw::test {
namespace {

THostPaths Paths() { return {TW_HOST_PROGRAM, TW_SERVER_CONTROL, TW_REGSVR}; }

// Whether something accepts connections on 127.0.0.1:`port`.
bool Listening(uint16_t port) {
  ws::Socket s = TcpSocket();
  ws::sockaddr_in at = LoopbackAddress(port);
  return ws::connect(s.get(), AsSockaddr(at), sizeof at) == 0;
}

// One mistake: the settings.ini lines, or a folder in its place.
struct TMistake {
  const char* name;
  std::string security;  // [Security] lines
  std::string port;      // Port=: as given; "" a free port, "taken" one another program listens on
  std::string address;   // ServerAddress=
  std::vector<std::string> reason;  // what the reason must name
  bool settingsFolder = false;
};

TEST(HostStart, EveryMistakeIsRefusedAtOnceWithItsReasonAndNothingListens) {
  const TMistake mistakes[] = {
      {"settings.ini is a folder", "", "", "127.0.0.1", {"settings.ini", "it is a folder"}, true},
      {"port above the range", "", "99999", "127.0.0.1", {"Port=99999", "0-65535"}},
      {"negative port", "", "-5", "127.0.0.1", {"Port=-5", "0-65535"}},
      {"mode that does not exist", "Mode=7\r\n", "", "127.0.0.1", {"Mode=7", "not a security mode"}},
      {"secret mode without a secret", "Mode=1\r\n", "", "127.0.0.1", {"Mode=1", "SecretKey"}},
      {"key mode without keys", "Mode=2\r\n", "", "127.0.0.1", {"Mode=2", "PublicKey and PrivateKey"}},
      {"key mode without a private key", "Mode=2\r\nPublicKey=AQAB\r\n", "", "127.0.0.1",
       {"Mode=2", "set PrivateKey"}},
      {"address that does not resolve", "", "", "banana", {"name not found", "ServerAddress=banana"}},
      {"port already taken", "", "taken", "127.0.0.1", {"address in use", "another program listens on port"}},
  };
  for (const TMistake& m : mistakes) {
    SCOPED_TRACE(m.name);
    ws::Socket other = Listener();  // the other program, for "taken"
    const HeldPort free;  // nothing listens there, and no test beside this one takes it
    const std::string port = m.port == "taken" ? std::to_string(LocalPort(other.get()))
                             : m.port.empty()  ? std::to_string(free.port)
                                               : m.port;
    THostSetup setup{.Settings = "[Security]\r\n" + m.security + "[Options]\r\nPort=" + port +
                                 "\r\nServerAddress=" + m.address + "\r\n",
                     .SettingsIsFolder = m.settingsFolder};
    THostProcess host(Paths(), setup);
    const std::optional<int> exit = host.WaitForExit(10000);
    const std::string out = host.Output();
    ASSERT_TRUE(exit.has_value()) << "still running:\n" << out;
    EXPECT_NE(*exit, 0) << out;
    EXPECT_NE(out.find("twParleySrv: Cannot start the server: "), std::string::npos) << out;  // standard error
    for (const std::string& part : m.reason) EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
    EXPECT_EQ(out.find("server is started"), std::string::npos) << out;
    EXPECT_EQ(out.find("window position"), std::string::npos) << out;  // a refused start writes nothing
    EXPECT_FALSE(Listening(free.port));
  }
}

TEST(HostStart, AGoodStartLogsThePortTheSystemPickedAndAnUnreadableUserListIsLogged) {
  THostProcess host(Paths(), {.UsersIsFolder = true});
  ASSERT_TRUE(host.WaitUntilListening()) << host.Output();
  const std::string out = host.Output();
  EXPECT_NE(host.Port(), 0);
  EXPECT_TRUE(Listening(host.Port()));
  const size_t started = out.find(": server is started\n");
  const size_t where = out.find(": listening on 127.0.0.1:" + std::to_string(host.Port()) + "\n");
  ASSERT_NE(started, std::string::npos) << out;
  EXPECT_GT(where, started) << out;
  EXPECT_NE(out.find("users.con"), std::string::npos) << out;
  EXPECT_EQ(out.find("XDG_RUNTIME_DIR"), std::string::npos) << out;
  EXPECT_TRUE(host.Alive());
}

}  // namespace
}  // namespace tw::test
