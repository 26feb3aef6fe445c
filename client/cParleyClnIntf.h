// ItwParleyClnX, the client control's dual interface, in its slot order
// (slot 7, AboutBox, follows IUnknown's three and IDispatch's four). A
// container may call it through the vtable or through IDispatch; the events
// interface ItwParleyClnXEvents is dispatch-only (see the DISPIDs in
// cParleyClnIds.h). Results come back through the last pointer, which must
// not be null (E_POINTER).
#pragma once

#include "client/cParleyClnIds.h"
#include "platform/com/dispatch.h"

namespace tw {

class ItwParleyClnX : public com::IDispatch {
 public:
  static constexpr com::IID kIid = IID_ItwParleyClnX;
  using Base = com::IDispatch;
  using HRESULT = com::HRESULT;
  using LONG = com::LONG;
  using BSTR = com::BSTR;
  using VARIANT_BOOL = com::VARIANT_BOOL;

  virtual HRESULT AboutBox() = 0;  // 7
  virtual HRESULT GenerateKeypair(BSTR* aPublicKey, BSTR* aPrivateKey, VARIANT_BOOL* Value) = 0;
  virtual HRESULT TakeFingerprint(BSTR aPublicKey, BSTR* Value) = 0;
  virtual HRESULT GetMoniker(LONG aHandle, LONG* Value) = 0;  // 10
  virtual HRESULT SetMoniker(LONG aHandle, LONG aMoniker) = 0;
  virtual HRESULT OpenSession(BSTR aHost, LONG aPort, BSTR aUsername, BSTR aPassword, VARIANT_BOOL* Value) = 0;
  virtual HRESULT CloseSession(VARIANT_BOOL* Value) = 0;
  virtual HRESULT DisconnectPeer(LONG aHandle, VARIANT_BOOL* Value) = 0;
  virtual HRESULT GetPeerName(LONG aHandle, BSTR* Value) = 0;  // 15
  virtual HRESULT SendAlertMessage(LONG aHandle, BSTR aMessage, VARIANT_BOOL* Value) = 0;
  virtual HRESULT SendChatMessage(LONG aHandle, BSTR aMessage, VARIANT_BOOL* Value) = 0;
  virtual HRESULT get_SecurityMode(LONG* Value) = 0;
  virtual HRESULT put_SecurityMode(LONG Value) = 0;
  virtual HRESULT get_PublicKey(BSTR* Value) = 0;  // 20
  virtual HRESULT put_PublicKey(BSTR Value) = 0;
  virtual HRESULT get_PrivateKey(BSTR* Value) = 0;
  virtual HRESULT put_PrivateKey(BSTR Value) = 0;
  virtual HRESULT get_SecretKey(BSTR* Value) = 0;
  virtual HRESULT put_SecretKey(BSTR Value) = 0;  // 25
  virtual HRESULT get_Fingerprints(BSTR* Value) = 0;
  virtual HRESULT put_Fingerprints(BSTR Value) = 0;
  virtual HRESULT get_BindAddress(BSTR* Value) = 0;
  virtual HRESULT put_BindAddress(BSTR Value) = 0;
  virtual HRESULT get_Username(BSTR* Value) = 0;  // 30
  virtual HRESULT get_ServerAddress(BSTR* Value) = 0;
  virtual HRESULT get_ServerPort(LONG* Value) = 0;
  virtual HRESULT get_SocksVersion(LONG* Value) = 0;
  virtual HRESULT put_SocksVersion(LONG Value) = 0;
  virtual HRESULT get_SocksServer(BSTR* Value) = 0;  // 35
  virtual HRESULT put_SocksServer(BSTR Value) = 0;
  virtual HRESULT get_SocksPort(LONG* Value) = 0;
  virtual HRESULT put_SocksPort(LONG Value) = 0;
  virtual HRESULT get_SocksUsername(BSTR* Value) = 0;
  virtual HRESULT put_SocksUsername(BSTR Value) = 0;  // 40
  virtual HRESULT get_SocksPassword(BSTR* Value) = 0;
  virtual HRESULT put_SocksPassword(BSTR Value) = 0;
  virtual HRESULT get_TransferSuffix(BSTR* Value) = 0;
  virtual HRESULT put_TransferSuffix(BSTR Value) = 0;
  virtual HRESULT get_MuteRecording(VARIANT_BOOL* Value) = 0;  // 45
  virtual HRESULT put_MuteRecording(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_MutePlayback(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_MutePlayback(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_NoiseLevel(LONG* Value) = 0;
  virtual HRESULT put_NoiseLevel(LONG Value) = 0;  // 50
  virtual HRESULT BeginTalk(LONG aHandle, VARIANT_BOOL aAudio, VARIANT_BOOL aVideo, VARIANT_BOOL* Value) = 0;
  virtual HRESULT EndTalk() = 0;
  virtual HRESULT RequestOutFile(LONG aHandle, BSTR aFile, VARIANT_BOOL* Value) = 0;
  virtual HRESULT CancelOutFile(LONG aHandle, VARIANT_BOOL* Value) = 0;
  virtual HRESULT CancelInFile(LONG aHandle, VARIANT_BOOL* Value) = 0;  // 55
  virtual HRESULT GetOutgoingFile(LONG aHandle, BSTR* Value) = 0;
  virtual HRESULT get_FrameQuality(LONG* Value) = 0;
  virtual HRESULT put_FrameQuality(LONG Value) = 0;
  virtual HRESULT get_RecordingDevice(LONG* Value) = 0;
  virtual HRESULT put_RecordingDevice(LONG Value) = 0;  // 60
  virtual HRESULT get_PlaybackDevice(LONG* Value) = 0;
  virtual HRESULT put_PlaybackDevice(LONG Value) = 0;
  virtual HRESULT GetRecordingDeviceCount(LONG* Value) = 0;
  virtual HRESULT GetRecordingDeviceName(LONG aIndex, BSTR* Value) = 0;
  virtual HRESULT GetPlaybackDeviceCount(LONG* Value) = 0;  // 65
  virtual HRESULT GetPlaybackDeviceName(LONG aIndex, BSTR* Value) = 0;
  virtual HRESULT GetCaptureDeviceCount(LONG* Value) = 0;
  virtual HRESULT GetCaptureDeviceName(LONG aIndex, BSTR* Value) = 0;
  virtual HRESULT SelectCaptureDevice(LONG aIndex, VARIANT_BOOL* Value) = 0;
  virtual HRESULT GetFormatCount(LONG* Value) = 0;  // 70
  virtual HRESULT GetFormatSize(LONG aIndex, LONG* aWidth, LONG* aHeight, VARIANT_BOOL* Value) = 0;
  virtual HRESULT SelectCaptureFormat(LONG aIndex, VARIANT_BOOL* Value) = 0;
  virtual HRESULT FindCaptureCapabilities() = 0;
  virtual HRESULT get_AudioActive(VARIANT_BOOL* Value) = 0;
  virtual HRESULT get_LastError(LONG* Value) = 0;  // 75
  virtual HRESULT get_VideoActive(VARIANT_BOOL* Value) = 0;
  virtual HRESULT GetCaller(LONG* Result) = 0;
  virtual HRESULT GetTalkCount(LONG* Result) = 0;
  virtual HRESULT GetTalker(LONG aIndex, LONG* Result) = 0;
  virtual HRESULT GetSessionStatus(LONG* Result) = 0;  // 80
  virtual HRESULT GetTalkState(LONG aHandle, LONG* Result) = 0;
  virtual HRESULT SendBinaryMessage(LONG aHandle, com::VARIANT* aBytes, VARIANT_BOOL* Value) = 0;  // 82

 protected:
  ~ItwParleyClnX() = default;
};

}  // namespace tw
