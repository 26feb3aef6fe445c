// A real SOCKS proxy for tests: Dante, started on loopback with a generated
// configuration, without authentication or checking a user name and password
// against a system account made for the test.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/winsock/winsock.h"
#include "tests/support/loopback.h"

namespace tw::test {

inline constexpr const char* kDante = "/usr/sbin/danted";
inline constexpr const char* kUser = "twsockstest";
inline constexpr const char* kPassword = "Socks-Pass-1";

inline bool Accepts(uint16_t port) {
  ws::Socket s(ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP));
  ws::sockaddr_in sa;
  sa.sin_family = ws::AF_INET;
  sa.sin_port = ws::htons(port);
  sa.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
  return ws::connect(s.get(), reinterpret_cast<ws::sockaddr*>(&sa), sizeof sa) == 0;
}

// Creates the system account Dante checks passwords against (as root only).
inline bool EnsureAccount() {
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
    const auto conf = dir_ / "danted.conf";
    std::ofstream(conf) << "logoutput: " << (dir_ / "danted.log").string() << "\n"
                        << "internal: 127.0.0.1 port = " << held_.port << "\n"
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
    // Until it listens, however long a busy machine takes to start it (the
    // bound only ends a proxy that never comes up).
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Accepts(held_.port) && std::chrono::steady_clock::now() < giveUp) ::usleep(10'000);
    running_ = Accepts(held_.port);
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
  uint16_t port() const { return held_.port; }

 private:
  std::filesystem::path dir_;
  HeldPort held_;  // Dante binds it beside the holder; no other test takes it meanwhile
  pid_t pid_ = -1;
  bool running_ = false;
};

// Whether the proxy (and, with a password, its account) can be used here.
inline bool Prepare(bool password) {
  if (::access(kDante, X_OK) != 0) {
    ADD_FAILURE() << "dante-server is not installed (scripts/setup-deps.sh installs it)";
    return false;
  }
  if (password && (::geteuid() != 0 || !EnsureAccount())) return false;
  return true;
}

}  // namespace tw::test
