// CMill: the transport manager that each control owns one of. It owns the
// pipes and the listening pipe, runs the pump (a CPump whose ticker thread
// ticks the mill's hidden window every 10 ms; the window procedure drives
// every pipe on the control's thread), delivers reassembled messages posted
// back to the same window, listens (server), dials (client), relays messages
// by route list, and holds the keys, trusted fingerprints, security mode, local
// addresses and the last error. Events fire upward on the control's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32/tick.h"
#include "platform/win32/ticker.h"
#include "platform/win32/window.h"
#include "transport/mErrors.h"
#include "transport/mPipe.h"
#include "transport/mRelayFlow.h"

namespace tw {

class CMill;

// Where a server mill reports the operations whose failures it caught.
class TErrorLog {
 public:
  virtual ~TErrorLog() = default;
  // One caught failure of `operation`. Never raises.
  virtual void Write(const std::string& operation) noexcept = 0;
};

// The name of the server's error log file, kept beside the executable.
inline constexpr char kErrorLogFileName[] = "twsocketserror.log";

// Appends one line per failure to a file: the local date and time, "/", the
// last 4 digits of the tick count, ": ", the operation, CR LF. The file is
// opened, written and closed for each line; a failure to write is ignored.
class TFileErrorLog final : public TErrorLog {
 public:
  explicit TFileErrorLog(std::string path) : path_(std::move(path)) {}
  void Write(const std::string& operation) noexcept override;
  const std::string& Path() const { return path_; }

  // The line written for `operation`, without the CR LF.
  static std::string Line(const std::string& operation);

 private:
  std::string path_;
};

// Upward events; each fires only when assigned.
struct TMillEvents {
  // The server received scLogin: the handler sets the password the user must
  // know and Accept.
  std::function<void(CPipe&, const std::u16string& appId, const std::u16string& userName,
                     std::u16string& password, bool& accept)>
      OnPipeLogin;
  std::function<void(CPipe&)> OnPipeOpen;      // client session accepted
  std::function<void(CPipe&)> OnPipeAccepted;  // server accepted a session
  std::function<void(CMill&, CPipe&, TCloseReason)> OnPipeRejected;  // dialled pipe closed in states 2-7
  std::function<void(CMill&, CPipe&, TCloseReason)> OnPipeRefused;   // accepted pipe closed in state 7
  std::function<void(CMill&, CPipe&, TCloseReason)> OnPipeClosed;    // session closed
  std::function<void(CPipe&, TSack&)> OnBondSack;                      // relayed message (peer id set)
  std::function<void(CPipe&, int32_t channel, std::string& body)> OnSackReceived;
  std::function<void(CPipe&, int32_t channel)> OnSackSent;
  std::function<void(const std::string& text)> OnMillReport;  // client: exceptions and traces
};

enum class TMillSide { Server, Client };

// The pump: while the mill's Busy flag is clear it sets it and notifies the
// mill window, every 10 ms on a fixed grid (a win32::Ticker thread). A tick
// for which `mayRest` answers true wakes nobody: the step would have found no
// work.
class CPump {
 public:
  CPump(std::atomic<bool>& busy, win32::HWND window, std::function<bool()> mayRest = {});
  CPump(const CPump&) = delete;
  CPump& operator=(const CPump&) = delete;
  bool Finished() const { return ticker_.Finished(); }

 private:
  win32::TickOutcome Tick();

  std::atomic<bool>& busy_;
  win32::HWND window_;
  std::function<bool()> mayRest_;
  win32::Ticker ticker_;  // last: its thread calls Tick; destroying it waits for that thread
};

class CMill {
 public:
  static constexpr win32::UINT kPumpTick = win32::WM_USER + 1;        // 1025
  static constexpr win32::UINT kDeliverMessage = win32::WM_USER + 2;  // 1026
  static constexpr win32::UINT kPushCarts = win32::WM_USER + 3;       // 1027
  static constexpr uint32_t kPumpIntervalMs = 10;
  // The most connections one pump step accepts: enough for a storm of
  // logins to be taken in within a second or two, few enough that the step
  // stays short.
  static constexpr int kAcceptsPerStep = 64;
  // Descriptors that accepting leaves free below the process's limit, for
  // the program's own needs (its log file, its GUI's threads, key
  // generation): a connection that would take one of them is refused.
  static constexpr uint64_t kDescriptorMargin = 64;

  // `startPump` false leaves the pump to the caller (tests call PumpUp).
  explicit CMill(TMillSide side, bool startPump = true);
  // Stops the pump thread, then frees every pipe without firing events.
  ~CMill();
  CMill(const CMill&) = delete;
  CMill& operator=(const CMill&) = delete;

  TMillEvents Events;

  TMillSide Side() const { return side_; }
  win32::HWND Window() const { return window_.Handle(); }
  uint32_t PumpTick() const { return pumpTick_; }
  const std::string& SealIv();

  // One pump step: ask the readiness set which sockets have input, accept
  // what waits, then visit the pipes last to first.
  void PumpUp();
  // For a loop that runs the pump steps itself and waits in between (tests,
  // an embedding): adds the sockets that the next step would read from to
  // `readable`, and those with bytes to send or a connect under way to
  // `writable`.
  void AddPollSockets(ws::fd_set& readable, ws::fd_set& writable) const;
  // A message was queued on an idle pipe: send it once the current handler
  // returns (message 1027) instead of at the next tick, which would add up to
  // a whole period to every one-way trip. Only the pipes that asked are
  // pushed then (CPipe::RequestPush asks once until its push).
  void RequestPush(CPipe& pipe);
  // Something happened that a pump step may have to act on (a message
  // queued, a pipe added or closed): the next step visits the pipes.
  void Stir() {
    calm_ = false;
    resting_.store(false);
    // Ticks were let pass while the mill rested: what happens now is timed
    // from now, not from the last step.
    if (restedTicks_.exchange(false)) pumpTick_ = win32::GetTickCount();
  }
  // Registers the pipe's socket with the readiness set (CPipe calls it when
  // it makes or adopts a socket); false, with the socket layer's last error,
  // when the system refuses.
  bool Watch(CPipe& pipe);

  // --- Pipes -----------------------------------------------------------------
  CPipe* GetPipe(int32_t id);
  bool SelectPipe(int32_t id);
  CPipe* CurrentPipe() { return GetPipe(currentId_); }
  size_t PipeCount() const { return pipes_.size(); }
  // The relay's flow control: a server mill's, null on a client, which
  // relays nothing.
  TRelayFlow* Relay() { return relay_.get(); }
  // What a pipe may hold for its peer before the hub's own notices to it
  // close it (CPipe::WouldOverfill): kHardBoundFactor times the relay's
  // bound; no limit on a client.
  size_t HardBound() const;
  CPipe& AddPipe();
  int32_t NewPipeId();
  // Sockets of freed pipes still ending: each has sent its end (half-close)
  // and is read until the peer's end arrives or kLingerMs pass, so that a
  // close never discards what either side sent (a socket closed with unread
  // bytes resets the connection, and the peer's system then throws away
  // what its reader had not yet taken).
  size_t LingeringCount() const { return lingering_.size(); }
  static constexpr uint32_t kLingerMs = 5000;

  // --- Errors ----------------------------------------------------------------
  int32_t LastError = errNone;
  // LastError := reason, else the socket layer's last error, else errTransport.
  void RecordError(int32_t reason);
  // A caught failure of an operation: a line in the error log (server) or
  // "*EXP*  <name>" through OnMillReport (client). Never raises.
  void ReportError(const std::string& operation) noexcept;
  void ReportText(const std::string& text);
  // The server's error log file: kErrorLogFileName beside the executable;
  // empty: no file.
  std::string ErrorLogPath;
  // When set, receives the server's failures in place of the file (tests).
  std::shared_ptr<TErrorLog> ErrorLog;

  // The one exception guard of the transport and the layers on it: runs
  // `body`; whatever it raises, standard or not, is reported under
  // `operation` and goes no further. True when the body completed.
  template <class F>
  bool Guard(const char* operation, F&& body) noexcept {
    try {
      body();
      return true;
    } catch (...) {
      ReportError(operation);
      return false;
    }
  }

  // --- Server ----------------------------------------------------------------
  bool Listen(uint16_t port);
  void StopListening();
  bool IsListening() const;
  uint16_t ListeningPort() const;
  bool ClosePipe(int32_t id);
  // Queues `message` as channel + 1000 on the pipe `id`, asking for an
  // acknowledgement when `ackWanted`. Null, with nothing queued, when the
  // pipe is not in session or the message would overfill it (the pipe is
  // closed then). By reference the body is copied (CPipe::QueueMessage), so
  // one notice goes to many pipes without an allocation each; a temporary
  // is taken whole.
  TSack* SendToPipe(int32_t id, int32_t channel, const TMessage& message, bool ackWanted = false);
  TSack* SendToPipe(int32_t id, int32_t channel, TMessage&& message, bool ackWanted = false);
  // Like SendToPipe without an acknowledgement, but the message waits for
  // everything queued to the pipe before it (a notice that ends what came
  // before, such as a peer's departure).
  TSack* SendToPipeLast(int32_t id, int32_t channel, TMessage message);
  uint32_t GetMoniker(int32_t id);
  bool SetMoniker(int32_t id, uint32_t value);
  std::string GetRemoteAddress(int32_t id);
  uint16_t GetRemotePort(int32_t id);

  // --- Client ----------------------------------------------------------------
  CPipe* OpenSession(const std::u16string& host, uint16_t port, const std::u16string& appId,
                     const std::u16string& userName, const std::u16string& password);
  std::u16string GetPipeUsername(int32_t id);
  int32_t GetSendRoom(int32_t id);

  // --- Relay -----------------------------------------------------------------
  // A message that arrived with a route list goes to its targets through the
  // relay's flow control (server only).
  void RouteSack(CPipe& from, TSack& sack);
  // A pipe closed: the relay forgets what waits for it and what it sent.
  void PipeClosed(int32_t id);

  // --- Keys and trust --------------------------------------------------------
  bool GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey);
  std::u16string TakeFingerprint(const std::u16string& keyText);
  std::u16string GetPublicKey() const;
  void SetPublicKey(const std::u16string& keyText);
  std::u16string GetPrivateKey() const;
  void SetPrivateKey(const std::u16string& keyText);
  std::u16string GetSecretKey() const;
  void SetSecretKey(const std::u16string& text);
  std::u16string GetFingerprints() const;
  void SetFingerprints(const std::u16string& commaText);
  bool IsKeyAllowed(const std::string& keyBytes) const;

  std::string OwnPublicKey;   // key bytes
  std::string OwnPrivateKey;  // key bytes
  std::string SecretKey;      // 8-bit form of the shared secret
  std::vector<std::string> AllowedFingerprints;

  // --- Settings and addresses ------------------------------------------------
  int32_t SecurityMode = secNone;
  std::u16string BindAddress;
  bool ReuseAddress = false;
  int32_t SocksVersion = 4;
  std::u16string SocksHost;
  uint16_t SocksPort = 0;
  std::u16string SocksUser;
  std::u16string SocksPassword;
  std::string SocksHostAnsi() const;

  const std::string& LocalIPList() const { return localIpList_; }
  const std::string& LoopbackText() const { return loopback_; }
  std::string FirstLocalAddress() const;

  // A dotted address, or a name looked up with gethostbyname (first address).
  static std::optional<ws::in_addr> ResolveHost(const std::string& host);

 private:
  win32::LRESULT WndProc(win32::UINT msg, win32::WPARAM wParam, win32::LPARAM lParam);
  void DeliverPosted(int32_t pipeId, std::unique_ptr<TSack> sack);
  CPipe* PipeTaking(int32_t id, size_t bodySize);
  void PushWaitingCarts();
  void DetectSessionInvoked();
  void AdmitAccepted(ws::Socket accepted);
  bool RefuseForLackOfDescriptors();
  void NoteOutOfDescriptors();
  void VisitPipe(size_t index);
  void FreePipe(size_t index);
  void DrainLingering();
  void SelectReadable();
  void DetectLoopback();
  void RefreshLocalIPList();

  // The pipes as the relay sees them.
  class TRelayPort final : public IRelayPipes {
   public:
    explicit TRelayPort(CMill& mill) : mill_(mill) {}
    bool Serves(int32_t id) override;
    bool Mark(int32_t id, uint64_t serial) override;
    size_t Owed(int32_t id) override;
    size_t OwedFrom(int32_t id, int32_t sender) override;
    uint32_t LastProgress(int32_t id) override;
    void Queue(int32_t id, int32_t sender, const TRelayItem& item) override;
    void CloseStalled(int32_t id) override;
    void Released(int32_t sender) override;
    void ForEachServed(const std::function<void(int32_t)>& visit) override;

   private:
    CPipe* Served(int32_t id);
    CMill& mill_;
  };

  TMillSide side_;
  std::atomic<bool> busy_{false};
  uint32_t pumpTick_ = 0;
  std::string sealIv_;
  uint32_t sealIvTick_ = 0;
  bool sealIvValid_ = false;
  bool pushPosted_ = false;
  std::vector<int32_t> pushList_;  // ids of the pipes that asked for a push
  TRelayPort relayPort_{*this};
  std::unique_ptr<TRelayFlow> relay_;  // before the pipes: it outlives the bodies they queue
  std::vector<std::unique_ptr<CPipe>> pipes_;
  std::unordered_map<int32_t, CPipe*> byId_;  // every pipe in pipes_
  ws::ReadinessSet readiness_;
  std::vector<uint64_t> readyTokens_;  // kept between steps: an idle step allocates nothing
  bool listenerReady_ = false;
  size_t readyPipes_ = 0;  // pipes the readiness set named this step
  // After the last pass every pipe was idle in session, and nothing stirred.
  bool calm_ = false;
  // Published for the pump thread: the last step was calm. While it is and
  // no socket is readable, a tick has no work and the pump lets it pass
  // (MayRest) instead of waking the control's thread; restedTicks_ says so.
  std::atomic<bool> resting_{false};
  std::atomic<bool> restedTicks_{false};
  bool MayRest();
  // Held so that, when accept fails for lack of descriptors, one can be
  // freed to accept the waiting connection and close it: the client is
  // refused instead of left hanging.
  ws::DescriptorReserve reserve_;
  bool outOfDescriptors_ = false;  // reported once until an accept succeeds
  std::unique_ptr<CPipe> listener_;
  struct TLingering {
    ws::Socket socket;
    uint32_t since = 0;  // pump tick of the half-close
  };
  std::vector<TLingering> lingering_;
  int32_t currentId_ = 0;
  int32_t nextId_ = 0;
  std::vector<std::string> localAddresses_;
  std::string localIpList_;
  std::string loopback_ = "127.0.0.1";
  // Last, so that they go first: the pump's thread ends, then the window
  // (its procedure uses everything above; it frees the messages still posted).
  win32::HiddenWindow window_;
  std::unique_ptr<CPump> pump_;
};

}  // namespace tw
