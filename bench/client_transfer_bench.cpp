// Timing program for file transfers between two client engines through the
// server engine on loopback, with real pump threads: the server runs on the
// main thread and each client engine on a thread of its own, so each side's
// CPU is its own thread's (the transport's pump threads, which only wake the
// loops, are not counted there; the whole process is shown beside them).
//
// For each security mode it sends one file several times and prints the
// median run: MB/s, the chunks sent (one in flight at a time) with their mean
// size and the final chunk size, the mean time per chunk (send to
// acknowledgement, the round trip that caps the rate), the time from the last
// acknowledgement to the sender's done (DONE, flush, rename, END), and the CPU
// of the sender's, the receiver's and the server's thread.
//
// Usage: client_transfer_bench [megabytes] [runs]   (default 200 and 3)
//        client_transfer_bench huge                 (one sparse 5 GiB file, secNone:
//                                                    sizes past 32 bits end to end)
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_engines.h"
#include "bench/bench_support.h"
#include "client/mParleyCln.h"
#include "platform/win32/messages.h"
#include "server/mParleySrv.h"

using namespace tw;
using namespace tw::bench;
namespace cln = tw::cln;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(1);
}

struct TRun {
  double ms = 0, mbps = 0;
  size_t chunks = 0;
  int32_t lastChunk = 0;
  double tailMs = 0;  // last acknowledgement to done
  double forwardMs = 0, backMs = 0;  // medians: chunk sent to received, received to acknowledged
  double senderCpu = 0, receiverCpu = 0, serverCpu = 0, processCpu = 0;
};

void Configure(cln::TTWParleyCln& c, int32_t mode) {
  c.SetSecurityMode(mode);
  c.SetSecretKey(u"bench-secret");
}

std::vector<TRun> Measure(int32_t mode, const std::string& source, const std::string& folder, int runs) {
  auto server = std::make_unique<TTWParleySrv>();
  server->Hub().Mill().ErrorLogPath.clear();
  server->SetSecurityMode(mode);
  server->SetSecretKey(u"bench-secret");
  server->Events.OnConnectionRequest = [](TPeerHandle, const std::u16string&, std::u16string& pw, bool& ok) {
    pw = u"pw";
    ok = true;
  };
  server->ListeningPort = 0;
  if (!server->Start()) Fail("server did not start");
  const uint16_t port = server->Hub().Mill().ListeningPort();

  std::vector<TRun> results(static_cast<size_t>(runs));
  std::atomic<int> receiverReady{0}, stop{0}, run{-1};
  std::atomic<double> receiverCpu{0};
  // Per chunk: when the sender sent it and when the receiver got it.
  std::vector<Clock::time_point> sentAt, gotAt, ackAt;
  std::mutex stamps;

  std::thread receiver([&] {
    cln::TTWParleyCln b;
    Configure(b, mode);
    double cpu0 = 0;
    b.Events.OnInFileRequested = [&](cln::TPeerHandle, std::u16string& path, bool& ok) {
      cpu0 = ThreadCpuMs();
      path = std::u16string(folder.begin(), folder.end()) + u"/received";
      ok = true;
    };
    b.Events.OnInFileDone = [&](cln::TPeerHandle, int32_t code) {
      if (code != 0) Fail("the receiver failed");
      receiverCpu = ThreadCpuMs() - cpu0;
    };
    b.Mate().Events.OnTubeMessage = [&, inner = b.Mate().Events.OnTubeMessage](cln::TTubeId t, std::string& body,
                                                                              int32_t channel) {
      if (channel == cln::APP_FILE_DATA) {
        std::lock_guard g(stamps);
        gotAt.push_back(Clock::now());
      }
      inner(t, body, channel);
    };
    if (!Open(b, port, u"b")) Fail("b did not open");
    receiverReady = 1;
    win32::RunUntil([&] { return stop.load() != 0; }, 600000);
  });
  win32::RunUntil([&] { return receiverReady.load() != 0; }, 20000);

  std::atomic<int> senderDone{0};
  std::thread sender([&] {
    cln::TTWParleyCln a;
    Configure(a, mode);
    cln::TPeerHandle peer = 0;
    a.Events.OnPeerConnected = [&](cln::TPeerHandle h) { peer = h; };
    if (!Open(a, port, u"a") || !win32::RunUntil([&] { return peer != 0; }, 10000)) Fail("a did not bond");
    size_t acks = 0;
    Clock::time_point lastAck;
    a.Mate().Events.OnTubeAck = [&, inner = a.Mate().Events.OnTubeAck](cln::TTubeId t, int32_t channel) {
      if (channel == cln::APP_FILE_DATA) {
        ++acks;
        lastAck = Clock::now();
        std::lock_guard g(stamps);
        ackAt.push_back(lastAck);
      }
      inner(t, channel);
    };
    // A chunk leaves when READY comes or when the previous one is acknowledged.
    a.Mate().Events.OnTubeMessage = [&, inner = a.Mate().Events.OnTubeMessage](cln::TTubeId t, std::string& body,
                                                                              int32_t channel) {
      if (channel == cln::APP_FILE_READY) {
        std::lock_guard g(stamps);
        sentAt.assign(1, Clock::now());
      }
      inner(t, body, channel);
    };
    int32_t done = -1;
    a.Events.OnOutFileDone = [&](cln::TPeerHandle, int32_t code) { done = code; };
    const double size = static_cast<double>(fs::file_size(source));
    for (int i = 0; i < runs; ++i) {
      TRun& r = results[static_cast<size_t>(i)];
      run = i;
      acks = 0;
      done = -1;
      {
        std::lock_guard g(stamps);
        sentAt.clear();
        gotAt.clear();
        ackAt.clear();
      }
      receiverCpu = -1;
      const double cpu0 = ThreadCpuMs();
      const auto t0 = Clock::now();
      if (!a.RequestOutFile(peer, std::u16string(source.begin(), source.end()))) Fail("cannot offer");
      if (!win32::RunUntil([&] { return done >= 0; }, 600000) || done != 0) Fail("the transfer failed");
      const auto t1 = Clock::now();
      r.senderCpu = ThreadCpuMs() - cpu0;
      r.ms = Ms(t1 - t0);
      r.mbps = size / 1e6 / (r.ms / 1000);
      r.chunks = acks;
      r.tailMs = Ms(t1 - lastAck);
      r.lastChunk = a.Mate().GetChunkSize();
      win32::RunUntil([&] { return receiverCpu.load() >= 0; }, 10000);
      r.receiverCpu = receiverCpu;
      std::lock_guard g(stamps);
      sentAt.insert(sentAt.end(), ackAt.begin(), ackAt.end());  // each acknowledgement sends the next
      std::vector<double> forward, back;
      for (size_t k = 0; k < gotAt.size() && k < ackAt.size() && k < sentAt.size(); ++k) {
        forward.push_back(Ms(gotAt[k] - sentAt[k]));
        back.push_back(Ms(ackAt[k] - gotAt[k]));
      }
      auto median = [](std::vector<double>& v) {
        if (v.empty()) return 0.0;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
      };
      r.forwardMs = median(forward);
      r.backMs = median(back);
    }
    senderDone = 1;
  });

  // The server's thread: measured per run from the main loop.
  int measured = -1;
  double serverCpu0 = 0, process0 = 0;
  win32::RunUntil(
      [&] {
        const int now = run.load();
        if (now != measured) {
          const double cpu = ThreadCpuMs(), proc = ProcessCpuMs();
          if (measured >= 0) {
            results[static_cast<size_t>(measured)].serverCpu = cpu - serverCpu0;
            results[static_cast<size_t>(measured)].processCpu = proc - process0;
          }
          measured = now;
          serverCpu0 = cpu;
          process0 = proc;
        }
        return senderDone.load() != 0;
      },
      1800000);
  if (measured >= 0) {
    results[static_cast<size_t>(measured)].serverCpu = ThreadCpuMs() - serverCpu0;
    results[static_cast<size_t>(measured)].processCpu = ProcessCpuMs() - process0;
  }
  sender.join();
  stop = 1;
  receiver.join();
  return results;
}

void Report(const char* mode, std::vector<TRun> runs, double megabytes) {
  std::sort(runs.begin(), runs.end(), [](const TRun& x, const TRun& y) { return x.mbps < y.mbps; });
  const TRun& m = runs[runs.size() / 2];
  std::printf("%-13s median of %zu: %.0f MB in %.0f ms = %.1f MB/s (runs %.1f..%.1f)\n", mode, runs.size(),
              megabytes, m.ms, m.mbps, runs.front().mbps, runs.back().mbps);
  std::printf("              %zu chunks, mean %.0f bytes, last room %d bytes; %.2f ms per chunk round trip; "
              "last ack to done %.0f ms\n"
              "              per chunk, medians: sent -> received %.2f ms, received -> acknowledged %.2f ms\n",
              m.chunks, megabytes * 1e6 / static_cast<double>(std::max<size_t>(m.chunks, 1)), m.lastChunk,
              (m.ms - m.tailMs) / static_cast<double>(std::max<size_t>(m.chunks, 1)), m.tailMs, m.forwardMs,
              m.backMs);
  std::printf("              CPU ms: sender thread %.0f (%.0f%%), receiver thread %.0f (%.0f%%), server thread "
              "%.0f (%.0f%%), whole process %.0f\n",
              m.senderCpu, 100 * m.senderCpu / m.ms, m.receiverCpu, 100 * m.receiverCpu / m.ms, m.serverCpu,
              100 * m.serverCpu / m.ms, m.processCpu);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "huge") {
    std::string folder = (fs::temp_directory_path() / "twxfer-XXXXXX").string();
    if (!::mkdtemp(folder.data())) Fail("no temporary folder");
    const std::string source = folder + "/source";
    std::ofstream(source).close();
    fs::resize_file(source, uintmax_t{5} << 30);  // sparse: reads as zeros
    Report("secNone, 5 GiB", Measure(secNone, source, folder, 1), 5.0 * (1 << 30) / 1e6);
    const bool whole = fs::file_size(folder + "/received") == (uintmax_t{5} << 30);
    std::printf("received %s\n", whole ? "5 GiB, every byte" : "a different size");
    std::error_code ec;
    fs::remove_all(folder, ec);
    return whole ? 0 : 1;
  }
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  std::string folder = (fs::temp_directory_path() / "twxfer-XXXXXX").string();
  if (!::mkdtemp(folder.data())) Fail("no temporary folder");
  const std::string source = folder + "/source";
  {
    std::mt19937_64 gen(17);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    std::ofstream out(source, std::ios::binary);
    for (size_t written = 0; written < megabytes * 1000000; written += block.size() * 8) {
      for (auto& v : block) v = gen();
      const size_t n = std::min(block.size() * 8, megabytes * 1000000 - written);
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    }
  }
  Report("secNone", Measure(secNone, source, folder, runs), static_cast<double>(megabytes));
  Report("secSharedKey", Measure(secSharedKey, source, folder, runs), static_cast<double>(megabytes));
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}
