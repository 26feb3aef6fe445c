// TTWParleyCln: the client engine behind the client control. It owns the
// session layer (CMate), one TPeer record per bonded peer, the talk and file
// units, and the media objects (recorder, player, capture, encoder) made by
// its media factory; it keeps the session status and LastError, sends and
// receives alerts, chats and binary messages, and dispatches the talk and
// file codes to their units. Every operation runs on the thread that created
// the engine; events fire synchronously on it.
//
// Handles are 32-bit serials, never reused and never derived from an
// address; a record stays (with its handle, name and Moniker) after its peer
// disconnects, until the engine is destroyed. Every call looks a handle up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/mCodes.h"
#include "client/mEvents.h"
#include "client/mFiles.h"
#include "client/mMate.h"
#include "client/mMedia.h"
#include "client/mPeer.h"
#include "client/mTalks.h"
#include "platform/com/variant.h"
#include "platform/win32/messages.h"
#include "platform/win32/window.h"
#include "transport/mSessionCommands.h"

namespace tw::cln {

// Codes exchanged between peers besides those of the talk and file units.
enum : int32_t { APP_ALERT = 90, APP_CHAT = 91 };

class TTWParleyCln {
 public:
  static constexpr win32::UINT_PTR kTimerId = 1;
  static constexpr uint32_t kTimerMs = 20;

  // `media` makes the recorder, players, capture and encoder (null: the
  // real ones over the sound devices, the capture graph and the video
  // codec). `startPump` false leaves the transport's pump to the caller
  // (tests).
  explicit TTWParleyCln(std::shared_ptr<TMediaFactory> media = nullptr, bool startPump = true);
  // Drops the session without events.
  ~TTWParleyCln();
  TTWParleyCln(const TTWParleyCln&) = delete;
  TTWParleyCln& operator=(const TTWParleyCln&) = delete;

  TParleyClnEvents Events;

  // --- Session ---------------------------------------------------------------------
  bool OpenSession(const std::u16string& host, int32_t port, const std::u16string& userName,
                   const std::u16string& password);
  bool CloseSession();
  int32_t GetSessionStatus() const { return status_; }
  const std::u16string& GetUsername() const { return username_; }
  int32_t GetLastError() const { return lastError_; }

  // --- Peers -----------------------------------------------------------------------
  bool DisconnectPeer(TPeerHandle handle);
  std::u16string GetPeerName(TPeerHandle handle);
  int32_t GetMoniker(TPeerHandle handle);
  void SetMoniker(TPeerHandle handle, int32_t moniker);

  // --- Messages --------------------------------------------------------------------
  bool SendAlertMessage(TPeerHandle handle, const std::u16string& text);
  bool SendChatMessage(TPeerHandle handle, const std::u16string& text);
  // Handle 0 sends to the server host.
  bool SendBinaryMessage(TPeerHandle handle, const com::VARIANT& bytes);

  // --- Files -----------------------------------------------------------------------
  bool RequestOutFile(TPeerHandle handle, const std::u16string& file);
  bool CancelOutFile(TPeerHandle handle);
  bool CancelInFile(TPeerHandle handle);
  // The path of the active outgoing transfer to the peer; empty when none.
  std::u16string GetOutgoingFile(TPeerHandle handle);
  // The suffix of temporary files, used from the next accepted offer on. An
  // empty suffix is refused (false): the temporary file would be the
  // destination itself.
  const std::u16string& GetTransferSuffix() const { return files_->GetTransferSuffix(); }
  bool SetTransferSuffix(const std::u16string& suffix) { return files_->SetTransferSuffix(suffix); }

  // --- Keys, trust and addresses (forwarded to the session layer) ------------------
  bool GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey);
  std::u16string TakeFingerprint(const std::u16string& publicKey) { return mate_->TakeFingerprint(publicKey); }
  int32_t GetSecurityMode() const { return mate_->GetSecurityMode(); }
  void SetSecurityMode(int32_t v) { mate_->SetSecurityMode(v); }
  std::u16string GetPublicKey() const { return mate_->GetPublicKey(); }
  void SetPublicKey(const std::u16string& v) { mate_->SetPublicKey(v); }
  std::u16string GetPrivateKey() const { return mate_->GetPrivateKey(); }
  void SetPrivateKey(const std::u16string& v) { mate_->SetPrivateKey(v); }
  std::u16string GetSecretKey() const { return mate_->GetSecretKey(); }
  void SetSecretKey(const std::u16string& v) { mate_->SetSecretKey(v); }
  std::u16string GetFingerprints() const { return mate_->GetFingerprints(); }
  void SetFingerprints(const std::u16string& v) { mate_->SetFingerprints(v); }
  std::u16string GetBindAddress() const { return mate_->GetBindAddress(); }
  void SetBindAddress(const std::u16string& v) { mate_->SetBindAddress(v); }
  std::u16string GetServerAddress() { return mate_->GetServerAddress(); }
  int32_t GetServerPort() { return mate_->GetServerPort(); }
  int32_t GetSocksVersion() const { return mate_->GetSocksVersion(); }
  void SetSocksVersion(int32_t v) { mate_->SetSocksVersion(v); }
  std::u16string GetSocksServer() const { return mate_->GetSocksServer(); }
  void SetSocksServer(const std::u16string& v) { mate_->SetSocksServer(v); }
  int32_t GetSocksPort() const { return mate_->GetSocksPort(); }
  void SetSocksPort(int32_t v) { mate_->SetSocksPort(v); }
  std::u16string GetSocksUsername() const { return mate_->GetSocksUsername(); }
  void SetSocksUsername(const std::u16string& v) { mate_->SetSocksUsername(v); }
  std::u16string GetSocksPassword() const { return mate_->GetSocksPassword(); }
  void SetSocksPassword(const std::u16string& v) { mate_->SetSocksPassword(v); }

  // --- Talks -----------------------------------------------------------------------
  // Invites a connected peer: False with 3 (handle), 6 (not connected), 30 (a
  // call is pending or the peer has a talk state) or 50 (media failed).
  bool BeginTalk(TPeerHandle handle, bool audio, bool video);
  void EndTalk() { talks_->EndTalk(); }
  // The peer a call of ours waits on (the pending callee), or 0.
  TPeerHandle GetCaller() const { return talks_->Callee(); }
  int32_t GetTalkCount() const { return talks_->TalkCount(); }
  TPeerHandle GetTalker(int32_t index) const { return talks_->Talker(index); }
  int32_t GetTalkState(TPeerHandle handle);  // 0 and LastError 3 for an invalid handle
  bool AudioActive() const { return talks_->AudioActive(); }
  bool VideoActive() const { return talks_->VideoActive(); }

  // --- Devices and media settings (none sets LastError) ----------------------------
  int32_t GetCaptureDeviceCount() { return capture_->DeviceCount(); }
  std::u16string GetCaptureDeviceName(int32_t index);  // empty when out of range
  void FindCaptureCapabilities() { capture_->EnumerateDevices(); }
  bool SelectCaptureDevice(int32_t index) { return capture_->SetDeviceIndex(index); }
  int32_t GetFormatCount() { return capture_->FormatCount(); }
  bool GetFormatSize(int32_t index, int32_t& width, int32_t& height) {
    return capture_->GetFormatSize(index, width, height);
  }
  bool SelectCaptureFormat(int32_t index) { return capture_->SetFormatIndex(index); }
  int32_t GetRecordingDeviceCount() { return recorder_->DeviceCount(); }
  std::u16string GetRecordingDeviceName(int32_t index);
  // Takes effect when the recorder next starts.
  int32_t GetRecordingDevice() const { return recorder_->GetDeviceIndex(); }
  void SetRecordingDevice(int32_t index) { recorder_->SetDeviceIndex(index); }
  int32_t GetPlaybackDeviceCount() { return player_->DeviceCount(); }
  std::u16string GetPlaybackDeviceName(int32_t index);
  // Every talker's player made afterwards plays on this device.
  int32_t GetPlaybackDevice() const { return player_->GetDeviceIndex(); }
  void SetPlaybackDevice(int32_t index) { player_->SetDeviceIndex(index); }
  bool GetMuteRecording() const { return recorder_->GetMuted(); }
  void SetMuteRecording(bool muted) { recorder_->SetMuted(muted); }
  bool GetMutePlayback() const { return player_->GetMuted(); }
  void SetMutePlayback(bool muted) { player_->SetMuted(muted); }
  int32_t GetNoiseLevel() const { return noiseLevel_; }
  void SetNoiseLevel(int32_t level);
  int32_t GetFrameQuality() const { return frameQuality_; }
  void SetFrameQuality(int32_t quality);  // 1..5; other values are ignored

  // The recorder's own events, wired straight to the container's closures.
  void SetOnStartRecording(std::function<void()> f) { recorder_->Events.OnTalkStart = std::move(f); }
  void SetOnStopRecording(std::function<void()> f) { recorder_->Events.OnTalkStop = std::move(f); }
  void SetOnStartAudioOverload(std::function<void()> f) { recorder_->Events.OnLoud = std::move(f); }
  void SetOnStopAudioOverload(std::function<void()> f) { recorder_->Events.OnLoudEnd = std::move(f); }

  // A failure and its reason (a device's, a talk's media, a caught
  // exception), for the control's error log: the same report as the
  // transport's caught failures.
  void ReportDeviceFailure(const std::string& reason);

  // --- For tests ---------------------------------------------------------------------
  CMate& Mate() { return *mate_; }
  TTalkUnit& Talks() { return *talks_; }
  TFileUnit& Files() { return *files_; }
  IRecorder& Recorder() { return *recorder_; }
  ICaptureSource& Capture() { return *capture_; }
  // The record a handle names, or null; LastError stays as it is.
  TPeer* CheckPeer(TPeerHandle handle);
  size_t PeerCount() const { return peers_.size(); }
  // The 20 ms timer's work (public for tests on a test clock).
  void TimerTick();

 private:
  class TUnitHost;  // the units' view of the engine

  // CheckPeer that also sets LastError (0, or 3 when the handle names nothing).
  TPeer* SelectPeer(TPeerHandle handle);
  void PeerDisconnected(TPeer* peer);

  void Close(int32_t code);
  bool SendText(TPeerHandle handle, const std::u16string& text, int32_t channel);
  // The first checks of the text and file operations: LastError cleared,
  // the session is open (13) and the handle names a peer (3).
  TPeer* SelectOpenPeer(TPeerHandle handle);
  TPeer* TubePeer(TTubeId tube);  // the connected peer of a tube, or null

  // Session layer closures.
  void DoSessionOpen();
  void DoSessionClosed();
  void DoSessionRejected(int32_t code);
  void DoPeerBonded(TTubeId tube);
  void DoPeerClosed(TTubeId tube);
  void DoMessage(TTubeId tube, std::string& body, int32_t channel);
  void DoAck(TTubeId tube, int32_t channel);
  void DoBinary(TTubeId tube, const com::VARIANT& message);

  std::atomic<bool> destroying_{false};  // read by the capture's streaming thread too
  std::shared_ptr<TMediaFactory> media_;
  std::unique_ptr<CMate> mate_;
  std::unique_ptr<ICaptureSource> capture_;
  std::vector<std::unique_ptr<TPeer>> peers_;  // bonding order; handles ascending
  TPeerHandle nextHandle_ = 0;
  uint64_t bonds_ = 0;  // bonds opened, the last one's TPeer::Bond
  bool inTimer_ = false;
  win32::HiddenWindow timerWindow_;
  win32::WindowTimer timer_;  // of timerWindow_
  std::unique_ptr<IRecorder> recorder_;
  std::unique_ptr<IPlayer> player_;
  std::unique_ptr<IVideoEncoder> encoder_;
  std::unique_ptr<TUnitHost> host_;
  std::unique_ptr<TTalkUnit> talks_;
  std::unique_ptr<TFileUnit> files_;
  int32_t lastError_ = errNone;
  uint8_t status_ = ssClosed;
  std::u16string username_;
  int32_t noiseLevel_ = 2;
  int32_t frameQuality_ = 3;
};

}  // namespace tw::cln
