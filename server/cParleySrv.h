// TtwParleySrvX: the server control (coclass twParleySrvX). It owns one
// server engine, forwards each member of ItwParleySrvX to it with the COM
// forms of strings (BSTR copies), Booleans (VARIANT_BOOL, true = -1) and
// byte arrays, and fires each engine event at the container's sink. The
// engine runs on the creating thread: its transport pumps through that
// thread's message queue, which the container must run.
#pragma once

#include <memory>

#include "control/cControlShell.h"
#include "server/cParleySrvIntf.h"
#include "server/mParleySrv.h"

namespace tw {

class TtwParleySrvX final : public TControlObject<TtwParleySrvX, ItwParleySrvX> {
 public:
  static const TControlClass& Class();
  static const com::DispatchTable<ItwParleySrvX>& DispTable();
  // The factory's creator.
  static TControlShell* Create(com::ModuleLockCount& module);

  HRESULT AboutBox() override;
  HRESULT GenerateKeypair(BSTR* aPublicKey, BSTR* aPrivateKey, VARIANT_BOOL* Value) override;
  HRESULT TakeFingerprint(BSTR aPublicKey, BSTR* Value) override;
  HRESULT DisconnectPeer(LONG aHandle) override;
  HRESULT GetPeerAddress(LONG aHandle, BSTR* Value) override;
  HRESULT GetPeerPort(LONG aHandle, LONG* Value) override;
  HRESULT GetMoniker(LONG aHandle, LONG* Value) override;
  HRESULT GetPeerName(LONG aHandle, BSTR* Value) override;
  HRESULT SetMoniker(LONG aHandle, LONG Moniker) override;
  HRESULT Start(VARIANT_BOOL* Value) override;
  HRESULT Stop(VARIANT_BOOL* Value) override;
  HRESULT get_LocalIPList(BSTR* Value) override;
  HRESULT get_LastError(LONG* Value) override;
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
  HRESULT get_ListeningPort(LONG* Value) override;
  HRESULT put_ListeningPort(LONG Value) override;
  HRESULT get_Running(VARIANT_BOOL* Value) override;
  HRESULT SendBinaryMessage(LONG aHandle, com::VARIANT* aMessage, VARIANT_BOOL* Value) override;

 private:
  explicit TtwParleySrvX(com::ModuleLockCount& module);
  ~TtwParleySrvX() override = default;  // the engine goes first: connections drop without events

  void WireEvents() override;
  void FireConnectionRequest(TPeerHandle handle, const std::u16string& userName, std::u16string& password,
                             bool& accept);
  void FirePeerConnected(TPeerHandle handle);
  void FirePeerRejected(const std::u16string& userName, const std::u16string& address, int32_t port,
                        int32_t code);
  void FirePeerDisconnected(TPeerHandle handle, int32_t code);
  void FireBinaryMessage(TPeerHandle handle, const com::VARIANT& message);

  std::unique_ptr<TTWParleySrv> engine_;
};

}  // namespace tw
