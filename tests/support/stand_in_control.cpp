// Members are looked up by name in the control's own member list with its
// DISPIDs; each call is recorded (arguments copied, references
// dereferenced), then answered from the peer table. DisconnectPeer fires
// OnPeerDisconnected from inside the call, as the real control does.
#include "tests/support/stand_in_control.h"

#include <algorithm>
#include <iterator>

#include "platform/com/dispatch_call.h"
#include "server/cParleySrvIds.h"

namespace tw::test {
namespace {

struct TMember {
  std::u16string_view name;
  com::DISPID id;
};

constexpr TMember kMembers[] = {
    {u"AboutBox", DISPID_SRV_ABOUTBOX},
    {u"GenerateKeypair", DISPID_SRV_GENERATEKEYPAIR},
    {u"TakeFingerprint", DISPID_SRV_TAKEFINGERPRINT},
    {u"DisconnectPeer", DISPID_SRV_DISCONNECTPEER},
    {u"GetPeerAddress", DISPID_SRV_GETPEERADDRESS},
    {u"GetPeerPort", DISPID_SRV_GETPEERPORT},
    {u"GetMoniker", DISPID_SRV_GETMONIKER},
    {u"GetPeerName", DISPID_SRV_GETPEERNAME},
    {u"SetMoniker", DISPID_SRV_SETMONIKER},
    {u"Start", DISPID_SRV_START},
    {u"Stop", DISPID_SRV_STOP},
    {u"LocalIPList", DISPID_SRV_LOCALIPLIST},
    {u"LastError", DISPID_SRV_LASTERROR},
    {u"SecurityMode", DISPID_SRV_SECURITYMODE},
    {u"PublicKey", DISPID_SRV_PUBLICKEY},
    {u"PrivateKey", DISPID_SRV_PRIVATEKEY},
    {u"SecretKey", DISPID_SRV_SECRETKEY},
    {u"Fingerprints", DISPID_SRV_FINGERPRINTS},
    {u"BindAddress", DISPID_SRV_BINDADDRESS},
    {u"ListeningPort", DISPID_SRV_LISTENINGPORT},
    {u"Running", DISPID_SRV_RUNNING},
    {u"SendBinaryMessage", DISPID_SRV_SENDBINARYMESSAGE},
};

const TMember* FindMember(auto matches) {
  const TMember* found = std::find_if(std::begin(kMembers), std::end(kMembers), matches);
  return found == std::end(kMembers) ? nullptr : found;
}

int32_t IntArg(const com::VARIANT& v) { return com::Variant(v).ToInt().value_or(0); }

void SetBstr(com::VARIANT* out, std::u16string_view text) {
  if (!out) return;
  out->vt = com::VT_BSTR;
  out->bstrVal = com::SysAllocString(text);
}
void SetInt(com::VARIANT* out, int32_t value) {
  if (!out) return;
  out->vt = com::VT_I4;
  out->lVal = value;
}
void SetBool(com::VARIANT* out, bool value) {
  if (!out) return;
  out->vt = com::VT_BOOL;
  out->boolVal = com::ToVariantBool(value);
}

}  // namespace

TStandInControl::TStandInControl()
    : point_(com::MakeComObject<com::ConnectionPoint>(this, DIID_ItwParleySrvXEvents, [](com::IDispatch*) {},
                                                      com::SinkPolicy::Single)) {}

TStandInControl::~TStandInControl() { point_->Detach(); }

std::vector<std::u16string> TStandInControl::CallNames() const {
  std::vector<std::u16string> names;
  for (const TCall& c : calls_) names.push_back(c.Name);
  return names;
}

com::HRESULT TStandInControl::GetIDsOfNames(com::REFIID, com::LPOLESTR* names, com::UINT count,
                                            com::LCID, com::DISPID* ids) {
  if (!names || !ids || count == 0) return com::E_INVALIDARG;
  const std::u16string_view name(names[0]);
  const TMember* found = FindMember([&](const TMember& m) { return m.name == name; });
  ids[0] = found ? found->id : com::DISPID_UNKNOWN;
  return found ? com::S_OK : com::DISP_E_UNKNOWNNAME;
}

com::HRESULT TStandInControl::Invoke(com::DISPID id, com::REFIID, com::LCID, com::WORD flags,
                                     com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO* excep,
                                     com::UINT*) {
  const TMember* member = FindMember([&](const TMember& m) { return m.id == id; });
  if (!member) return com::DISP_E_MEMBERNOTFOUND;
  const std::u16string name(member->name);
  std::vector<com::VARIANT> args;
  if (params && params->cArgs > 0) args.assign(params->rgvarg, params->rgvarg + params->cArgs);
  std::reverse(args.begin(), args.end());  // declaration order
  TCall call{name, {}};
  if (flags & com::DISPATCH_PROPERTYPUT) call.Name = u"put " + call.Name;
  for (const com::VARIANT& a : args) {
    com::Variant copy;
    com::VariantCopyInd(&copy, &a);
    call.Args.push_back(std::move(copy));
  }
  calls_.push_back(std::move(call));
  if (calls_.size() > kCallLogLimit) calls_.pop_front();
  if (result) com::VariantInit(result);
  if (name == FailingMember) {
    if (excep) {
      *excep = {};
      excep->bstrSource = com::SysAllocString(u"twParleySrv.twParleySrvX");
      excep->bstrDescription = com::SysAllocString(u"stand-in failure");
      excep->scode = com::E_UNEXPECTED;
    }
    return com::DISP_E_EXCEPTION;
  }
  if (flags & com::DISPATCH_PROPERTYPUT) {
    if (!args.empty()) com::VariantCopyInd(&properties_[name], &args.back());
    return com::S_OK;
  }
  return Run(name, args, result);
}

com::HRESULT TStandInControl::Run(const std::u16string& name, std::span<com::VARIANT> args,
                                  com::VARIANT* result) {
  auto peer = [&]() -> TPeer* {
    if (args.empty()) return nullptr;
    auto it = peers_.find(IntArg(args[0]));
    return it == peers_.end() ? nullptr : &it->second;
  };
  if (name == u"Start") {
    bool started = StartResult && !running_;
    if (started) running_ = true;
    SetBool(result, started);
  } else if (name == u"Stop") {
    running_ = false;
    SetBool(result, true);
  } else if (name == u"DisconnectPeer") {
    if (peer()) DropPeer(IntArg(args[0]), 1);
  } else if (name == u"GetPeerAddress") {
    SetBstr(result, peer() ? peer()->Address : u"");
  } else if (name == u"GetPeerPort") {
    SetInt(result, peer() ? peer()->Port : 0);
  } else if (name == u"GetPeerName") {
    SetBstr(result, peer() ? peer()->Name : u"");
  } else if (name == u"GetMoniker") {
    SetInt(result, peer() ? peer()->Moniker : 0);
  } else if (name == u"SetMoniker") {
    if (TPeer* p = peer(); p && args.size() == 2) p->Moniker = IntArg(args[1]);
  } else if (name == u"SendBinaryMessage") {
    SetBool(result, peer() != nullptr);
  } else if (name == u"GenerateKeypair") {
    if (DuringGenerate) DuringGenerate();
    bool ok = GenerateResult && args.size() == 2 && args[0].vt == (com::VT_BYREF | com::VT_BSTR) &&
              args[1].vt == (com::VT_BYREF | com::VT_BSTR);
    if (ok) {
      std::u16string n(1, static_cast<char16_t>(u'0' + (++generated_ % 10)));
      com::SysReAllocString(args[0].pbstrVal, (u"PUBLICKEY" + n + u"AAAA").c_str());
      com::SysReAllocString(args[1].pbstrVal, (u"PRIVATEKEY" + n + u"BBBB").c_str());
    }
    SetBool(result, ok);
  } else if (name == u"TakeFingerprint") {
    std::u16string key;
    if (!args.empty() && args[0].vt == com::VT_BSTR) key = com::BstrView(args[0].bstrVal);
    SetBstr(result, u"FP-" + key.substr(0, 12));
  } else if (name == u"Running") {
    SetBool(result, running_);
  } else if (name == u"LocalIPList") {
    SetBstr(result, LocalIPs);
  } else if (name == u"LastError") {
    SetInt(result, LastErrorCode);
  } else if (name == u"ListeningPort") {
    const int32_t port = properties_.count(name) ? properties_[name].ToInt().value_or(0) : 0;
    SetInt(result, port == 0 && running_ ? PickedPort : port);
  } else if (name == u"BindAddress") {
    if (result && properties_.count(name)) com::VariantCopy(result, &properties_[name]);
  }
  return com::S_OK;
}

void TStandInControl::Fire(com::DISPID id, std::vector<com::Variant> args) {
  if (com::IDispatch* sink = point_->Sink()) com::InvokeDispid(sink, id, com::DISPATCH_METHOD, args);
}

bool TStandInControl::FireConnectionRequest(std::u16string_view user, std::u16string& password) {
  com::Bstr answer(password);
  com::VARIANT_BOOL accept = com::VARIANT_FALSE;
  std::vector<com::Variant> args;
  args.emplace_back(int32_t{0});
  args.emplace_back(user);
  args.push_back(com::ByRef(answer.Out()));
  args.push_back(com::ByRef(&accept));
  // Out() emptied the answer; the container fills it in.
  Fire(DISPID_SRV_ONCONNECTIONREQUEST, std::move(args));
  password = answer.View();
  return accept != 0;
}

int32_t TStandInControl::ConnectPeer(std::u16string_view name, std::u16string_view address, int32_t port) {
  int32_t handle = nextHandle_++;
  peers_[handle] = TPeer{std::u16string(name), std::u16string(address), port, 0};
  std::vector<com::Variant> args;
  args.emplace_back(handle);
  Fire(DISPID_SRV_ONPEERCONNECTED, std::move(args));
  return handle;
}

void TStandInControl::FirePeerRejected(std::u16string_view user, std::u16string_view address,
                                       int32_t port, int32_t code) {
  std::vector<com::Variant> args;
  args.emplace_back(user);
  args.emplace_back(address);
  args.emplace_back(port);
  args.emplace_back(code);
  Fire(DISPID_SRV_ONPEERREJECTED, std::move(args));
}

void TStandInControl::DropPeer(int32_t handle, int32_t code) {
  std::vector<com::Variant> args;
  args.emplace_back(handle);
  args.emplace_back(code);
  // The host reads the moniker during the event, so the peer goes after it.
  Fire(DISPID_SRV_ONPEERDISCONNECTED, std::move(args));
  peers_.erase(handle);
}

void TStandInControl::FireBinaryMessage(int32_t handle, com::VARIANT& message) {
  std::vector<com::Variant> args;
  args.emplace_back(handle);
  args.push_back(com::ByRef(&message));
  Fire(DISPID_SRV_ONBINARYMESSAGE, std::move(args));
}

com::HRESULT TStandInControl::EnumConnectionPoints(com::IEnumConnectionPoints** points) {
  if (points) *points = nullptr;
  return com::E_NOTIMPL;
}

com::HRESULT TStandInControl::FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) {
  if (!point) return com::E_POINTER;
  *point = nullptr;
  if (iid != DIID_ItwParleySrvXEvents) return com::CONNECT_E_NOCONNECTION;
  *point = point_.Get();
  point_->AddRef();
  return com::S_OK;
}

}  // namespace tw::test
