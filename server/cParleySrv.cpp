// Each member checks its result pointer, runs the engine operation inside
// the shell's failure guard and converts at the boundary; each firer builds
// the event's arguments in declaration order and lets the shell invoke.
#include "server/cParleySrv.h"

#include <array>
#include <new>

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
  static const shell::Bitmap bitmap = [] {
    shell::Bitmap b;
    b.width = b.height = 16;
    for (const char* row : kRows)
      for (int x = 0; x < 16; ++x) {
        switch (row[x]) {
          case '#': b.pixels.push_back(0x202020); break;
          case 'h': b.pixels.push_back(0xB0B0B0); break;
          case 'g': b.pixels.push_back(0x00C000); break;
          default: b.pixels.push_back(0xFF00FF); break;
        }
      }
    return b;
  }();
  return bitmap;
}

std::u16string FromBstr(BSTR s) { return std::u16string(BstrView(s)); }

// Hands out a new BSTR copy through an [out] parameter.
void PutBstr(BSTR* out, const std::u16string& value) {
  *out = SysAllocString(value);
  if (!*out) throw std::bad_alloc();
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
  if (!aPublicKey || !aPrivateKey || !Value) return E_POINTER;
  return Member([&] {
    std::u16string publicKey, privateKey;
    const bool ok = engine_->GenerateKeypair(publicKey, privateKey);
    Bstr pub(publicKey), priv(privateKey);
    if (!pub.Get() || !priv.Get()) throw std::bad_alloc();
    *aPublicKey = pub.Detach();
    *aPrivateKey = priv.Detach();
    *Value = ToVariantBool(ok);
  });
}

HRESULT TtwParleySrvX::TakeFingerprint(BSTR aPublicKey, BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->TakeFingerprint(FromBstr(aPublicKey))); });
}

HRESULT TtwParleySrvX::DisconnectPeer(LONG aHandle) {
  return Member([&] { engine_->DisconnectPeer(aHandle); });
}

HRESULT TtwParleySrvX::GetPeerAddress(LONG aHandle, BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetPeerAddress(aHandle)); });
}

HRESULT TtwParleySrvX::GetPeerPort(LONG aHandle, LONG* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = engine_->GetPeerPort(aHandle); });
}

HRESULT TtwParleySrvX::GetMoniker(LONG aHandle, LONG* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = engine_->GetMoniker(aHandle); });
}

HRESULT TtwParleySrvX::GetPeerName(LONG aHandle, BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetPeerName(aHandle)); });
}

HRESULT TtwParleySrvX::SetMoniker(LONG aHandle, LONG Moniker) {
  return Member([&] { engine_->SetMoniker(aHandle, Moniker); });
}

HRESULT TtwParleySrvX::Start(VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = ToVariantBool(engine_->Start()); });
}

HRESULT TtwParleySrvX::Stop(VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = ToVariantBool(engine_->Stop()); });
}

HRESULT TtwParleySrvX::get_LocalIPList(BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetLocalIPList()); });
}

HRESULT TtwParleySrvX::get_LastError(LONG* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = engine_->LastError; });
}

HRESULT TtwParleySrvX::get_SecurityMode(LONG* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = engine_->GetSecurityMode(); });
}

HRESULT TtwParleySrvX::put_SecurityMode(LONG Value) {
  return Member([&] { engine_->SetSecurityMode(Value); });
}

HRESULT TtwParleySrvX::get_PublicKey(BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetPublicKey()); });
}

HRESULT TtwParleySrvX::put_PublicKey(BSTR Value) {
  return Member([&] { engine_->SetPublicKey(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_PrivateKey(BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetPrivateKey()); });
}

HRESULT TtwParleySrvX::put_PrivateKey(BSTR Value) {
  return Member([&] { engine_->SetPrivateKey(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_SecretKey(BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetSecretKey()); });
}

HRESULT TtwParleySrvX::put_SecretKey(BSTR Value) {
  return Member([&] { engine_->SetSecretKey(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_Fingerprints(BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetFingerprints()); });
}

HRESULT TtwParleySrvX::put_Fingerprints(BSTR Value) {
  return Member([&] { engine_->SetFingerprints(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_BindAddress(BSTR* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { PutBstr(Value, engine_->GetBindAddress()); });
}

HRESULT TtwParleySrvX::put_BindAddress(BSTR Value) {
  return Member([&] { engine_->SetBindAddress(FromBstr(Value)); });
}

HRESULT TtwParleySrvX::get_ListeningPort(LONG* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = engine_->ListeningPort; });
}

HRESULT TtwParleySrvX::put_ListeningPort(LONG Value) {
  return Member([&] { engine_->ListeningPort = Value; });
}

HRESULT TtwParleySrvX::get_Running(VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  return Member([&] { *Value = ToVariantBool(engine_->GetRunning()); });
}

HRESULT TtwParleySrvX::SendBinaryMessage(LONG aHandle, VARIANT* aMessage, VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  return Member([&] {
    VARIANT empty;
    VariantInit(&empty);
    *Value = ToVariantBool(engine_->SendBinaryMessage(aHandle, aMessage ? *aMessage : empty));
  });
}

// --- Firers ---------------------------------------------------------------------------

void TtwParleySrvX::FireConnectionRequest(TPeerHandle handle, const std::u16string& userName,
                                          std::u16string& password, bool& accept) {
  if (!HasSink()) return;  // nobody to ask: the login stays refused
  // The container writes the password through the reference (freeing the
  // old string); whatever the slot holds at the end is freed here.
  BSTR slot = SysAllocString(password);
  struct FreeSlot {
    BSTR& s;
    ~FreeSlot() { SysFreeString(s); }
  } freeSlot{slot};
  VARIANT_BOOL accepted = ToVariantBool(accept);
  std::array<Variant, 4> args{Variant(handle), Variant(std::u16string_view(userName)), ByRef(&slot),
                              ByRef(&accepted)};
  Fire(DISPID_SRV_ONCONNECTIONREQUEST, args);
  password = BstrView(slot);
  accept = accepted != VARIANT_FALSE;
}

void TtwParleySrvX::FirePeerConnected(TPeerHandle handle) {
  std::array<Variant, 1> args{Variant(handle)};
  Fire(DISPID_SRV_ONPEERCONNECTED, args);
}

void TtwParleySrvX::FirePeerRejected(const std::u16string& userName, const std::u16string& address, int32_t port,
                                     int32_t code) {
  std::array<Variant, 4> args{Variant(std::u16string_view(userName)), Variant(std::u16string_view(address)),
                              Variant(port), Variant(code)};
  Fire(DISPID_SRV_ONPEERREJECTED, args);
}

void TtwParleySrvX::FirePeerDisconnected(TPeerHandle handle, int32_t code) {
  std::array<Variant, 2> args{Variant(handle), Variant(code)};
  Fire(DISPID_SRV_ONPEERDISCONNECTED, args);
}

void TtwParleySrvX::FireBinaryMessage(TPeerHandle handle, const VARIANT& message) {
  // By reference to the engine's variant, which is released after the call.
  std::array<Variant, 2> args{Variant(handle), ByRef(const_cast<VARIANT*>(&message))};
  Fire(DISPID_SRV_ONBINARYMESSAGE, args);
}

}  // namespace tw
