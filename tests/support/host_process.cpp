#include "tests/support/host_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "transport/mSessionCommands.h"
#include "transport/twTools.h"

namespace tw::test {

namespace {

namespace fs = std::filesystem;

// Runs `argv` in a child with `env` added, stdout and stderr into `out`,
// under `limit` open descriptors when that is positive.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
            uint64_t limit) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  ::unsetenv("XDG_RUNTIME_DIR");  // as in a shell without a login session
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::close(fd);
  }
  // Only the standard descriptors go to the program.
  for (int i = 3; i < 65536; ++i) ::close(i);
  if (limit > 0) {
    rlimit r{limit, limit};
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
  ::execv(args[0], args.data());
  ::_exit(127);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

THostProcess::THostProcess(const THostPaths& paths, uint64_t descriptorLimit)
    : THostProcess(paths, THostSetup{.DescriptorLimit = descriptorLimit}) {
  if (WaitUntilListening()) return;
  const std::string output = Output();
  Stop();
  throw std::runtime_error("the host program did not start:\n" + output);
}

THostProcess::THostProcess(const THostPaths& paths, const THostSetup& setup) {
  char pattern[] = "/tmp/tw-host-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  fs::create_directory(dir_ + "/data");
  const std::vector<std::string> env = {"TW_COM_REGISTRY=" + dir_ + "/registry.ini", "QT_QPA_PLATFORM=offscreen"};
  int status = 0;
  const pid_t reg = Spawn({paths.Regsvr, paths.Library}, env, dir_ + "/regsvr.out", 0);
  ::waitpid(reg, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("twregsvr failed");
  if (setup.SettingsIsFolder)
    fs::create_directory(dir_ + "/data/settings.ini");
  else
    std::ofstream(dir_ + "/data/settings.ini") << setup.Settings;
  if (setup.UsersIsFolder) fs::create_directory(dir_ + "/data/users.con");
  pid_ = Spawn({paths.Program, "--data-dir", dir_ + "/data"}, env, dir_ + "/out", setup.DescriptorLimit);
}

THostProcess::~THostProcess() { Stop(); }

bool THostProcess::WaitUntilListening(int timeoutMs) {
  static const std::string kListening = ": listening on ";
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    const std::string output = Output();
    const size_t at = output.find(kListening);
    const size_t colon = at == std::string::npos ? at : output.find(':', at + kListening.size());
    if (colon != std::string::npos) {
      port_ = static_cast<uint16_t>(std::stoul(output.substr(colon + 1)));
      return true;
    }
    if (!Alive()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<int> THostProcess::WaitForExit(int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    if (!Alive()) {
      if (WIFEXITED(status_)) return WEXITSTATUS(status_);
      return 128 + (WIFSIGNALED(status_) ? WTERMSIG(status_) : 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

void THostProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    dir_.clear();
  }
}

bool THostProcess::Alive() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

int THostProcess::OpenDescriptors() const {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

double THostProcess::CpuMs() const {
  // The first field of a thread's schedstat is its time on a CPU in ns.
  double ns = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::ifstream in(it->path() / "schedstat");
    double t = 0;
    if (in >> t) ns += t;
  }
  return ns / 1e6;
}

std::string THostProcess::Output() const { return ReadFile(dir_ + "/out"); }

// --- TSessionCrowd ---------------------------------------------------------------

TSessionCrowd::TSessionCrowd(bool pumpThread) : mill_(TMillSide::Client, pumpThread) {
  mill_.Events.OnPipeOpen = [this](CPipe& p) {
    ++open_;
    p.QueueMessage(CMD_READY + sackAppBase, TMessage());
  };
  mill_.Events.OnPipeClosed = [this](CMill&, CPipe&, TCloseReason) { --open_; };
  mill_.Events.OnPipeRejected = [this](CMill&, CPipe&, TCloseReason) { ++refused_; };
  mill_.Events.OnSackReceived = [this](CPipe& p, int32_t channel, std::string& body) {
    if (channel == CMD_WELCOME) {
      ++welcomed_;
      lastWelcome_ = std::chrono::steady_clock::now();
      p.QueueMessage(CMD_ANNOUNCE + sackAppBase, TMessage());
    } else if (channel == CMD_PEER_LISTED) {
      ++listed_;
      p.QueueMessage(CMD_INTRODUCE + sackAppBase, TMessage().Int(ReadIntField(body)));
    } else if (channel == CMD_PEER_JOINED) {
      ++joined_;
    }
  };
}

CPipe* TSessionCrowd::Dial(uint16_t port) {
  CPipe* pipe = mill_.OpenSession(u"127.0.0.1", port, kParleyAppId, u"", u"");
  if (pipe) pipes_.push_back(pipe->Id());
  return pipe;
}

void TSessionCrowd::HangUpAll() {
  for (int32_t id : pipes_)
    if (CPipe* p = mill_.GetPipe(id)) p->FinishSession(crLocal);
  pipes_.clear();
}

}  // namespace tw::test
