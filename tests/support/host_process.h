// The host program as its users run it, in a child process: the server
// control registered in a fresh registry, a fresh data folder with a
// settings.ini of the test's choosing, off screen, optionally under a
// lower limit of open descriptors. And a crowd of clients on one mill that
// speak the session commands as the client control does (ready, announce,
// introduce every newcomer), for figures and tests that count welcomes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/mMill.h"

namespace tw::test {

struct THostPaths {
  std::string Program;  // twParleySrv
  std::string Library;  // the server control library
  std::string Regsvr;   // twregsvr
};

// What the program starts with.
struct THostSetup {
  // The text of settings.ini: by default a port the system picks, on loopback.
  std::string Settings = "[Options]\r\nPort=0\r\nServerAddress=127.0.0.1\r\n";
  bool SettingsIsFolder = false;  // settings.ini is a folder instead of a file
  bool UsersIsFolder = false;     // users.con is a folder instead of a file
  uint64_t DescriptorLimit = 0;   // > 0: both limits of open descriptors in the child
};

class THostProcess {
 public:
  // Registers the control, writes the data folder, starts the program and
  // waits until it logs where it listens; throws std::runtime_error when the
  // server does not start.
  explicit THostProcess(const THostPaths& paths, uint64_t descriptorLimit = 0);
  // Starts the program over `setup` without waiting for anything.
  THostProcess(const THostPaths& paths, const THostSetup& setup);
  ~THostProcess();  // kills the program and removes its folders
  THostProcess(const THostProcess&) = delete;
  THostProcess& operator=(const THostProcess&) = delete;

  // Waits until the program logs the port it listens on (then Port() is
  // that port) or ends; false when it ended or `timeoutMs` passed first.
  bool WaitUntilListening(int timeoutMs = 10000);
  // Waits up to `timeoutMs` for the program to end; its exit code then, or
  // 128 + the signal that ended it; nothing while it still runs.
  std::optional<int> WaitForExit(int timeoutMs);

  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  bool Alive();
  // Descriptors the program holds open now.
  int OpenDescriptors() const;
  // CPU time of every thread of the program so far, in milliseconds.
  double CpuMs() const;
  // What the program printed (its log lines when headless).
  std::string Output() const;

 private:
  void Stop();

  std::string dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int status_ = 0;
};

// N clients on one client mill, each speaking the client's side of the
// session commands: CMD_READY when its session opens, CMD_ANNOUNCE on its
// welcome, CMD_INTRODUCE for every peer listed to it.
class TSessionCrowd {
 public:
  explicit TSessionCrowd(bool pumpThread = true);
  // Dials one more client with the empty user name.
  CPipe* Dial(uint16_t port);
  CMill& Mill() { return mill_; }
  int Welcomed() const { return welcomed_; }
  int Open() const { return open_; }
  // Clients whose connection ended before their session opened.
  int Refused() const { return refused_; }
  int64_t Listed() const { return listed_; }
  int64_t Joined() const { return joined_; }
  std::chrono::steady_clock::time_point LastWelcome() const { return lastWelcome_; }
  // Closes every client's pipe.
  void HangUpAll();

 private:
  CMill mill_;
  std::vector<int32_t> pipes_;
  int welcomed_ = 0;
  int open_ = 0;
  int refused_ = 0;
  int64_t listed_ = 0;
  int64_t joined_ = 0;
  std::chrono::steady_clock::time_point lastWelcome_{};
};

}  // namespace tw::test
