// Mills on loopback in one thread, pumped by hand so that tests decide when
// each step runs: a probe of a mill's events, a log that keeps the error
// lines, a listening server, drivers that pump and wait on the sockets and
// the message queue, and a raw peer that speaks frames directly, for
// scripted and hostile input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/winsock/winsock.h"
#include "platform/win32/messages.h"
#include "transport/mErtiFrame.h"
#include "transport/twTools.h"
#include "transport/mMill.h"

namespace tw::test {

// Close events seen by a mill: which event, the pipe id and the reason.
struct TCloseRecord {
  std::string event;
  int32_t pipe;
  TCloseReason reason;
};

struct TMillProbe {
  std::vector<TCloseRecord> closes;
  std::vector<int32_t> opened;    // client OnPipeOpen / server OnPipeAccepted
  std::vector<std::pair<int32_t, std::string>> received;  // channel, body
  std::vector<int32_t> sent;      // OnSackSent channels
  std::vector<std::pair<int32_t, int32_t>> bonds;  // peer id, code
  int logins = 0;

  void Attach(CMill& mill) {
    mill.Events.OnPipeOpen = [this](CPipe& p) { opened.push_back(p.Id()); };
    mill.Events.OnPipeAccepted = [this](CPipe& p) { opened.push_back(p.Id()); };
    mill.Events.OnPipeRejected = [this](CMill&, CPipe& p, TCloseReason r) { closes.push_back({"rejected", p.Id(), r}); };
    mill.Events.OnPipeRefused = [this](CMill&, CPipe& p, TCloseReason r) { closes.push_back({"refused", p.Id(), r}); };
    mill.Events.OnPipeClosed = [this](CMill&, CPipe& p, TCloseReason r) { closes.push_back({"closed", p.Id(), r}); };
    mill.Events.OnSackReceived = [this](CPipe&, int32_t ch, std::string& body) { received.emplace_back(ch, body); };
    mill.Events.OnSackSent = [this](CPipe&, int32_t ch) { sent.push_back(ch); };
    mill.Events.OnBondSack = [this](CPipe&, TSack& s) { bonds.emplace_back(s.PeerId, s.Code); };
  }
};

// An error log that keeps the operation names in place of the file.
struct TRecordingLog final : TErrorLog {
  std::vector<std::string> lines;
  void Write(const std::string& operation) noexcept override { lines.push_back(operation); }
};

// Pumps every mill and delivers posted messages until `done` holds or
// `timeoutMs` of real time passed; between rounds it waits (at most a few
// ms) until a socket of the mills has something to do. Returns done().
bool Drive(const std::vector<CMill*>& mills, const std::function<bool()>& done, uint32_t timeoutMs = 3000);

// Pumps a fixed number of rounds, waiting between them as Drive does.
void Settle(const std::vector<CMill*>& mills, int rounds = 20);

// Like Drive, but runs pump steps only: what the steps post to the mill
// windows stays queued.
bool PumpUntil(const std::vector<CMill*>& mills, const std::function<bool()>& done, uint32_t timeoutMs = 3000);

// A server mill listening on 127.0.0.1 on a port the system picks. Its login
// handler admits every login (Accept) with Password, and counts them; the
// probe records its events and the error log its failures.
struct TListeningServer {
  explicit TListeningServer(int32_t securityMode = secNone);

  CMill mill{TMillSide::Server, false};
  TMillProbe probe;
  std::shared_ptr<TRecordingLog> log = std::make_shared<TRecordingLog>();
  bool Accept = true;
  std::u16string Password;
  int Logins = 0;
  std::u16string LastUser, LastApp;

  uint16_t Port() const { return mill.ListeningPort(); }
  // (Re)binds the login handler described above.
  void BindLogin();
  // Dials this server from `client`; null when the dial failed at once.
  CPipe* Dial(CMill& client, const std::u16string& user = u"", const std::u16string& password = u"",
              const std::u16string& app = u"APP");
};

// A plain TCP peer that writes and reads frames itself.
class TRawPeer {
 public:
  explicit TRawPeer(uint16_t port) : s_(ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP)) {
    ws::sockaddr_in sa;
    sa.sin_family = ws::AF_INET;
    sa.sin_port = ws::htons(port);
    sa.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    ok_ = ws::connect(s_.get(), reinterpret_cast<ws::sockaddr*>(&sa), sizeof sa) == 0;
    ws::u_long on = 1;
    ws::ioctlsocket(s_.get(), ws::FIONBIO, &on);
  }
  bool ok() const { return ok_; }
  void Close() { s_.reset(); }
  // Sends the end after everything written so far; reading goes on.
  void HalfClose() { ws::shutdown(s_.get(), ws::SD_SEND); }

  void SendFrame(int32_t code, const std::string& body, uint8_t flags = sfFirstChunk | sfLastChunk) {
    std::string out;
    AppendFrame(out, flags, code, body);
    SendBytes(out);
  }
  void SendBytes(const std::string& bytes) { ws::send(s_.get(), bytes.data(), static_cast<int>(bytes.size()), 0); }
  // Sends what the socket takes now of `bytes`; returns how many it took.
  size_t SendSome(std::string_view bytes) {
    const int n = ws::send(s_.get(), bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30)), 0);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Reads what has arrived and splits it into frames (code, flags, chunk).
  struct Frame {
    int32_t code;
    uint8_t flags;
    std::string chunk;
  };
  std::vector<Frame> Read() {
    char buf[65536];
    for (;;) {
      int n = ws::recv(s_.get(), buf, sizeof buf, 0);
      if (n <= 0) {
        eof_ = eof_ || n == 0;
        break;
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
    std::vector<Frame> frames;
    while (pending_.size() >= kFrameHeaderSize) {
      const uint32_t length = LoadLe32(pending_.data() + 5);
      if (pending_.size() < length + 9) break;
      frames.push_back({static_cast<int32_t>(LoadLe32(pending_.data() + 9)), static_cast<uint8_t>(pending_[4]),
                        pending_.substr(13, length - 4)});
      pending_.erase(0, length + 9);
    }
    return frames;
  }
  bool eof() const { return eof_; }
  // Reads until the other side has closed or `ms` passed; true at the end.
  bool WaitForEof(long ms = 2000);

 private:
  ws::Socket s_;
  bool ok_ = false;
  bool eof_ = false;
  std::string pending_;
};

// The body of the scLogin a raw peer sends in mode secNone: application
// "APP", no host, `user`.
std::string RawLoginBody(std::u16string_view user = u"");
// Offers mode secNone and logs in with an empty user name.
void LogInPlain(TRawPeer& peer);
// The server pipe id of a client pipe, matched by its port; 0 when none.
int32_t ServerIdOf(CMill& server, const TMillProbe& probe, const CPipe* client);

}  // namespace tw::test
