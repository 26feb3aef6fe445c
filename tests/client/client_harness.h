// An in-process session for client tests: the real server engine with a host
// that admits every login with one password, and client engines on loopback
// (port 0), all on this thread. Their transports have no pump thread: the
// harness steps them (a TMillStepper), so a test can wait for something to
// happen (Run) or until nothing more can happen (Settle). A test clock can
// stand in for the tick so timers fire only when a test moves it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/mParleyCln.h"
#include "platform/win32/tick.h"
#include "server/mParleySrv.h"
#include "tests/support/manual_tick.h"
#include "tests/support/mill_stepper.h"
#include "tests/support/tcp_relay.h"
#include "transport/mMill.h"

namespace tw::test {

// One client engine and what it reported, as lines such as "open",
// "rejected -11", "connected bob", "chat bob hi", "binary 0 6869".
class TClient {
 public:
  // `startPump` false leaves the engine's transport to a stepper.
  explicit TClient(std::shared_ptr<cln::TMediaFactory> media = nullptr, bool startPump = true);
  ~TClient();

  cln::TTWParleyCln& operator*() { return *engine; }
  cln::TTWParleyCln* operator->() { return engine.get(); }

  std::unique_ptr<cln::TTWParleyCln> engine;
  std::vector<std::string> log;
  std::vector<cln::TPeerHandle> connected;  // in the order OnPeerConnected gave them

  // The handle of the peer named `name`, most recent first; 0 when none.
  cln::TPeerHandle Handle(const std::u16string& name);
  // How many log lines start with `prefix`.
  size_t Count(const std::string& prefix) const;
  bool Saw(const std::string& line) const;
};

struct THarnessOptions {
  bool manualClock = false;
  win32::DWORD startTick = 1'000'000;
  int32_t securityMode = secNone;
  std::u16string password = u"pw";
};

class THarness {
 public:
  explicit THarness(THarnessOptions options = {});
  ~THarness();
  THarness(const THarness&) = delete;
  THarness& operator=(const THarness&) = delete;

  // The test clock (manualClock only).
  win32::ManualTickSource& Clock() { return clock_->clock(); }

  TTWParleySrv& Server() { return *server_; }
  uint16_t Port() const { return port_; }
  std::vector<std::string>& ServerLog() { return serverLog_; }

  // A new client engine, keys and mode set to match the server's.
  TClient& AddClient(std::shared_ptr<cln::TMediaFactory> media = nullptr);
  // Opens `c`'s session as `user` (to `port`, or the server's when 0) and
  // waits until it opened (true) or ended.
  bool Open(TClient& c, const std::u16string& user, const std::u16string& password, uint16_t port = 0);
  bool Open(TClient& c, const std::u16string& user) { return Open(c, user, options_.password); }
  // `count` clients named "c0", "c1", ... opened in turn; each has bonded
  // with every other one when this returns true.
  bool OpenMesh(size_t count);

  // Steps until `done` or `timeoutMs` of real time.
  bool Run(const std::function<bool()>& done, win32::DWORD timeoutMs = 5000);
  // Steps until nothing is left to happen: no message posted, nothing to
  // send, nothing on its way or unread on any socket of the server, the
  // clients and the bare clients. Takes no time of its own; false when the
  // session is still busy after TMillStepper::kSettleLimitMs.
  bool Settle();
  // How many steps the last Settle() ran.
  size_t SettleSteps() const { return stepper_.SettleSteps(); }
  // Steps for about `ms` of real time, for what runs on the real clock
  // (media devices).
  void Settle(win32::DWORD ms);
  // A mill the harness steps with the others (a bare client's), until Unwatch.
  void Watch(CMill& mill) { watched_.push_back(&mill); }
  void Unwatch(CMill& mill) { std::erase(watched_, &mill); }

  std::vector<std::unique_ptr<TClient>>& Clients() { return clients_; }
  TClient& operator[](size_t i) { return *clients_[i]; }

 private:
  THarnessOptions options_;
  std::optional<win32::ScopedManualTick> clock_;  // before everything that reads the tick
  std::unique_ptr<TTWParleySrv> server_;
  uint16_t port_ = 0;
  std::u16string serverPublic_;
  std::vector<std::string> serverLog_;
  std::vector<std::unique_ptr<TClient>> clients_;
  std::vector<CMill*> watched_;
  TMillStepper stepper_;
};

// A bare client of the harness's server: its own mill and session pipe, no
// session layer above it, so a test can send what a well-behaved client
// never would (repeated bonds, stray acknowledgements, messages after a
// close). It logs in, sends CMD_READY and CMD_ANNOUNCE, and records what the
// server sends or relays to it. The harness steps its mill with the others.
class TRawClient {
 public:
  struct TBond {
    int32_t from;  // the sender's peer id
    int32_t code;
    std::string body;
    bool ackWanted;
  };
  TRawClient(THarness& harness, const std::u16string& user);
  ~TRawClient();

  bool Open() const { return open_; }
  // The peer id the server announced for `name` (CMD_PEER_LISTED or
  // CMD_PEER_JOINED); 0 when none.
  int32_t PeerId(const std::u16string& name) const;
  // Queues `code` with `body`, routed to `to` (a peer id).
  void SendRouted(int32_t code, std::string body, int32_t to, bool ackWanted = false);
  void SendCommand(int32_t channel, std::string body = {});
  void Close();
  // Everything queued has left for the hub.
  bool SendIdle();

  std::vector<TBond> bonds;
  std::vector<std::pair<int32_t, std::string>> commands;  // channel, body

 private:
  THarness& harness_;
  CMill mill_{TMillSide::Client, false};
  int32_t pipe_ = 0;
  bool open_ = false;
};

// A TCP relay between one client and the server that keeps a copy of every
// byte each way, to look at what travels on the wire. It forwards on its own
// thread, where Settle cannot see the bytes it holds: wait for what crosses
// it with Run.
class TWireTap {
 public:
  struct TFrame {
    bool up;  // client to server
    uint8_t flags;
    int32_t code;
    std::string chunk;
  };
  explicit TWireTap(uint16_t target);
  ~TWireTap();
  uint16_t Port() const { return relay_->Port(); }
  std::vector<TFrame> Frames();  // every whole frame seen so far, each way
  // While held, the tap reads nothing the client sends: the client's socket
  // fills and its pipe cannot send, as when the hub does not read it.
  void HoldUp(bool hold) { relay_->HoldUp(hold); }

 private:
  struct TShared;
  std::unique_ptr<TShared> shared_;
  std::unique_ptr<TTcpRelay> relay_;  // after shared_: it stops before the copies go
};

// Hex of a byte string ("" for none).
std::string Hex(std::string_view bytes);

}  // namespace tw::test
