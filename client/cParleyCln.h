// TtwParleyClnX: the client control (coclass twParleyClnX). It owns one
// client engine, forwards each member of ItwParleyClnX to it with the COM
// forms of strings (BSTR copies), Booleans (VARIANT_BOOL: -1 out, any
// non-zero value in), 32-bit integers and byte arrays, and fires each engine
// event at the container's sink. The engine runs on the creating thread:
// its transport, timers and media poll through that thread's message queue,
// which the container must run.
//
// A failure that the container's sink returns from an event raised by one
// of the control's own members ends in that member's failure guard. Raised
// anywhere else (received messages, the engine's and the session layer's
// timers, the sound components' timers, or a message loop nested inside a
// member), no member can report it: the control writes it to its error log
// and carries on, so its timers and message windows keep working.
#pragma once

#include <memory>
#include <string>

#include "client/cParleyClnIntf.h"
#include "client/mParleyCln.h"
#include "control/cControlShell.h"

namespace tw {

class TtwParleyClnX final : public TControlObject<TtwParleyClnX, ItwParleyClnX> {
 public:
  static const TControlClass& Class();
  static const com::DispatchTable<ItwParleyClnX>& DispTable();
  // The factory's creator.
  static TControlShell* Create(com::ModuleLockCount& module);

  HRESULT AboutBox() override;
  HRESULT GenerateKeypair(BSTR* aPublicKey, BSTR* aPrivateKey, VARIANT_BOOL* Value) override;
  HRESULT TakeFingerprint(BSTR aPublicKey, BSTR* Value) override;
  HRESULT GetMoniker(LONG aHandle, LONG* Value) override;
  HRESULT SetMoniker(LONG aHandle, LONG aMoniker) override;
  HRESULT OpenSession(BSTR aHost, LONG aPort, BSTR aUsername, BSTR aPassword, VARIANT_BOOL* Value) override;
  HRESULT CloseSession(VARIANT_BOOL* Value) override;
  HRESULT DisconnectPeer(LONG aHandle, VARIANT_BOOL* Value) override;
  HRESULT GetPeerName(LONG aHandle, BSTR* Value) override;
  HRESULT SendAlertMessage(LONG aHandle, BSTR aMessage, VARIANT_BOOL* Value) override;
  HRESULT SendChatMessage(LONG aHandle, BSTR aMessage, VARIANT_BOOL* Value) override;
  HRESULT get_SecurityMode(LONG* Value) override;
  HRESULT put_SecurityMode(LONG Value) override;
  HRESULT get_PublicKey(BSTR* Value) override;
  HRESULT put_PublicKey(BSTR Value) override;
  HRESULT get_PrivateKey(BSTR* Value) override;
  HRESULT put_PrivateKey(BSTR Value) override;
  HRESULT get_SecretKey(BSTR* Value) override;
  HRESULT put_SecretKey(BSTR Value) override;
  HRESULT get_Fingerprints(BSTR* Value) override;
  HRESULT put_Fingerprints(BSTR Value) override;
  HRESULT get_BindAddress(BSTR* Value) override;
  HRESULT put_BindAddress(BSTR Value) override;
  HRESULT get_Username(BSTR* Value) override;
  HRESULT get_ServerAddress(BSTR* Value) override;
  HRESULT get_ServerPort(LONG* Value) override;
  HRESULT get_SocksVersion(LONG* Value) override;
  HRESULT put_SocksVersion(LONG Value) override;
  HRESULT get_SocksServer(BSTR* Value) override;
  HRESULT put_SocksServer(BSTR Value) override;
  HRESULT get_SocksPort(LONG* Value) override;
  HRESULT put_SocksPort(LONG Value) override;
  HRESULT get_SocksUsername(BSTR* Value) override;
  HRESULT put_SocksUsername(BSTR Value) override;
  HRESULT get_SocksPassword(BSTR* Value) override;
  HRESULT put_SocksPassword(BSTR Value) override;
  HRESULT get_TransferSuffix(BSTR* Value) override;
  HRESULT put_TransferSuffix(BSTR Value) override;
  HRESULT get_MuteRecording(VARIANT_BOOL* Value) override;
  HRESULT put_MuteRecording(VARIANT_BOOL Value) override;
  HRESULT get_MutePlayback(VARIANT_BOOL* Value) override;
  HRESULT put_MutePlayback(VARIANT_BOOL Value) override;
  HRESULT get_NoiseLevel(LONG* Value) override;
  HRESULT put_NoiseLevel(LONG Value) override;
  HRESULT BeginTalk(LONG aHandle, VARIANT_BOOL aAudio, VARIANT_BOOL aVideo, VARIANT_BOOL* Value) override;
  HRESULT EndTalk() override;
  HRESULT RequestOutFile(LONG aHandle, BSTR aFile, VARIANT_BOOL* Value) override;
  HRESULT CancelOutFile(LONG aHandle, VARIANT_BOOL* Value) override;
  HRESULT CancelInFile(LONG aHandle, VARIANT_BOOL* Value) override;
  HRESULT GetOutgoingFile(LONG aHandle, BSTR* Value) override;
  HRESULT get_FrameQuality(LONG* Value) override;
  HRESULT put_FrameQuality(LONG Value) override;
  HRESULT get_RecordingDevice(LONG* Value) override;
  HRESULT put_RecordingDevice(LONG Value) override;
  HRESULT get_PlaybackDevice(LONG* Value) override;
  HRESULT put_PlaybackDevice(LONG Value) override;
  HRESULT GetRecordingDeviceCount(LONG* Value) override;
  HRESULT GetRecordingDeviceName(LONG aIndex, BSTR* Value) override;
  HRESULT GetPlaybackDeviceCount(LONG* Value) override;
  HRESULT GetPlaybackDeviceName(LONG aIndex, BSTR* Value) override;
  HRESULT GetCaptureDeviceCount(LONG* Value) override;
  HRESULT GetCaptureDeviceName(LONG aIndex, BSTR* Value) override;
  HRESULT SelectCaptureDevice(LONG aIndex, VARIANT_BOOL* Value) override;
  HRESULT GetFormatCount(LONG* Value) override;
  HRESULT GetFormatSize(LONG aIndex, LONG* aWidth, LONG* aHeight, VARIANT_BOOL* Value) override;
  HRESULT SelectCaptureFormat(LONG aIndex, VARIANT_BOOL* Value) override;
  HRESULT FindCaptureCapabilities() override;
  HRESULT get_AudioActive(VARIANT_BOOL* Value) override;
  HRESULT get_LastError(LONG* Value) override;
  HRESULT get_VideoActive(VARIANT_BOOL* Value) override;
  HRESULT GetCaller(LONG* Result) override;
  HRESULT GetTalkCount(LONG* Result) override;
  HRESULT GetTalker(LONG aIndex, LONG* Result) override;
  HRESULT GetSessionStatus(LONG* Result) override;
  HRESULT GetTalkState(LONG aHandle, LONG* Result) override;
  HRESULT SendBinaryMessage(LONG aHandle, com::VARIANT* aBytes, VARIANT_BOOL* Value) override;

 private:
  explicit TtwParleyClnX(com::ModuleLockCount& module);
  ~TtwParleyClnX() override = default;  // the engine goes first: the session drops without events

  void WireEvents() override;

  // Runs `body`, which builds an event's arguments and fires it, when a sink
  // is connected. A failure inside it is raised when the event comes
  // straight from a member of this control, and is logged and contained
  // otherwise.
  template <class Body>
  void Raise(const char* event, Body&& body);
  void LogFailure(const std::string& operation) noexcept;

  void FireNoArgs(const char* event, com::DISPID id);
  void FireCode(const char* event, com::DISPID id, int32_t code);
  void FireHandle(const char* event, com::DISPID id, cln::TPeerHandle handle);
  void FireHandleCode(const char* event, com::DISPID id, cln::TPeerHandle handle, int32_t code);
  void FireText(const char* event, com::DISPID id, cln::TPeerHandle handle, const std::u16string& text);
  void FireBytes(const char* event, com::DISPID id, const cln::TPeerHandle* handle, cln::TBytes bytes);
  void FireProgress(const char* event, com::DISPID id, cln::TPeerHandle handle, int32_t countLo, int32_t countHi,
                    int32_t sizeLo, int32_t sizeHi);
  void FireTalkInvited(cln::TPeerHandle handle, bool& okay, bool& audio, bool& video);
  void FireInFileRequested(cln::TPeerHandle handle, std::u16string& path, bool& okay);
  void FireBinaryMessage(cln::TPeerHandle handle, const com::VARIANT& message);

  std::unique_ptr<cln::TTWParleyCln> engine_;
};

}  // namespace tw
