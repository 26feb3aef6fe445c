#include "client/mParleyCln.h"

#include <algorithm>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "client/mUnitHost.h"
#include "platform/win32/text.h"
#include "platform/win32/tick.h"
#include "transport/twTools.h"

namespace tw::cln {

static_assert(int{errBusy} == int{meBusy} && int{errInvalidHandle} == int{meInvalidTube} &&
                  int{errNotByteArray} == int{meNotByteArray},
              "the session layer's errors are the engine's");

// The units' view of the engine: its peer records, its session layer for
// sending, its events, clock, media, LastError and reporter.
class TTWParleyCln::TUnitHost final : public IUnitHost {
 public:
  explicit TUnitHost(TTWParleyCln& engine) : engine_(engine) {}

  TPeer* FindPeer(TPeerHandle handle) override { return engine_.CheckPeer(handle); }
  TPeer* FindPeerByHubId(int32_t hubId) override {
    const CTube* tube = engine_.mate_->FindTubeById(hubId);
    TPeer* p = tube ? engine_.CheckPeer(tube->UserData) : nullptr;
    return p && p->Tube == tube->Id ? p : nullptr;
  }
  int32_t HubId(const TPeer& peer) override { return engine_.mate_->GetTubeId(peer.Tube); }
  bool SessionOpen() const override { return engine_.status_ == ssOpen; }
  uint64_t Bonds() const override { return engine_.bonds_; }

  bool Send(std::span<TPeer* const> peers, int32_t channel, TMessage body, bool ack) override {
    if (peers.size() == 1) return engine_.mate_->Send(peers[0]->Tube, channel, std::move(body), ack) != nullptr;
    std::vector<TTubeId> tubes;
    tubes.reserve(peers.size());
    for (const TPeer* p : peers) tubes.push_back(p->Tube);
    return engine_.mate_->Send(tubes, channel, std::move(body), ack) != nullptr;
  }
  int32_t PendingAcks(const TPeer& peer, int32_t channel) override {
    return engine_.mate_->CountPendingAcks(peer.Tube, channel);
  }
  int32_t ChunkRoom() override { return engine_.mate_->GetChunkSize(); }

  TParleyClnEvents& Events() override { return engine_.Events; }
  uint32_t Now() override { return win32::GetTickCount(); }
  void SetLastError(int32_t code) override { engine_.lastError_ = code; }
  bool Destroying() const override { return engine_.destroying_; }
  void ReportFailure(const std::string& reason) override { engine_.ReportDeviceFailure(reason); }

  TMediaFactory& MediaFactory() override { return *engine_.media_; }
  IRecorder& Recorder() override { return *engine_.recorder_; }
  IPlayer& Player() override { return *engine_.player_; }
  ICaptureSource& Capture() override { return *engine_.capture_; }
  IVideoEncoder& Encoder() override { return *engine_.encoder_; }

 private:
  TTWParleyCln& engine_;
};

// Creation in dependency order: the capture, the timer, the session layer
// with its closures, the peer list, the recorder with its hand-overs, the
// player and the encoder.
TTWParleyCln::TTWParleyCln(std::shared_ptr<TMediaFactory> media, bool startPump)
    : media_(media ? std::move(media) : std::make_shared<TMediaFactory>()) {
  host_ = std::make_unique<TUnitHost>(*this);
  talks_ = std::make_unique<TTalkUnit>(*host_);
  files_ = std::make_unique<TFileUnit>(*host_);
  capture_ = media_->CreateCapture();
  capture_->OnFrame = [this](const win32::Bitmap& frame) { talks_->DoCaptureFrame(frame); };
  timerWindow_ = win32::HiddenWindow([this](win32::HWND, win32::UINT msg, win32::WPARAM, win32::LPARAM) {
    if (msg == win32::WM_TIMER) {
      try {
        TimerTick();
      } catch (const std::exception& e) {
        ReportDeviceFailure(std::string("TTWParleyCln.TimerTick: ") + e.what());
      }
    }
    return win32::LRESULT{0};
  });
  timer_ = win32::WindowTimer(timerWindow_.Handle(), kTimerId, kTimerMs);

  mate_ = std::make_unique<CMate>(kParleyAppId, startPump);
  TMateEvents& ev = mate_->Events;
  ev.OnMateOpen = [this] { DoSessionOpen(); };
  ev.OnMateClosed = [this](int32_t) { DoSessionClosed(); };
  ev.OnMateRejected = [this](int32_t code) { DoSessionRejected(code); };
  ev.OnTubeBonded = [this](TTubeId t) { DoPeerBonded(t); };
  ev.OnTubeClosed = [this](TTubeId t) { DoPeerClosed(t); };
  ev.OnTubeMessage = [this](TTubeId t, std::string& body, int32_t channel) { DoMessage(t, body, channel); };
  ev.OnTubeAck = [this](TTubeId t, int32_t channel) { DoAck(t, channel); };
  ev.OnTubeBinary = [this](TTubeId t, const com::VARIANT& m) { DoBinary(t, m); };

  recorder_ = media_->CreateRecorder();
  recorder_->Events.OnWave = [this](TBytes samples) { talks_->DoWaveRecorded(samples); };
  recorder_->Events.OnPacket = [this](TBytes packet) { talks_->DoAudioEncoded(packet); };
  recorder_->SetThreshold(noiseLevel_);
  recorder_->Events.OnFailure = [this](const std::string& reason) { ReportDeviceFailure(reason); };
  capture_->OnFailure = [this](const std::string& reason) { ReportDeviceFailure(reason); };
  player_ = media_->CreatePlayer();
  encoder_ = media_->CreateEncoder();
  encoder_->SetQuality(frameQuality_);
}

// Destruction: no event fires from here on. Talks end, the session layer
// goes (dropping the connection), the shared media stop while the capture
// they use still exists, then the capture goes.
TTWParleyCln::~TTWParleyCln() {
  destroying_ = true;
  Events = {};
  talks_->EndTalk();
  for (auto& p : peers_) files_->Release(*p);
  mate_.reset();
  talks_->ReleaseMedia(nullptr);
  capture_.reset();  // stops its streaming thread, which checks `destroying_` meanwhile
  recorder_->Events = {};
  for (auto& p : peers_) {
    p->Talk.Player.reset();
    p->Talk.Decoder.reset();
  }
  recorder_.reset();
  player_.reset();
  encoder_.reset();
  peers_.clear();
}

// --- Peers and handles -----------------------------------------------------------

TPeer* TTWParleyCln::CheckPeer(TPeerHandle handle) {
  if (handle <= 0) return nullptr;
  auto it = std::lower_bound(peers_.begin(), peers_.end(), handle,
                             [](const std::unique_ptr<TPeer>& p, TPeerHandle h) { return p->Handle < h; });
  return it != peers_.end() && (*it)->Handle == handle ? it->get() : nullptr;
}

TPeer* TTWParleyCln::SelectPeer(TPeerHandle handle) {
  lastError_ = errNone;
  TPeer* p = CheckPeer(handle);
  if (!p) lastError_ = errInvalidHandle;
  return p;
}

TPeer* TTWParleyCln::TubePeer(TTubeId tube) {
  if (!mate_->CheckTube(tube)) return nullptr;
  TPeer* p = CheckPeer(mate_->GetTubeData(tube));
  // A disconnected peer's tube may linger until the purge: it raises nothing.
  return p && p->Tube == tube && p->LinkState == lsConnected ? p : nullptr;
}

bool TTWParleyCln::DisconnectPeer(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  if (!p) return false;
  PeerDisconnected(p);
  return true;
}

std::u16string TTWParleyCln::GetPeerName(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? p->Name : u"";
}

int32_t TTWParleyCln::GetMoniker(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? p->Moniker : 0;
}

void TTWParleyCln::SetMoniker(TPeerHandle handle, int32_t moniker) {
  if (TPeer* p = SelectPeer(handle)) p->Moniker = moniker;
}

void TTWParleyCln::PeerDisconnected(TPeer* peer) {
  if (!peer || peer->LinkState == lsDisconnected) return;
  const TPeerHandle handle = peer->Handle;
  talks_->TalkEnded(*peer);
  // The talk unit's events may have run the container: look the record up again.
  peer = CheckPeer(handle);
  if (!peer || peer->LinkState == lsDisconnected) return;
  peer->LinkState = lsDisconnected;
  // Its transfers can never finish: they end here, with their done events.
  files_->PeerGone(*peer);
  mate_->DisconnectTube(peer->Tube);
  if (!destroying_ && Events.OnPeerDisconnected) Events.OnPeerDisconnected(handle);
}

// --- Session ---------------------------------------------------------------------

bool TTWParleyCln::OpenSession(const std::u16string& host, int32_t port, const std::u16string& userName,
                               const std::u16string& password) {
  if (status_ != ssClosed) {
    lastError_ = errBusy;
    return status_ == ssOpening;
  }
  if (mate_->OpenSession(host, port, userName, password))
    status_ = ssOpening;
  else
    lastError_ = mate_->Error();
  return status_ == ssOpening;
}

bool TTWParleyCln::CloseSession() {
  Close(mcClosedLocally);
  return true;
}

void TTWParleyCln::Close(int32_t code) {
  if (status_ == ssClosed) return;
  const uint8_t old = status_;
  status_ = ssClosed;
  for (size_t i = peers_.size(); i-- > 0;)
    if (i < peers_.size()) PeerDisconnected(peers_[i].get());
  mate_->CloseSession();
  if (destroying_) return;
  if (old == ssOpening && Events.OnSessionRejected) Events.OnSessionRejected(code);
  if (old == ssOpen && Events.OnSessionClosed) Events.OnSessionClosed();
}

// --- Messages --------------------------------------------------------------------

TPeer* TTWParleyCln::SelectOpenPeer(TPeerHandle handle) {
  lastError_ = errNone;
  if (status_ != ssOpen) {
    lastError_ = errSessionNotOpen;
    return nullptr;
  }
  return SelectPeer(handle);
}

bool TTWParleyCln::SendText(TPeerHandle handle, const std::u16string& text, int32_t channel) {
  TPeer* p = SelectOpenPeer(handle);
  if (!p) return false;
  mate_->Send(p->Tube, channel, TMessage().Wide(text));
  return true;
}

bool TTWParleyCln::SendAlertMessage(TPeerHandle handle, const std::u16string& text) {
  return SendText(handle, text, APP_ALERT);
}

bool TTWParleyCln::SendChatMessage(TPeerHandle handle, const std::u16string& text) {
  return SendText(handle, text, APP_CHAT);
}

bool TTWParleyCln::SendBinaryMessage(TPeerHandle handle, const com::VARIANT& bytes) {
  lastError_ = errNone;
  if (!VarArrayToStr(bytes)) {
    lastError_ = errNotByteArray;
    return false;
  }
  if (status_ != ssOpen) {
    lastError_ = errSessionNotOpen;
    return false;
  }
  TTubeId tube = 0;
  if (handle != 0) {
    TPeer* p = SelectPeer(handle);
    if (!p) return false;
    tube = p->Tube;
  }
  mate_->SendBinary(tube, bytes);
  return true;
}

// --- Files -----------------------------------------------------------------------

bool TTWParleyCln::RequestOutFile(TPeerHandle handle, const std::u16string& file) {
  TPeer* p = SelectOpenPeer(handle);
  if (p) lastError_ = files_->RequestOutFile(*p, file);
  return p && lastError_ == errNone;
}

bool TTWParleyCln::CancelOutFile(TPeerHandle handle) {
  TPeer* p = SelectOpenPeer(handle);
  if (p) lastError_ = files_->CancelOutFile(*p);
  return p && lastError_ == errNone;
}

bool TTWParleyCln::CancelInFile(TPeerHandle handle) {
  TPeer* p = SelectOpenPeer(handle);
  if (p) lastError_ = files_->CancelInFile(*p);
  return p && lastError_ == errNone;
}

std::u16string TTWParleyCln::GetOutgoingFile(TPeerHandle handle) {
  if (status_ != ssOpen) return u"";
  TPeer* p = SelectPeer(handle);
  return p ? files_->GetOutgoingFile(*p) : u"";
}

// --- Talks -----------------------------------------------------------------------

bool TTWParleyCln::BeginTalk(TPeerHandle handle, bool audio, bool video) {
  TPeer* p = SelectPeer(handle);
  return p && talks_->BeginTalk(*p, audio, video);
}

int32_t TTWParleyCln::GetTalkState(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? int32_t{p->Talk.State} : int32_t{tkIdle};
}

// --- Settings --------------------------------------------------------------------

std::u16string TTWParleyCln::GetCaptureDeviceName(int32_t index) {
  return win32::Utf8ToUtf16(capture_->DeviceName(index));
}

std::u16string TTWParleyCln::GetRecordingDeviceName(int32_t index) {
  return win32::Utf8ToUtf16(recorder_->DeviceName(index));
}

std::u16string TTWParleyCln::GetPlaybackDeviceName(int32_t index) {
  return win32::Utf8ToUtf16(player_->DeviceName(index));
}


bool TTWParleyCln::GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey) {
  publicKey.clear();
  privateKey.clear();
  return mate_->GenerateKeypair(publicKey, privateKey);
}

void TTWParleyCln::SetNoiseLevel(int32_t level) {
  noiseLevel_ = level;
  recorder_->SetThreshold(level);
}

void TTWParleyCln::SetFrameQuality(int32_t quality) {
  if (quality < 1 || quality > 5) return;
  frameQuality_ = quality;
  encoder_->SetQuality(quality);
}

// --- Timer -----------------------------------------------------------------------

void TTWParleyCln::TimerTick() {
  if (destroying_ || inTimer_) return;
  inTimer_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{inTimer_};
  talks_->SendPendingFrame();
}

// --- Session layer closures --------------------------------------------------------

void TTWParleyCln::DoSessionOpen() {
  username_ = mate_->UserName();
  status_ = ssOpen;
  if (Events.OnSessionOpen) Events.OnSessionOpen();
}

void TTWParleyCln::DoSessionClosed() {
  if (!destroying_) Close(mcConnectionClosed);
}

void TTWParleyCln::DoSessionRejected(int32_t code) { Close(code); }

void TTWParleyCln::DoPeerBonded(TTubeId tube) {
  if (destroying_ || !mate_->CheckTube(tube)) return;
  if (CheckPeer(mate_->GetTubeData(tube))) return;  // bonded once: one record, one handle
  auto peer = std::make_unique<TPeer>();
  do {
    nextHandle_ = nextHandle_ == INT32_MAX ? 1 : nextHandle_ + 1;
  } while (CheckPeer(nextHandle_));
  peer->Handle = nextHandle_;
  peer->Tube = tube;
  peer->Name = mate_->GetTubeName(tube);
  peer->LinkState = lsConnected;
  peer->Bond = ++bonds_;
  const TPeerHandle handle = peer->Handle;
  // Handles grow with every bond, so the list stays sorted by handle.
  auto at = std::lower_bound(peers_.begin(), peers_.end(), handle,
                             [](const std::unique_ptr<TPeer>& p, TPeerHandle h) { return p->Handle < h; });
  peers_.insert(at, std::move(peer));
  mate_->SetTubeData(tube, handle);
  if (Events.OnPeerConnected) Events.OnPeerConnected(handle);
}

void TTWParleyCln::DoPeerClosed(TTubeId tube) {
  if (destroying_) return;
  if (TPeer* p = TubePeer(tube)) PeerDisconnected(p);
}

void TTWParleyCln::DoMessage(TTubeId tube, std::string& body, int32_t channel) {
  if (destroying_) return;
  TPeer* p = TubePeer(tube);
  if (!p) return;  // not bonded yet, or disconnected: dropped
  if (channel == APP_ALERT || channel == APP_CHAT) {
    const std::u16string text = ReadWideField(body);
    auto& event = channel == APP_ALERT ? Events.OnAlertMessage : Events.OnChatMessage;
    if (event) event(p->Handle, text);
  } else if (TTalkUnit::Handles(channel)) {
    talks_->DoMessage(*p, channel, body);
  } else if (TFileUnit::Handles(channel)) {
    files_->DoMessage(*p, channel, body);
  }
}

// While the engine lives, and during its teardown until the session layer
// (which keeps the log) is gone.
void TTWParleyCln::ReportDeviceFailure(const std::string& reason) {
  if (mate_) mate_->Mill().ReportError(reason);
}

void TTWParleyCln::DoAck(TTubeId tube, int32_t channel) {
  if (destroying_ || !TFileUnit::Handles(channel)) return;
  if (TPeer* p = TubePeer(tube)) files_->DoAck(*p, channel);
}

void TTWParleyCln::DoBinary(TTubeId tube, const com::VARIANT& message) {
  if (destroying_ || !Events.OnBinaryMessage) return;
  if (tube == 0) {
    Events.OnBinaryMessage(0, message);
  } else if (TPeer* p = TubePeer(tube)) {
    Events.OnBinaryMessage(p->Handle, message);
  }
}

}  // namespace tw::cln
