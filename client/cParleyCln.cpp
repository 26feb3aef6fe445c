// Each member checks its result pointer, runs the engine operation inside
// the shell's failure guard and converts at the boundary; each firer builds
// the event's arguments in declaration order and invokes the sink.
#include "client/cParleyCln.h"

#include <new>

#include "platform/win32/system.h"
#include "platform/win32/text.h"
#include "transport/mMill.h"

namespace tw {

using namespace tw::com;
using cln::TBytes;
using cln::TPeerHandle;

namespace {

const shell::Bitmap& ParleyClnBitmap() {
  // 16 x 16: a headset with a green talk light, on a transparent ground ('.').
  static const char* const kRows[16] = {
      "................", ".....######.....", "...##......##...", "..#..........#..",
      ".#............#.", ".#............#.", "##............##", "###..........###",
      "###..........###", "###..........###", "##............#.", "..............#.",
      "............#g..", "..........##....", "................", "................"};
  static const shell::Bitmap bitmap = ControlBitmap(kRows);
  return bitmap;
}

}  // namespace

const TControlClass& TtwParleyClnX::Class() {
  static const TControlClass cls{CLSID_twParleyClnX,
                                 IID_ItwParleyClnX,
                                 DIID_ItwParleyClnXEvents,
                                 LIBID_twParleyCln,
                                 kParleyClnProgId,
                                 "twParleyCln",
                                 kParleyClnTypeLibVersion,
                                 "ItwParleyClnX",
                                 "ItwParleyClnXEvents",
                                 u"twParley Client",
                                 u"Client control of the twParley toolkit",
                                 &ParleyClnBitmap};
  return cls;
}

const DispatchTable<ItwParleyClnX>& TtwParleyClnX::DispTable() {
  using I = ItwParleyClnX;
  static const DispatchTable<I> table(IID_ItwParleyClnX, u"twParleyCln.twParleyClnX", {
      Method(u"AboutBox", DISPID_CLN_ABOUTBOX, &I::AboutBox),
      Method(u"GenerateKeypair", DISPID_CLN_GENERATEKEYPAIR, &I::GenerateKeypair),
      Method(u"TakeFingerprint", DISPID_CLN_TAKEFINGERPRINT, &I::TakeFingerprint),
      Method(u"GetMoniker", DISPID_CLN_GETMONIKER, &I::GetMoniker),
      Method(u"SetMoniker", DISPID_CLN_SETMONIKER, &I::SetMoniker),
      Method(u"OpenSession", DISPID_CLN_OPENSESSION, &I::OpenSession),
      Method(u"CloseSession", DISPID_CLN_CLOSESESSION, &I::CloseSession),
      Method(u"DisconnectPeer", DISPID_CLN_DISCONNECTPEER, &I::DisconnectPeer),
      Method(u"GetPeerName", DISPID_CLN_GETPEERNAME, &I::GetPeerName),
      Method(u"SendAlertMessage", DISPID_CLN_SENDALERTMESSAGE, &I::SendAlertMessage),
      Method(u"SendChatMessage", DISPID_CLN_SENDCHATMESSAGE, &I::SendChatMessage),
      PropGet(u"SecurityMode", DISPID_CLN_SECURITYMODE, &I::get_SecurityMode),
      PropPut(u"SecurityMode", DISPID_CLN_SECURITYMODE, &I::put_SecurityMode),
      PropGet(u"PublicKey", DISPID_CLN_PUBLICKEY, &I::get_PublicKey),
      PropPut(u"PublicKey", DISPID_CLN_PUBLICKEY, &I::put_PublicKey),
      PropGet(u"PrivateKey", DISPID_CLN_PRIVATEKEY, &I::get_PrivateKey),
      PropPut(u"PrivateKey", DISPID_CLN_PRIVATEKEY, &I::put_PrivateKey),
      PropGet(u"SecretKey", DISPID_CLN_SECRETKEY, &I::get_SecretKey),
      PropPut(u"SecretKey", DISPID_CLN_SECRETKEY, &I::put_SecretKey),
      PropGet(u"Fingerprints", DISPID_CLN_FINGERPRINTS, &I::get_Fingerprints),
      PropPut(u"Fingerprints", DISPID_CLN_FINGERPRINTS, &I::put_Fingerprints),
      PropGet(u"BindAddress", DISPID_CLN_BINDADDRESS, &I::get_BindAddress),
      PropPut(u"BindAddress", DISPID_CLN_BINDADDRESS, &I::put_BindAddress),
      PropGet(u"Username", DISPID_CLN_USERNAME, &I::get_Username),
      PropGet(u"ServerAddress", DISPID_CLN_SERVERADDRESS, &I::get_ServerAddress),
      PropGet(u"ServerPort", DISPID_CLN_SERVERPORT, &I::get_ServerPort),
      PropGet(u"SocksVersion", DISPID_CLN_SOCKSVERSION, &I::get_SocksVersion),
      PropPut(u"SocksVersion", DISPID_CLN_SOCKSVERSION, &I::put_SocksVersion),
      PropGet(u"SocksServer", DISPID_CLN_SOCKSSERVER, &I::get_SocksServer),
      PropPut(u"SocksServer", DISPID_CLN_SOCKSSERVER, &I::put_SocksServer),
      PropGet(u"SocksPort", DISPID_CLN_SOCKSPORT, &I::get_SocksPort),
      PropPut(u"SocksPort", DISPID_CLN_SOCKSPORT, &I::put_SocksPort),
      PropGet(u"SocksUsername", DISPID_CLN_SOCKSUSERNAME, &I::get_SocksUsername),
      PropPut(u"SocksUsername", DISPID_CLN_SOCKSUSERNAME, &I::put_SocksUsername),
      PropGet(u"SocksPassword", DISPID_CLN_SOCKSPASSWORD, &I::get_SocksPassword),
      PropPut(u"SocksPassword", DISPID_CLN_SOCKSPASSWORD, &I::put_SocksPassword),
      PropGet(u"TransferSuffix", DISPID_CLN_TRANSFERSUFFIX, &I::get_TransferSuffix),
      PropPut(u"TransferSuffix", DISPID_CLN_TRANSFERSUFFIX, &I::put_TransferSuffix),
      PropGet(u"MuteRecording", DISPID_CLN_MUTERECORDING, &I::get_MuteRecording),
      PropPut(u"MuteRecording", DISPID_CLN_MUTERECORDING, &I::put_MuteRecording),
      PropGet(u"MutePlayback", DISPID_CLN_MUTEPLAYBACK, &I::get_MutePlayback),
      PropPut(u"MutePlayback", DISPID_CLN_MUTEPLAYBACK, &I::put_MutePlayback),
      PropGet(u"NoiseLevel", DISPID_CLN_NOISELEVEL, &I::get_NoiseLevel),
      PropPut(u"NoiseLevel", DISPID_CLN_NOISELEVEL, &I::put_NoiseLevel),
      Method(u"BeginTalk", DISPID_CLN_BEGINTALK, &I::BeginTalk),
      Method(u"EndTalk", DISPID_CLN_ENDTALK, &I::EndTalk),
      Method(u"RequestOutFile", DISPID_CLN_REQUESTOUTFILE, &I::RequestOutFile),
      Method(u"CancelOutFile", DISPID_CLN_CANCELOUTFILE, &I::CancelOutFile),
      Method(u"CancelInFile", DISPID_CLN_CANCELINFILE, &I::CancelInFile),
      Method(u"GetOutgoingFile", DISPID_CLN_GETOUTGOINGFILE, &I::GetOutgoingFile),
      PropGet(u"FrameQuality", DISPID_CLN_FRAMEQUALITY, &I::get_FrameQuality),
      PropPut(u"FrameQuality", DISPID_CLN_FRAMEQUALITY, &I::put_FrameQuality),
      PropGet(u"RecordingDevice", DISPID_CLN_RECORDINGDEVICE, &I::get_RecordingDevice),
      PropPut(u"RecordingDevice", DISPID_CLN_RECORDINGDEVICE, &I::put_RecordingDevice),
      PropGet(u"PlaybackDevice", DISPID_CLN_PLAYBACKDEVICE, &I::get_PlaybackDevice),
      PropPut(u"PlaybackDevice", DISPID_CLN_PLAYBACKDEVICE, &I::put_PlaybackDevice),
      Method(u"GetRecordingDeviceCount", DISPID_CLN_GETRECORDINGDEVICECOUNT, &I::GetRecordingDeviceCount),
      Method(u"GetRecordingDeviceName", DISPID_CLN_GETRECORDINGDEVICENAME, &I::GetRecordingDeviceName),
      Method(u"GetPlaybackDeviceCount", DISPID_CLN_GETPLAYBACKDEVICECOUNT, &I::GetPlaybackDeviceCount),
      Method(u"GetPlaybackDeviceName", DISPID_CLN_GETPLAYBACKDEVICENAME, &I::GetPlaybackDeviceName),
      Method(u"GetCaptureDeviceCount", DISPID_CLN_GETCAPTUREDEVICECOUNT, &I::GetCaptureDeviceCount),
      Method(u"GetCaptureDeviceName", DISPID_CLN_GETCAPTUREDEVICENAME, &I::GetCaptureDeviceName),
      Method(u"SelectCaptureDevice", DISPID_CLN_SELECTCAPTUREDEVICE, &I::SelectCaptureDevice),
      Method(u"GetFormatCount", DISPID_CLN_GETFORMATCOUNT, &I::GetFormatCount),
      Method(u"GetFormatSize", DISPID_CLN_GETFORMATSIZE, &I::GetFormatSize),
      Method(u"SelectCaptureFormat", DISPID_CLN_SELECTCAPTUREFORMAT, &I::SelectCaptureFormat),
      Method(u"FindCaptureCapabilities", DISPID_CLN_FINDCAPTURECAPABILITIES, &I::FindCaptureCapabilities),
      PropGet(u"AudioActive", DISPID_CLN_AUDIOACTIVE, &I::get_AudioActive),
      PropGet(u"LastError", DISPID_CLN_LASTERROR, &I::get_LastError),
      PropGet(u"VideoActive", DISPID_CLN_VIDEOACTIVE, &I::get_VideoActive),
      Method(u"GetCaller", DISPID_CLN_GETCALLER, &I::GetCaller),
      Method(u"GetTalkCount", DISPID_CLN_GETTALKCOUNT, &I::GetTalkCount),
      Method(u"GetTalker", DISPID_CLN_GETTALKER, &I::GetTalker),
      Method(u"GetSessionStatus", DISPID_CLN_GETSESSIONSTATUS, &I::GetSessionStatus),
      Method(u"GetTalkState", DISPID_CLN_GETTALKSTATE, &I::GetTalkState),
      Method(u"SendBinaryMessage", DISPID_CLN_SENDBINARYMESSAGE, &I::SendBinaryMessage),
  });
  return table;
}

TControlShell* TtwParleyClnX::Create(ModuleLockCount& module) { return new TtwParleyClnX(module); }

TtwParleyClnX::TtwParleyClnX(ModuleLockCount& module)
    : TControlObject(Class(), module), engine_(std::make_unique<cln::TTWParleyCln>()) {}

void TtwParleyClnX::WireEvents() {
  cln::TParleyClnEvents& e = engine_->Events;
  e.OnError = [this](int32_t code) { FireCode("OnError", DISPID_CLN_ONERROR, code); };
  e.OnAlertMessage = [this](TPeerHandle h, const std::u16string& text) {
    FireText("OnAlertMessage", DISPID_CLN_ONALERTMESSAGE, h, text);
  };
  e.OnChatMessage = [this](TPeerHandle h, const std::u16string& text) {
    FireText("OnChatMessage", DISPID_CLN_ONCHATMESSAGE, h, text);
  };
  e.OnBinaryMessage = [this](TPeerHandle h, const VARIANT& m) { FireBinaryMessage(h, m); };
  e.OnPeerConnected = [this](TPeerHandle h) { FireHandle("OnPeerConnected", DISPID_CLN_ONPEERCONNECTED, h); };
  e.OnPeerDisconnected = [this](TPeerHandle h) {
    FireHandle("OnPeerDisconnected", DISPID_CLN_ONPEERDISCONNECTED, h);
  };
  e.OnSessionClosed = [this] { FireNoArgs("OnSessionClosed", DISPID_CLN_ONSESSIONCLOSED); };
  e.OnSessionOpen = [this] { FireNoArgs("OnSessionOpen", DISPID_CLN_ONSESSIONOPEN); };
  e.OnSessionRejected = [this](int32_t code) { FireCode("OnSessionRejected", DISPID_CLN_ONSESSIONREJECTED, code); };
  e.OnTalkInvited = [this](TPeerHandle h, bool& okay, bool& audio, bool& video) {
    FireTalkInvited(h, okay, audio, video);
  };
  e.OnTalkBegan = [this](TPeerHandle h) { FireHandle("OnTalkBegan", DISPID_CLN_ONTALKBEGAN, h); };
  e.OnTalkJoined = [this](TPeerHandle h) { FireHandle("OnTalkJoined", DISPID_CLN_ONTALKJOINED, h); };
  e.OnTalkRefused = [this](TPeerHandle h, int32_t code) {
    FireHandleCode("OnTalkRefused", DISPID_CLN_ONTALKREFUSED, h, code);
  };
  e.OnTalkEnded = [this](TPeerHandle h) { FireHandle("OnTalkEnded", DISPID_CLN_ONTALKENDED, h); };
  e.OnWaveRecorded = [this](TBytes data) { FireBytes("OnWaveRecorded", DISPID_CLN_ONWAVERECORDED, nullptr, data); };
  e.OnWavePlayed = [this](TPeerHandle h, TBytes data) {
    FireBytes("OnWavePlayed", DISPID_CLN_ONWAVEPLAYED, &h, data);
  };
  e.OnLocalFrame = [this](TBytes image) { FireBytes("OnLocalFrame", DISPID_CLN_ONLOCALFRAME, nullptr, image); };
  e.OnRemoteFrame = [this](TPeerHandle h, TBytes image) {
    FireBytes("OnRemoteFrame", DISPID_CLN_ONREMOTEFRAME, &h, image);
  };
  e.OnOutFileProgress = [this](TPeerHandle h, int32_t countLo, int32_t countHi, int32_t sizeLo, int32_t sizeHi) {
    FireProgress("OnOutFileProgress", DISPID_CLN_ONOUTFILEPROGRESS, h, countLo, countHi, sizeLo, sizeHi);
  };
  e.OnOutFileDone = [this](TPeerHandle h, int32_t code) {
    FireHandleCode("OnOutFileDone", DISPID_CLN_ONOUTFILEDONE, h, code);
  };
  e.OnInFileRequested = [this](TPeerHandle h, std::u16string& path, bool& okay) { FireInFileRequested(h, path, okay); };
  e.OnInFileProgress = [this](TPeerHandle h, int32_t countLo, int32_t countHi, int32_t sizeLo, int32_t sizeHi) {
    FireProgress("OnInFileProgress", DISPID_CLN_ONINFILEPROGRESS, h, countLo, countHi, sizeLo, sizeHi);
  };
  e.OnInFileDone = [this](TPeerHandle h, int32_t code) {
    FireHandleCode("OnInFileDone", DISPID_CLN_ONINFILEDONE, h, code);
  };
  // The recorder's own events, kept by the engine's recorder.
  engine_->SetOnStartRecording([this] { FireNoArgs("OnStartRecording", DISPID_CLN_ONSTARTRECORDING); });
  engine_->SetOnStopRecording([this] { FireNoArgs("OnStopRecording", DISPID_CLN_ONSTOPRECORDING); });
  engine_->SetOnStartAudioOverload([this] { FireNoArgs("OnStartAudioOverload", DISPID_CLN_ONSTARTAUDIOOVERLOAD); });
  engine_->SetOnStopAudioOverload([this] { FireNoArgs("OnStopAudioOverload", DISPID_CLN_ONSTOPAUDIOOVERLOAD); });
  // The transport reports the failures its guards caught; they go to the
  // same log (its other reports are traces and stay unwritten).
  engine_->Mate().Mill().Events.OnMillReport = [this](const std::string& text) {
    if (text.rfind("*EXP*", 0) == 0) LogFailure(text);
  };
}

// --- Members ------------------------------------------------------------------------

HRESULT TtwParleyClnX::AboutBox() {
  return Member([&] { ShowAboutBox(); });
}

HRESULT TtwParleyClnX::GenerateKeypair(BSTR* aPublicKey, BSTR* aPrivateKey, VARIANT_BOOL* Value) {
  return AnswerKeypair(*engine_, aPublicKey, aPrivateKey, Value);
}

HRESULT TtwParleyClnX::TakeFingerprint(BSTR aPublicKey, BSTR* Value) {
  return Answer(Value, [&] { return engine_->TakeFingerprint(FromBstr(aPublicKey)); });
}

HRESULT TtwParleyClnX::GetMoniker(LONG aHandle, LONG* Value) {
  return Answer(Value, [&] { return engine_->GetMoniker(aHandle); });
}

HRESULT TtwParleyClnX::SetMoniker(LONG aHandle, LONG aMoniker) {
  return Member([&] { engine_->SetMoniker(aHandle, aMoniker); });
}

HRESULT TtwParleyClnX::OpenSession(BSTR aHost, LONG aPort, BSTR aUsername, BSTR aPassword, VARIANT_BOOL* Value) {
  return Answer(Value, [&] {
    return engine_->OpenSession(FromBstr(aHost), aPort, FromBstr(aUsername), FromBstr(aPassword));
  });
}

HRESULT TtwParleyClnX::CloseSession(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->CloseSession(); });
}

HRESULT TtwParleyClnX::DisconnectPeer(LONG aHandle, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->DisconnectPeer(aHandle); });
}

HRESULT TtwParleyClnX::GetPeerName(LONG aHandle, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPeerName(aHandle); });
}

HRESULT TtwParleyClnX::SendAlertMessage(LONG aHandle, BSTR aMessage, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->SendAlertMessage(aHandle, FromBstr(aMessage)); });
}

HRESULT TtwParleyClnX::SendChatMessage(LONG aHandle, BSTR aMessage, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->SendChatMessage(aHandle, FromBstr(aMessage)); });
}

HRESULT TtwParleyClnX::get_SecurityMode(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetSecurityMode(); });
}

HRESULT TtwParleyClnX::put_SecurityMode(LONG Value) {
  return Member([&] { engine_->SetSecurityMode(Value); });
}

HRESULT TtwParleyClnX::get_PublicKey(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPublicKey(); });
}

HRESULT TtwParleyClnX::put_PublicKey(BSTR Value) {
  return Member([&] { engine_->SetPublicKey(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_PrivateKey(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPrivateKey(); });
}

HRESULT TtwParleyClnX::put_PrivateKey(BSTR Value) {
  return Member([&] { engine_->SetPrivateKey(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_SecretKey(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetSecretKey(); });
}

HRESULT TtwParleyClnX::put_SecretKey(BSTR Value) {
  return Member([&] { engine_->SetSecretKey(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_Fingerprints(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetFingerprints(); });
}

HRESULT TtwParleyClnX::put_Fingerprints(BSTR Value) {
  return Member([&] { engine_->SetFingerprints(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_BindAddress(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetBindAddress(); });
}

HRESULT TtwParleyClnX::put_BindAddress(BSTR Value) {
  return Member([&] { engine_->SetBindAddress(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_Username(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetUsername(); });
}

HRESULT TtwParleyClnX::get_ServerAddress(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetServerAddress(); });
}

HRESULT TtwParleyClnX::get_ServerPort(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetServerPort(); });
}

HRESULT TtwParleyClnX::get_SocksVersion(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetSocksVersion(); });
}

HRESULT TtwParleyClnX::put_SocksVersion(LONG Value) {
  return Member([&] { engine_->SetSocksVersion(Value); });
}

HRESULT TtwParleyClnX::get_SocksServer(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetSocksServer(); });
}

HRESULT TtwParleyClnX::put_SocksServer(BSTR Value) {
  return Member([&] { engine_->SetSocksServer(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_SocksPort(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetSocksPort(); });
}

HRESULT TtwParleyClnX::put_SocksPort(LONG Value) {
  return Member([&] { engine_->SetSocksPort(Value); });
}

HRESULT TtwParleyClnX::get_SocksUsername(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetSocksUsername(); });
}

HRESULT TtwParleyClnX::put_SocksUsername(BSTR Value) {
  return Member([&] { engine_->SetSocksUsername(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_SocksPassword(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetSocksPassword(); });
}

HRESULT TtwParleyClnX::put_SocksPassword(BSTR Value) {
  return Member([&] { engine_->SetSocksPassword(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_TransferSuffix(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetTransferSuffix(); });
}

HRESULT TtwParleyClnX::put_TransferSuffix(BSTR Value) {
  return Member([&] { engine_->SetTransferSuffix(FromBstr(Value)); });
}

HRESULT TtwParleyClnX::get_NoiseLevel(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetNoiseLevel(); });
}

HRESULT TtwParleyClnX::put_NoiseLevel(LONG Value) {
  return Member([&] { engine_->SetNoiseLevel(Value); });
}

HRESULT TtwParleyClnX::get_FrameQuality(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetFrameQuality(); });
}

HRESULT TtwParleyClnX::put_FrameQuality(LONG Value) {
  return Member([&] { engine_->SetFrameQuality(Value); });
}

HRESULT TtwParleyClnX::get_LastError(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetLastError(); });
}

HRESULT TtwParleyClnX::GetSessionStatus(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetSessionStatus(); });
}

HRESULT TtwParleyClnX::SendBinaryMessage(LONG aHandle, VARIANT* aBytes, VARIANT_BOOL* Value) {
  return Answer(Value, [&] {
    VARIANT empty;
    VariantInit(&empty);
    return engine_->SendBinaryMessage(aHandle, aBytes ? *aBytes : empty);
  });
}

// --- Media settings and devices ----------------------------------------------------------

HRESULT TtwParleyClnX::get_MuteRecording(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->GetMuteRecording(); });
}

HRESULT TtwParleyClnX::put_MuteRecording(VARIANT_BOOL Value) {
  return Member([&] { engine_->SetMuteRecording(FromVariantBool(Value)); });
}

HRESULT TtwParleyClnX::get_MutePlayback(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->GetMutePlayback(); });
}

HRESULT TtwParleyClnX::put_MutePlayback(VARIANT_BOOL Value) {
  return Member([&] { engine_->SetMutePlayback(FromVariantBool(Value)); });
}

HRESULT TtwParleyClnX::get_RecordingDevice(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetRecordingDevice(); });
}

HRESULT TtwParleyClnX::put_RecordingDevice(LONG Value) {
  return Member([&] { engine_->SetRecordingDevice(Value); });
}

HRESULT TtwParleyClnX::get_PlaybackDevice(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetPlaybackDevice(); });
}

HRESULT TtwParleyClnX::put_PlaybackDevice(LONG Value) {
  return Member([&] { engine_->SetPlaybackDevice(Value); });
}

HRESULT TtwParleyClnX::GetRecordingDeviceCount(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetRecordingDeviceCount(); });
}

HRESULT TtwParleyClnX::GetRecordingDeviceName(LONG aIndex, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetRecordingDeviceName(aIndex); });
}

HRESULT TtwParleyClnX::GetPlaybackDeviceCount(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetPlaybackDeviceCount(); });
}

HRESULT TtwParleyClnX::GetPlaybackDeviceName(LONG aIndex, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPlaybackDeviceName(aIndex); });
}

HRESULT TtwParleyClnX::GetCaptureDeviceCount(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetCaptureDeviceCount(); });
}

HRESULT TtwParleyClnX::GetCaptureDeviceName(LONG aIndex, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetCaptureDeviceName(aIndex); });
}

HRESULT TtwParleyClnX::SelectCaptureDevice(LONG aIndex, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->SelectCaptureDevice(aIndex); });
}

HRESULT TtwParleyClnX::GetFormatCount(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetFormatCount(); });
}

HRESULT TtwParleyClnX::GetFormatSize(LONG aIndex, LONG* aWidth, LONG* aHeight, VARIANT_BOOL* Value) {
  if (!aWidth || !aHeight || !Value) return E_POINTER;
  return Member([&] {
    int32_t width = 0, height = 0;
    const bool ok = engine_->GetFormatSize(aIndex, width, height);
    *aWidth = width;
    *aHeight = height;
    *Value = ToVariantBool(ok);
  });
}

HRESULT TtwParleyClnX::SelectCaptureFormat(LONG aIndex, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->SelectCaptureFormat(aIndex); });
}

HRESULT TtwParleyClnX::FindCaptureCapabilities() {
  return Member([&] { engine_->FindCaptureCapabilities(); });
}

// --- Talks -----------------------------------------------------------------------------

HRESULT TtwParleyClnX::BeginTalk(LONG aHandle, VARIANT_BOOL aAudio, VARIANT_BOOL aVideo, VARIANT_BOOL* Value) {
  return Answer(Value, [&] {
    return engine_->BeginTalk(aHandle, FromVariantBool(aAudio), FromVariantBool(aVideo));
  });
}

HRESULT TtwParleyClnX::EndTalk() {
  return Member([&] { engine_->EndTalk(); });
}

HRESULT TtwParleyClnX::get_AudioActive(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->AudioActive(); });
}

HRESULT TtwParleyClnX::get_VideoActive(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->VideoActive(); });
}

HRESULT TtwParleyClnX::GetCaller(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetCaller(); });
}

HRESULT TtwParleyClnX::GetTalkCount(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetTalkCount(); });
}

HRESULT TtwParleyClnX::GetTalker(LONG aIndex, LONG* Value) {
  return Answer(Value, [&] { return engine_->GetTalker(aIndex); });
}

HRESULT TtwParleyClnX::GetTalkState(LONG aHandle, LONG* Value) {
  return Answer(Value, [&] { return engine_->GetTalkState(aHandle); });
}

// --- Files -----------------------------------------------------------------------------

HRESULT TtwParleyClnX::RequestOutFile(LONG aHandle, BSTR aFile, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->RequestOutFile(aHandle, FromBstr(aFile)); });
}

HRESULT TtwParleyClnX::CancelOutFile(LONG aHandle, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->CancelOutFile(aHandle); });
}

HRESULT TtwParleyClnX::CancelInFile(LONG aHandle, VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->CancelInFile(aHandle); });
}

HRESULT TtwParleyClnX::GetOutgoingFile(LONG aHandle, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetOutgoingFile(aHandle); });
}

// --- Firers ---------------------------------------------------------------------------

template <class Body>
void TtwParleyClnX::Raise(const char* event, Body&& body) {
  if (!HasSink()) return;  // nothing to build: no copy of a frame nobody looks at
  // Straight from a member of this control (not from a message loop that
  // the member runs): the member's guard reports the failure.
  if (InOwnMember()) {
    body();
    return;
  }
  try {
    body();
  } catch (const std::exception& failure) {
    LogFailure(std::string("*EXP*  TtwParleyClnX.") + event + ": " + failure.what());
  } catch (...) {
    LogFailure(std::string("*EXP*  TtwParleyClnX.") + event);
  }
}

void TtwParleyClnX::LogFailure(const std::string& operation) noexcept {
  try {
    std::string line = operation;
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';  // one line each, whatever the sink said
    TFileErrorLog(win32::ExeFolder() + kClientErrorLogFileName).Write(line);
  } catch (...) {
    // Logging never fails the event's path.
  }
}

void TtwParleyClnX::FireNoArgs(const char* event, DISPID id) {
  Raise(event, [&] { FireEvent(id); });
}

void TtwParleyClnX::FireCode(const char* event, DISPID id, int32_t code) {
  Raise(event, [&] { FireEvent(id, code); });
}

void TtwParleyClnX::FireHandle(const char* event, DISPID id, TPeerHandle handle) {
  Raise(event, [&] { FireEvent(id, handle); });
}

void TtwParleyClnX::FireHandleCode(const char* event, DISPID id, TPeerHandle handle, int32_t code) {
  Raise(event, [&] { FireEvent(id, handle, code); });
}

void TtwParleyClnX::FireText(const char* event, DISPID id, TPeerHandle handle, const std::u16string& text) {
  Raise(event, [&] { FireEvent(id, handle, std::u16string_view(text)); });
}

void TtwParleyClnX::FireBytes(const char* event, DISPID id, const TPeerHandle* handle, TBytes bytes) {
  Raise(event, [&] {
    // A new byte array for the event, released when it returns.
    Variant data;
    if (FAILED(VariantFromBytes(bytes, data.Out()))) throw std::bad_alloc();
    const auto size = static_cast<int32_t>(bytes.size());
    if (handle)
      FireEvent(id, *handle, ByRef(&data), size);
    else
      FireEvent(id, ByRef(&data), size);
  });
}

void TtwParleyClnX::FireProgress(const char* event, DISPID id, TPeerHandle handle, int32_t countLo, int32_t countHi,
                                 int32_t sizeLo, int32_t sizeHi) {
  Raise(event, [&] { FireEvent(id, handle, countLo, countHi, sizeLo, sizeHi); });
}

// The three answers go by reference; the engine reads them back only when
// the sink returned without failing (no sink, or a failed one: the engine's
// own answer, a refusal, stands).
void TtwParleyClnX::FireTalkInvited(TPeerHandle handle, bool& okay, bool& audio, bool& video) {
  Raise("OnTalkInvited", [&] {
    VARIANT_BOOL o = ToVariantBool(okay), a = ToVariantBool(audio), v = ToVariantBool(video);
    FireEvent(DISPID_CLN_ONTALKINVITED, handle, ByRef(&o), ByRef(&a), ByRef(&v));
    okay = FromVariantBool(o);
    audio = FromVariantBool(a);
    video = FromVariantBool(v);
  });
}

// Likewise the path and the answer of an offer (untouched: declined).
void TtwParleyClnX::FireInFileRequested(TPeerHandle handle, std::u16string& path, bool& okay) {
  Raise("OnInFileRequested", [&] {
    // The container writes the path through the reference (freeing the old
    // string); whatever the slot holds at the end is freed here.
    Bstr slot(path);
    if (!slot.Get()) throw std::bad_alloc();
    VARIANT_BOOL accepted = ToVariantBool(okay);
    FireEvent(DISPID_CLN_ONINFILEREQUESTED, handle, ByRef(slot.InOut()), ByRef(&accepted));
    path = slot.View();
    okay = FromVariantBool(accepted);
  });
}

void TtwParleyClnX::FireBinaryMessage(TPeerHandle handle, const VARIANT& message) {
  Raise("OnBinaryMessage", [&] {
    // By reference to the engine's variant, which is released after the call.
    FireEvent(DISPID_CLN_ONBINARYMESSAGE, handle, ByRef(const_cast<VARIANT*>(&message)));
  });
}

}  // namespace tw
