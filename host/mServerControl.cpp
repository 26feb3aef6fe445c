// Every member goes through GetIDsOfNames and Invoke by its name; results
// are coerced from the returned variant. Events come back through a
// DispatchSink whose handler unpacks the positional arguments by DISPID.
#include "host/mServerControl.h"

#include "platform/com/classes.h"
#include "platform/com/connection.h"
#include "platform/com/dispatch_call.h"
#include "platform/win32/text.h"

namespace tw {
namespace {

using com::DispResult;
using com::Variant;

std::string DescribeFailure(const std::u16string& member, com::HRESULT hr,
                            const std::u16string& description) {
  char code[16];
  std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
  std::string text = "The server control failed in " + win32::Utf16ToUtf8(member) + " ($" + code + ")";
  if (!description.empty()) text += ": " + win32::Utf16ToUtf8(description);
  return text;
}

const DispResult& Checked(std::u16string_view member, const DispResult& r) {
  if (!r) {
    com::HRESULT hr = r.hr == com::DISP_E_EXCEPTION && r.scode != 0 ? r.scode : r.hr;
    throw TControlError(std::u16string(member), hr, r.description);
  }
  return r;
}

bool BoolOf(std::u16string_view member, const DispResult& r) {
  std::optional<bool> b = Checked(member, r).value.ToBool();
  return b.value_or(false);
}

int32_t IntOf(std::u16string_view member, const DispResult& r) {
  return Checked(member, r).value.ToInt().value_or(0);
}

std::u16string StringOf(std::u16string_view member, const DispResult& r) {
  const Variant& v = Checked(member, r).value;
  if (v.vt == com::VT_BSTR) return std::u16string(com::BstrView(v.bstrVal));
  return v.ToString().value_or(u"");
}

// Argument readers: a value or a reference to one.
int32_t IntArg(const com::VARIANT& v) { return Variant(v).ToInt().value_or(0); }

std::u16string StringArg(const com::VARIANT& v) {
  if (v.vt == com::VT_BSTR) return std::u16string(com::BstrView(v.bstrVal));
  if (v.vt == (com::VT_BYREF | com::VT_BSTR) && v.pbstrVal)
    return std::u16string(com::BstrView(*v.pbstrVal));
  return Variant(v).ToString().value_or(u"");
}

}  // namespace

TControlError::TControlError(const std::u16string& member, com::HRESULT hr,
                             const std::u16string& description)
    : std::runtime_error(DescribeFailure(member, hr, description)), hr_(hr) {}

TServerControl::TServerControl(com::ComPtr<com::IDispatch> control) : control_(std::move(control)) {
  auto container = control_.As<com::IConnectionPointContainer>();
  com::ComPtr<com::IConnectionPoint> point;
  com::HRESULT hr = container ? container->FindConnectionPoint(DIID_ItwParleySrvXEvents, point.Out())
                              : com::E_NOINTERFACE;
  if (com::SUCCEEDED(hr)) {
    auto sink = com::MakeDispatchSink(
        DIID_ItwParleySrvXEvents,
        [this](com::DISPID id, std::span<com::VARIANT> args, com::VARIANT*) { return OnEvent(id, args); });
    hr = point->Advise(sink.Get(), &cookie_);
  }
  if (com::FAILED(hr)) throw TControlError(u"Advise", hr, u"the control offers no events");
  point_ = com::ComPtr<com::IUnknown>(point.Get());
}

TServerControl::~TServerControl() {
  if (auto point = point_.As<com::IConnectionPoint>()) point->Unadvise(cookie_);
}

com::HRESULT TServerControl::OnEvent(com::DISPID id, std::span<com::VARIANT> args) {
  switch (id) {
    case DISPID_SRV_ONCONNECTIONREQUEST:
      if (args.size() == 4 && events_.OnConnectionRequest) {
        std::u16string password = StringArg(args[2]);
        bool accept = Variant(args[3]).ToBool().value_or(false);
        events_.OnConnectionRequest(IntArg(args[0]), StringArg(args[1]), password, accept);
        if (args[2].vt == (com::VT_BYREF | com::VT_BSTR) && args[2].pbstrVal) {
          if (!com::SysReAllocStringLen(args[2].pbstrVal, password.data(),
                                        static_cast<com::UINT>(password.size())))
            return com::E_OUTOFMEMORY;
        }
        if (args[3].vt == (com::VT_BYREF | com::VT_BOOL) && args[3].pboolVal)
          *args[3].pboolVal = com::ToVariantBool(accept);
      }
      break;
    case DISPID_SRV_ONPEERCONNECTED:
      if (args.size() == 1 && events_.OnPeerConnected) events_.OnPeerConnected(IntArg(args[0]));
      break;
    case DISPID_SRV_ONPEERREJECTED:
      if (args.size() == 4 && events_.OnPeerRejected)
        events_.OnPeerRejected(StringArg(args[0]), StringArg(args[1]), IntArg(args[2]), IntArg(args[3]));
      break;
    case DISPID_SRV_ONPEERDISCONNECTED:
      if (args.size() == 2 && events_.OnPeerDisconnected)
        events_.OnPeerDisconnected(IntArg(args[0]), IntArg(args[1]));
      break;
    case DISPID_SRV_ONBINARYMESSAGE:
      if (args.size() == 2 && events_.OnBinaryMessage) {
        std::optional<std::vector<uint8_t>> bytes = com::BytesFromVariant(args[1]);
        events_.OnBinaryMessage(IntArg(args[0]), bytes ? &*bytes : nullptr);
      }
      break;
    default:
      break;  // OnActivate and anything unknown
  }
  return com::S_OK;
}

bool TServerControl::Start() { return BoolOf(u"Start", com::Call(control_.Get(), u"Start")); }
bool TServerControl::Stop() { return BoolOf(u"Stop", com::Call(control_.Get(), u"Stop")); }

void TServerControl::DisconnectPeer(int32_t handle) {
  Checked(u"DisconnectPeer", com::Call(control_.Get(), u"DisconnectPeer", handle));
}
std::u16string TServerControl::GetPeerAddress(int32_t handle) {
  return StringOf(u"GetPeerAddress", com::Call(control_.Get(), u"GetPeerAddress", handle));
}
int32_t TServerControl::GetPeerPort(int32_t handle) {
  return IntOf(u"GetPeerPort", com::Call(control_.Get(), u"GetPeerPort", handle));
}
std::u16string TServerControl::GetPeerName(int32_t handle) {
  return StringOf(u"GetPeerName", com::Call(control_.Get(), u"GetPeerName", handle));
}
int32_t TServerControl::GetMoniker(int32_t handle) {
  return IntOf(u"GetMoniker", com::Call(control_.Get(), u"GetMoniker", handle));
}
void TServerControl::SetMoniker(int32_t handle, int32_t moniker) {
  Checked(u"SetMoniker", com::Call(control_.Get(), u"SetMoniker", handle, moniker));
}

bool TServerControl::SendBinaryMessage(int32_t handle, const std::vector<uint8_t>& bytes) {
  Variant message;
  if (com::FAILED(com::VariantFromBytes(bytes, message.Out())))
    throw TControlError(u"SendBinaryMessage", com::E_OUTOFMEMORY, u"out of memory");
  return BoolOf(u"SendBinaryMessage",
                com::Call(control_.Get(), u"SendBinaryMessage", handle, com::ByRef(&message)));
}

bool TServerControl::GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey) {
  com::Bstr pub, priv;
  bool ok = BoolOf(u"GenerateKeypair", com::Call(control_.Get(), u"GenerateKeypair",
                                                 com::ByRef(pub.Out()), com::ByRef(priv.Out())));
  if (ok) {
    publicKey = pub.View();
    privateKey = priv.View();
  }
  return ok;
}

std::u16string TServerControl::TakeFingerprint(std::u16string_view publicKey) {
  return StringOf(u"TakeFingerprint", com::Call(control_.Get(), u"TakeFingerprint", publicKey));
}

bool TServerControl::Running() { return BoolOf(u"Running", com::GetProperty(control_.Get(), u"Running")); }
std::u16string TServerControl::LocalIPList() {
  return StringOf(u"LocalIPList", com::GetProperty(control_.Get(), u"LocalIPList"));
}

int32_t TServerControl::LastError() { return IntOf(u"LastError", com::GetProperty(control_.Get(), u"LastError")); }
int32_t TServerControl::ListeningPort() {
  return IntOf(u"ListeningPort", com::GetProperty(control_.Get(), u"ListeningPort"));
}
std::u16string TServerControl::BindAddress() {
  return StringOf(u"BindAddress", com::GetProperty(control_.Get(), u"BindAddress"));
}

void TServerControl::Put(std::u16string_view name, Variant value) {
  Checked(name, com::PutProperty(control_.Get(), name, std::move(value)));
}
void TServerControl::SetListeningPort(int32_t port) { Put(u"ListeningPort", Variant(port)); }
void TServerControl::SetSecurityMode(int32_t mode) { Put(u"SecurityMode", Variant(mode)); }
void TServerControl::SetPublicKey(std::u16string_view key) { Put(u"PublicKey", Variant(key)); }
void TServerControl::SetPrivateKey(std::u16string_view key) { Put(u"PrivateKey", Variant(key)); }
void TServerControl::SetSecretKey(std::u16string_view key) { Put(u"SecretKey", Variant(key)); }
void TServerControl::SetFingerprints(std::u16string_view fingerprints) {
  Put(u"Fingerprints", Variant(fingerprints));
}
void TServerControl::SetBindAddress(std::u16string_view address) { Put(u"BindAddress", Variant(address)); }

com::ComPtr<com::IDispatch> CreateServerControl(std::string& error) {
  com::ComPtr<com::IDispatch> control;
  com::HRESULT hr = com::CoCreateInstance(CLSID_twParleySrvX, nullptr, com::CLSCTX_INPROC_SERVER,
                                          com::IID_IDispatch, control.OutVoid());
  if (com::FAILED(hr) || !control) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
    error = std::string("The server control ") + com::GuidToString(CLSID_twParleySrvX) +
            " could not be created ($" + code + ").";
    return nullptr;
  }
  return control;
}

}  // namespace tw
