// Each member checks its result pointer, runs the engine operation inside
// the shell's failure guard and converts at the boundary; each firer builds
// the event's arguments in declaration order and lets the shell invoke.
#include "server/cParleySrv.h"

namespace tw {

using namespace tw::com;

namespace {

const shell::Bitmap& ParleySrvBitmap() {
  // 16 x 16: a server tower with a green light, on a transparent ground ('.').
  static const char* const kRows[16] = {
      "................", "....########....", "....#hhhhhh#....", "....#h####h#....",
      "....#hhhhhh#....", "....#h####h#....", "....#hhhhhh#....", "....#hhhhgh#....",
      "....#hhhhhh#....", "....#h####h#....", "....#hhhhhh#....", "....#hhhhhh#....",
      "....########....", "..############..", "..############..", "................"};
  static const shell::Bitmap bitmap = ControlBitmap(kRows);
  return bitmap;
}

}  // namespace

const TControlClass& TtwParleySrvX::Class() {
  static const TControlClass cls{CLSID_twParleySrvX,
                                 IID_ItwParleySrvX,
                                 DIID_ItwParleySrvXEvents,
                                 LIBID_twParleySrv,
                                 kParleySrvProgId,
                                 "twParleySrv",
                                 kParleySrvTypeLibVersion,
                                 "ItwParleySrvX",
                                 "ItwParleySrvXEvents",
                                 u"twParley Server",
                                 u"Server control of the twParley toolkit",
                                 &ParleySrvBitmap};
  return cls;
}

const DispatchTable<ItwParleySrvX>& TtwParleySrvX::DispTable() {
  using I = ItwParleySrvX;
  static const DispatchTable<I> table(IID_ItwParleySrvX, u"twParleySrv.twParleySrvX", {
      Method(u"AboutBox", DISPID_SRV_ABOUTBOX, &I::AboutBox),
      Method(u"GenerateKeypair", DISPID_SRV_GENERATEKEYPAIR, &I::GenerateKeypair),
      Method(u"TakeFingerprint", DISPID_SRV_TAKEFINGERPRINT, &I::TakeFingerprint),
      Method(u"DisconnectPeer", DISPID_SRV_DISCONNECTPEER, &I::DisconnectPeer),
      Method(u"GetPeerAddress", DISPID_SRV_GETPEERADDRESS, &I::GetPeerAddress),
      Method(u"GetPeerPort", DISPID_SRV_GETPEERPORT, &I::GetPeerPort),
      Method(u"GetMoniker", DISPID_SRV_GETMONIKER, &I::GetMoniker),
      Method(u"GetPeerName", DISPID_SRV_GETPEERNAME, &I::GetPeerName),
      Method(u"SetMoniker", DISPID_SRV_SETMONIKER, &I::SetMoniker),
      Method(u"Start", DISPID_SRV_START, &I::Start),
      Method(u"Stop", DISPID_SRV_STOP, &I::Stop),
      PropGet(u"LocalIPList", DISPID_SRV_LOCALIPLIST, &I::get_LocalIPList),
      PropGet(u"LastError", DISPID_SRV_LASTERROR, &I::get_LastError),
      PropGet(u"SecurityMode", DISPID_SRV_SECURITYMODE, &I::get_SecurityMode),
      PropPut(u"SecurityMode", DISPID_SRV_SECURITYMODE, &I::put_SecurityMode),
      PropGet(u"PublicKey", DISPID_SRV_PUBLICKEY, &I::get_PublicKey),
      PropPut(u"PublicKey", DISPID_SRV_PUBLICKEY, &I::put_PublicKey),
      PropGet(u"PrivateKey", DISPID_SRV_PRIVATEKEY, &I::get_PrivateKey),
      PropPut(u"PrivateKey", DISPID_SRV_PRIVATEKEY, &I::put_PrivateKey),
      PropGet(u"SecretKey", DISPID_SRV_SECRETKEY, &I::get_SecretKey),
      PropPut(u"SecretKey", DISPID_SRV_SECRETKEY, &I::put_SecretKey),
      PropGet(u"Fingerprints", DISPID_SRV_FINGERPRINTS, &I::get_Fingerprints),
      PropPut(u"Fingerprints", DISPID_SRV_FINGERPRINTS, &I::put_Fingerprints),
      PropGet(u"BindAddress", DISPID_SRV_BINDADDRESS, &I::get_BindAddress),
      PropPut(u"BindAddress", DISPID_SRV_BINDADDRESS, &I::put_BindAddress),
      PropGet(u"ListeningPort", DISPID_SRV_LISTENINGPORT, &I::get_ListeningPort),
      PropPut(u"ListeningPort", DISPID_SRV_LISTENINGPORT, &I::put_ListeningPort),
      PropGet(u"Running", DISPID_SRV_RUNNING, &I::get_Running),
      Method(u"SendBinaryMessage", DISPID_SRV_SENDBINARYMESSAGE, &I::SendBinaryMessage),
  });
  return table;
}

TControlShell* TtwParleySrvX::Create(ModuleLockCount& module) { return new TtwParleySrvX(module); }

TtwParleySrvX::TtwParleySrvX(ModuleLockCount& module)
    : TControlObject(Class(), module), engine_(std::make_unique<TTWParleySrv>()) {}

void TtwParleySrvX::WireEvents() {
  TParleySrvEvents& e = engine_->Events;
  e.OnConnectionRequest = [this](TPeerHandle h, const std::u16string& user, std::u16string& password, bool& accept) {
    FireConnectionRequest(h, user, password, accept);
  };
  e.OnPeerConnected = [this](TPeerHandle h) { FirePeerConnected(h); };
  e.OnPeerDisconnected = [this](TPeerHandle h, int32_t code) { FirePeerDisconnected(h, code); };
  e.OnPeerRejected = [this](const std::u16string& user, const std::u16string& address, int32_t port, int32_t code) {
    FirePeerRejected(user, address, port, code);
  };
  e.OnBinaryMessage = [this](TPeerHandle h, const VARIANT& m) { FireBinaryMessage(h, m); };
}

// --- Members ------------------------------------------------------------------------

HRESULT TtwParleySrvX::AboutBox() {
  return Member([&] { ShowAboutBox(); });
}

HRESULT TtwParleySrvX::GenerateKeypair(BSTR* aPublicKey, BSTR* aPrivateKey, VARIANT_BOOL* Value) {
  return AnswerKeypair(*engine_, aPublicKey, aPrivateKey, Value);
}

HRESULT TtwParleySrvX::TakeFingerprint(BSTR aPublicKey, BSTR* Value) {
  return Answer(Value, [&] { return engine_->TakeFingerprint(FromBstr(aPublicKey)); });
}

HRESULT TtwParleySrvX::DisconnectPeer(LONG aHandle) {
  return Member([&] { engine_->DisconnectPeer(aHandle); });
}

HRESULT TtwParleySrvX::GetPeerAddress(LONG aHandle, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPeerAddress(aHandle); });
}

HRESULT TtwParleySrvX::GetPeerPort(LONG aHandle, LONG* Value) {
  return Answer(Value, [&] { return engine_->GetPeerPort(aHandle); });
}

HRESULT TtwParleySrvX::GetMoniker(LONG aHandle, LONG* Value) {
  return Answer(Value, [&] { return engine_->GetMoniker(aHandle); });
}

HRESULT TtwParleySrvX::GetPeerName(LONG aHandle, BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPeerName(aHandle); });
}

HRESULT TtwParleySrvX::SetMoniker(LONG aHandle, LONG Moniker) {
  return Member([&] { engine_->SetMoniker(aHandle, Moniker); });
}

HRESULT TtwParleySrvX::Start(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->Start(); });
}

HRESULT TtwParleySrvX::Stop(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->Stop(); });
}

HRESULT TtwParleySrvX::get_LocalIPList(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetLocalIPList(); });
}

HRESULT TtwParleySrvX::get_LastError(LONG* Value) {
  return Answer(Value, [&] { return engine_->LastError; });
}

HRESULT TtwParleySrvX::get_SecurityMode(LONG* Value) {
  return Answer(Value, [&] { return engine_->GetSecurityMode(); });
}

HRESULT TtwParleySrvX::put_SecurityMode(LONG Value) {
  return Member([&] { engine_->SetSecurityMode(Value); });
}

HRESULT TtwParleySrvX::get_PublicKey(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPublicKey(); });
}

HRESULT TtwParleySrvX::put_PublicKey(BSTR Value) {
  return Member([&] { engine_->SetPublicKey(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_PrivateKey(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetPrivateKey(); });
}

HRESULT TtwParleySrvX::put_PrivateKey(BSTR Value) {
  return Member([&] { engine_->SetPrivateKey(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_SecretKey(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetSecretKey(); });
}

HRESULT TtwParleySrvX::put_SecretKey(BSTR Value) {
  return Member([&] { engine_->SetSecretKey(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_Fingerprints(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetFingerprints(); });
}

HRESULT TtwParleySrvX::put_Fingerprints(BSTR Value) {
  return Member([&] { engine_->SetFingerprints(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_BindAddress(BSTR* Value) {
  return Answer(Value, [&] { return engine_->GetBindAddress(); });
}

HRESULT TtwParleySrvX::put_BindAddress(BSTR Value) {
  return Member([&] { engine_->SetBindAddress(FromBstr(Value)); });
}

// While the server listens on a port the system picked (ListeningPort 0),
// a read gives that port: a container has no other way to learn it.
HRESULT TtwParleySrvX::get_ListeningPort(LONG* Value) {
  return Answer(Value, [&] {
    const bool picked = engine_->ListeningPort == 0 && engine_->GetRunning();
    return picked ? int32_t{engine_->Hub().Mill().ListeningPort()} : engine_->ListeningPort;
  });
}

HRESULT TtwParleySrvX::put_ListeningPort(LONG Value) {
  return Member([&] { engine_->ListeningPort = Value; });
}

HRESULT TtwParleySrvX::get_Running(VARIANT_BOOL* Value) {
  return Answer(Value, [&] { return engine_->GetRunning(); });
}

HRESULT TtwParleySrvX::SendBinaryMessage(LONG aHandle, VARIANT* aMessage, VARIANT_BOOL* Value) {
  return Answer(Value, [&] {
    VARIANT empty;
    VariantInit(&empty);
    return engine_->SendBinaryMessage(aHandle, aMessage ? *aMessage : empty);
  });
}

// --- Firers ---------------------------------------------------------------------------

void TtwParleySrvX::FireConnectionRequest(TPeerHandle handle, const std::u16string& userName,
                                          std::u16string& password, bool& accept) {
  if (!HasSink()) return;  // nobody to ask: the login stays refused
  // The container writes the password through the reference (freeing the
  // old string); whatever the slot holds at the end is freed here.
  Bstr slot(password);
  VARIANT_BOOL accepted = ToVariantBool(accept);
  FireEvent(DISPID_SRV_ONCONNECTIONREQUEST, handle, std::u16string_view(userName), ByRef(slot.InOut()),
            ByRef(&accepted));
  password = slot.View();
  accept = FromVariantBool(accepted);
}

void TtwParleySrvX::FirePeerConnected(TPeerHandle handle) {
  FireEvent(DISPID_SRV_ONPEERCONNECTED, handle);
}

void TtwParleySrvX::FirePeerRejected(const std::u16string& userName, const std::u16string& address, int32_t port,
                                     int32_t code) {
  FireEvent(DISPID_SRV_ONPEERREJECTED, std::u16string_view(userName), std::u16string_view(address), port, code);
}

void TtwParleySrvX::FirePeerDisconnected(TPeerHandle handle, int32_t code) {
  FireEvent(DISPID_SRV_ONPEERDISCONNECTED, handle, code);
}

void TtwParleySrvX::FireBinaryMessage(TPeerHandle handle, const VARIANT& message) {
  // By reference to the engine's variant, which is released after the call.
  FireEvent(DISPID_SRV_ONBINARYMESSAGE, handle, ByRef(const_cast<VARIANT*>(&message)));
}

}  // namespace tw
