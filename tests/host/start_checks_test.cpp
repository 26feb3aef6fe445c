// What the host refuses before it starts the server, and how it words a
// failed start.
#include "host/mStartChecks.h"

#include <gtest/gtest.h>

#include "platform/winsock/winsock.h"

namespace tw {
namespace {

THostSettings WithPort(const std::string& port) {
  THostSettings s;
  s.Port = port;
  return s;
}

TEST(StartChecks, APortIsRefusedOnlyWhenItIsANumberOutsideTheRange) {
  struct {
    const char* port;
    bool refused;
  } cases[] = {
      {"0", false},     {"2222", false}, {"65535", false}, {" 80 ", false}, {"+5", false}, {"-0", false},
      // Not a number: the server takes port 0 and the system picks one.
      {"abc", false},   {"", false},     {"12ab", false},  {"-", false},
      {"65536", true},  {"99999", true}, {"-5", true},     {"-65535", true},
      {"99999999999999999999", true},  // beyond 64 bits, still a number
  };
  for (const auto& c : cases) {
    std::optional<std::string> problem = SettingsProblem(WithPort(c.port), 0);
    EXPECT_EQ(problem.has_value(), c.refused) << '"' << c.port << '"';
    if (problem) {
      EXPECT_NE(problem->find(std::string("Port=") + c.port), std::string::npos) << *problem;
    }
  }
}

TEST(StartChecks, ASecurityModeMustExistAndHaveItsKeys) {
  THostSettings s;
  struct {
    int mode;
    std::string secret, publicKey, privateKey;
    const char* names;  // what the reason names; nullptr: accepted
  } cases[] = {
      {0, "", "", "", nullptr},
      {1, "s3cret", "", "", nullptr},
      {2, "", "PUB", "PRIV", nullptr},
      {7, "", "", "", "Mode=7"},
      {-1, "s3cret", "PUB", "PRIV", "Mode=-1"},
      {1, "", "PUB", "PRIV", "set SecretKey"},
      {2, "s3cret", "", "", "set PublicKey and PrivateKey"},
      {2, "", "PUB", "", "set PrivateKey"},
      {2, "", "", "PRIV", "set PublicKey in"},
  };
  for (const auto& c : cases) {
    s.SecretKey = c.secret;
    s.PublicKey = c.publicKey;
    s.PrivateKey = c.privateKey;
    std::optional<std::string> problem = SettingsProblem(s, c.mode);
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(problem.has_value(), c.names != nullptr) << problem.value_or("");
    if (problem) {
      EXPECT_NE(problem->find(c.names), std::string::npos) << *problem;
    }
  }
}

TEST(StartChecks, AFailedStartIsWordedFromTheControlsLastError) {
  THostSettings s;
  s.Port = "80";
  s.ServerAddress = "banana";
  struct {
    int32_t code;
    const char* words;
  } cases[] = {
      {ws::WSAEADDRINUSE, "address in use: another program listens on port 80 at banana"},
      {ws::WSAEACCES, "permission denied: port 80 is below 1024"},
      {ws::WSAEINVAL, "name not found: ServerAddress=banana"},
      {ws::WSAEADDRNOTAVAIL, "ServerAddress=banana is not an address of this machine"},
      {ws::WSAEMFILE, "too many open files"},
      {12345, "(error 12345)"},
  };
  for (const auto& c : cases) {
    const std::string text = StartFailureText(c.code, s);
    EXPECT_NE(text.find(c.words), std::string::npos) << text;
    EXPECT_NE(text.find("(error " + std::to_string(c.code) + ")"), std::string::npos) << text;
  }
}

TEST(StartChecks, TheListeningLineSaysWhenEveryInterfaceListens) {
  EXPECT_EQ(ListeningText("127.0.0.1", 40123), "listening on 127.0.0.1:40123");
  EXPECT_EQ(ListeningText("0.0.0.0", 2222), "listening on 0.0.0.0:2222 (every interface)");
  EXPECT_EQ(ListeningText("", 2222), "listening on 0.0.0.0:2222 (every interface)");
}

}  // namespace
}  // namespace tw
