// The transport on loopback, in two kinds of runs:
//   CPU cost (HostToClient, ClientToClientRelay): the mills are pumped back
//     to back as fast as the thread can, with no pump threads. This is what
//     a message costs in CPU, not what the running system delivers.
//   Running system (*PumpThreads*): every mill on its own 10 ms pump thread,
//     as in a control. Throughput with one message code and with several
//     (a cart carries one message of each code per pump step), and the
//     one-way latency of a relayed message sent at random moments, with the
//     hub in a separate process (this program started with --hub-process)
//     so that its steps never wait behind the clients'.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/win32/messages.h"
#include "transport/mMill.h"

using namespace tw;

namespace {

struct Rig {
  CMill server{TMillSide::Server, false};
  CMill a{TMillSide::Client, false};
  CMill b{TMillSide::Client, false};
  CPipe* pa = nullptr;
  CPipe* pb = nullptr;
  std::vector<int32_t> serverIds;
  int64_t receivedA = 0, receivedB = 0;

  explicit Rig(int32_t mode) {
    server.ErrorLogPath.clear();
    for (CMill* m : {&server, &a, &b}) {
      m->SecurityMode = mode;
      m->SetSecretKey(u"bench-secret");
    }
    server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                   bool& ok) { ok = true; };
    server.Events.OnPipeAccepted = [this](CPipe& p) { serverIds.push_back(p.Id()); };
    a.Events.OnSackReceived = [this](CPipe&, int32_t, std::string&) { ++receivedA; };
    b.Events.OnBondSack = [this](CPipe&, TSack&) { ++receivedB; };
    server.Listen(0);
    pa = a.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
    Pump([&] { return serverIds.size() == 1 && pa->State == psSession; });
    pb = b.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
    Pump([&] { return serverIds.size() == 2 && pb->State == psSession; });
  }
  template <class F>
  void Pump(F done) {
    while (!done()) {
      server.PumpUp();
      a.PumpUp();
      b.PumpUp();
      while (win32::ProcessMessages()) {
      }
    }
  }
};

void HostToClient(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  Rig rig(static_cast<int32_t>(state.range(1)));
  const std::string body(size, 'x');
  const int batch = size > 1000 ? 64 : 2000;
  for (auto _ : state) {
    const int64_t target = rig.receivedA + batch;
    for (int i = 0; i < batch; ++i) {
      rig.server.SendToPipe(rig.serverIds[0], 40, TMessage().Str(body));
    }
    rig.Pump([&] { return rig.receivedA >= target; });
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * static_cast<int64_t>(size));
  state.SetLabel("CPU cost: free-running pumps");
}
BENCHMARK(HostToClient)->ArgsProduct({{100, 65536}, {secNone, secSharedKey}})->ArgNames({"bytes", "mode"})->Unit(benchmark::kMillisecond);

void ClientToClientRelay(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  Rig rig(static_cast<int32_t>(state.range(1)));
  const std::string body(size, 'y');
  const std::string route = IntToField(rig.serverIds[1]);
  const int batch = size > 1000 ? 64 : 2000;
  for (auto _ : state) {
    const int64_t target = rig.receivedB + batch;
    for (int i = 0; i < batch; ++i) {
      rig.pa->QueueMessage(1091, TMessage().Str(body)).RouteList = route;
    }
    rig.Pump([&] { return rig.receivedB >= target; });
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * static_cast<int64_t>(size));
  state.SetLabel("CPU cost: free-running pumps");
}
BENCHMARK(ClientToClientRelay)->ArgsProduct({{100, 65536}, {secNone, secSharedKey}})->ArgNames({"bytes", "mode"})->Unit(benchmark::kMillisecond);

// --- The running system: real pump threads --------------------------------------

void AcceptAll(CMill& server, std::vector<int32_t>& ids) {
  server.ErrorLogPath.clear();
  server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                 bool& ok) { ok = true; };
  server.Events.OnPipeAccepted = [&ids](CPipe& p) { ids.push_back(p.Id()); };
}

// Messages per second from the host to a client, `codes` message codes in
// turn, 100-byte bodies, every mill on its pump thread.
void HostToClientPumpThreads(benchmark::State& state) {
  const int codes = static_cast<int>(state.range(0));
  CMill server{TMillSide::Server};
  CMill client{TMillSide::Client};
  std::vector<int32_t> ids;
  AcceptAll(server, ids);
  int64_t received = 0;
  client.Events.OnSackReceived = [&](CPipe&, int32_t, std::string&) { ++received; };
  server.Listen(0);
  CPipe* pipe = client.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  win32::RunUntil([&] { return ids.size() == 1 && pipe->State == psSession; }, 5000);
  const std::string body(100, 'x');
  const int perCode = 50;
  for (auto _ : state) {
    const int64_t target = received + int64_t{perCode} * codes;
    for (int i = 0; i < perCode; ++i)
      for (int c = 0; c < codes; ++c) {
        server.SendToPipe(ids[0], 40 + c, TMessage().Str(body));
      }
    if (!win32::RunUntil([&] { return received >= target; }, 60000)) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * perCode * codes);
  state.SetLabel("10 ms pump threads");
}
BENCHMARK(HostToClientPumpThreads)->Arg(1)->Arg(8)->ArgName("codes")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Watches the pump steps of mills on this thread: a step sets the mill's pump
// tick, so a changed tick seen after a batch of messages marks one. Gives the
// figures that explain the latency tail: the mean period (drift above 10 ms),
// the longest, and the ticks lost (periods above 15 ms: the pump thread found
// the previous step unfinished or the step waited long for the thread).
class StepWatch {
 public:
  explicit StepWatch(std::vector<const CMill*> mills) : mills_(std::move(mills)), ticks_(mills_.size()), at_(mills_.size()) {}
  void Check() {
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < mills_.size(); ++i) {
      if (mills_[i]->PumpTick() == ticks_[i]) continue;
      if (ticks_[i] != 0) periods_.push_back(std::chrono::duration<double, std::milli>(now - at_[i]).count());
      ticks_[i] = mills_[i]->PumpTick();
      at_[i] = now;
    }
  }
  std::string Summary() const {
    if (periods_.empty()) return "no steps";
    double sum = 0, longest = 0;
    int lost = 0;
    for (double p : periods_) {
      sum += p;
      longest = std::max(longest, p);
      lost += p > 15.0;
    }
    char text[96];
    std::snprintf(text, sizeof text, "period mean %.2f max %.1f ms, lost ticks %d of %zu", sum / static_cast<double>(periods_.size()),
                  longest, lost, periods_.size());
    return text;
  }

 private:
  std::vector<const CMill*> mills_;
  std::vector<uint32_t> ticks_;
  std::vector<std::chrono::steady_clock::time_point> at_;
  std::vector<double> periods_;
};

// The hub process: a server mill on its pump thread that relays; prints its
// port and then the id of every pipe it accepts, one a line, and runs until
// its standard input closes.
int RunHubProcess() {
  CMill server{TMillSide::Server};
  std::vector<int32_t> ids;
  AcceptAll(server, ids);
  server.Events.OnPipeAccepted = [](CPipe& p) {
    std::printf("%d\n", p.Id());
    std::fflush(stdout);
  };
  if (!server.Listen(0)) return 1;
  std::printf("%u\n", static_cast<unsigned>(server.ListeningPort()));
  std::fflush(stdout);
  StepWatch steps({&server});
  const auto parentGone = [&steps] {
    steps.Check();
    pollfd in{STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) > 0;  // readable: end of file (the parent never writes)
  };
  while (!win32::RunUntil(parentGone, 1000)) {
  }
  std::printf("hub steps: %s\n", steps.Summary().c_str());
  return 0;
}

// A hub in a child process, ended when this object goes.
class HubProcess {
 public:
  HubProcess() {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    char self[] = "/proc/self/exe";
    char flag[] = "--hub-process";
    char* argv[] = {self, flag, nullptr};
    if (posix_spawn(&pid_, self, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    stdin_ = toChild[1];
    stdout_ = fromChild[0];
    port_ = static_cast<uint16_t>(ReadNumber());
  }
  ~HubProcess() { Stop(); }
  // Ends the hub and returns its last line (its step figures).
  std::string Stop() {
    std::string last, line;
    if (stdin_ >= 0) close(stdin_);  // the hub sees the end of its input and returns
    stdin_ = -1;
    if (stdout_ >= 0) {
      char c;
      while (read(stdout_, &c, 1) == 1)
        if (c != '\n')
          line += c;
        else if (!line.empty())
          last = std::move(line), line.clear();
      close(stdout_);
      stdout_ = -1;
    }
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return last;
  }
  HubProcess(const HubProcess&) = delete;
  HubProcess& operator=(const HubProcess&) = delete;
  uint16_t Port() const { return port_; }
  // The next line the hub printed, as a number (0 when it ended).
  int ReadNumber() {
    char line[16] = {};
    for (size_t n = 0; n < sizeof line - 1 && read(stdout_, line + n, 1) == 1 && line[n] != '\n'; ++n) {
    }
    return std::atoi(line);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  uint16_t port_ = 0;
};

// One-way latency of a 100-byte message from client A through the hub to
// client B, every mill on its own 10 ms pump thread, the hub in its own
// process. Each message leaves at a random moment (a uniform 0 to 25 ms after
// the previous one arrived, from a fixed seed), so it meets the three pump
// phases at random. The design bound is three ticks plus the step costs:
// 26 ms; `over_26ms` counts the messages above it.
void RelayLatencyPumpThreads(benchmark::State& state) {
  HubProcess hub;
  if (hub.Port() == 0) return state.SkipWithError("no hub process");
  CMill a{TMillSide::Client};
  CMill b{TMillSide::Client};
  using clock = std::chrono::steady_clock;
  clock::time_point sentAt;
  std::vector<double> ms;
  bool got = false;
  b.Events.OnBondSack = [&](CPipe&, TSack&) {
    ms.push_back(std::chrono::duration<double, std::milli>(clock::now() - sentAt).count());
    got = true;
  };
  CPipe* pa = a.OpenSession(u"127.0.0.1", hub.Port(), u"APP", u"", u"");
  win32::RunUntil([&] { return pa->State == psSession; }, 5000);
  hub.ReadNumber();  // A's id on the hub
  CPipe* pb = b.OpenSession(u"127.0.0.1", hub.Port(), u"APP", u"", u"");
  win32::RunUntil([&] { return pb->State == psSession; }, 5000);
  const int32_t route = hub.ReadNumber();  // B's id on the hub
  std::mt19937 rng(24);
  std::uniform_int_distribution<int> wait(0, 25000);
  StepWatch steps({&a, &b});
  for (auto _ : state) {
    // Handle messages until the chosen moment, waking for it rather than
    // for the next pump tick (which would tie the send to a tick's phase).
    const auto at = clock::now() + std::chrono::microseconds(wait(rng));
    while (clock::now() < at) {
      while (win32::ProcessMessages()) {
      }
      steps.Check();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - clock::now()).count();
      if (left > 0) win32::WaitMessage(static_cast<int>(left));
    }
    got = false;
    sentAt = clock::now();
    pa->QueueMessage(1091, TMessage().Str(std::string(100, 'z'))).RouteList = IntToField(route);
    if (!win32::RunUntil(
            [&] {
              steps.Check();
              return got;
            },
            5000))
      return state.SkipWithError("message lost");
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    state.counters["max_ms"] = ms.back();
    state.counters["over_26ms"] = static_cast<double>(ms.end() - std::upper_bound(ms.begin(), ms.end(), 26.0));
  }
  state.SetLabel("10 ms pump threads, hub process; clients' " + steps.Summary() + "; " + hub.Stop());
}
BENCHMARK(RelayLatencyPumpThreads)->Iterations(400)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--hub-process") == 0) return RunHubProcess();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
