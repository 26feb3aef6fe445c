// ItwParleySrvX, the server control's dual interface, in its slot order
// (slot 7, AboutBox, follows IUnknown's three and IDispatch's four). A
// container may call it through the vtable or through IDispatch; the
// events interface ItwParleySrvXEvents is dispatch-only (see the DISPIDs in
// cParleySrvIds.h). Results come back through the last pointer, which must
// not be null (E_POINTER).
#pragma once

#include "platform/com/dispatch.h"
#include "server/cParleySrvIds.h"

namespace tw {

class ItwParleySrvX : public com::IDispatch {
 public:
  static constexpr com::IID kIid = IID_ItwParleySrvX;
  using Base = com::IDispatch;
  using HRESULT = com::HRESULT;
  using LONG = com::LONG;
  using BSTR = com::BSTR;
  using VARIANT_BOOL = com::VARIANT_BOOL;

  virtual HRESULT AboutBox() = 0;                                                       // 7
  virtual HRESULT GenerateKeypair(BSTR* aPublicKey, BSTR* aPrivateKey, VARIANT_BOOL* Value) = 0;
  virtual HRESULT TakeFingerprint(BSTR aPublicKey, BSTR* Value) = 0;
  virtual HRESULT DisconnectPeer(LONG aHandle) = 0;                                     // 10
  virtual HRESULT GetPeerAddress(LONG aHandle, BSTR* Value) = 0;
  virtual HRESULT GetPeerPort(LONG aHandle, LONG* Value) = 0;
  virtual HRESULT GetMoniker(LONG aHandle, LONG* Value) = 0;
  virtual HRESULT GetPeerName(LONG aHandle, BSTR* Value) = 0;
  virtual HRESULT SetMoniker(LONG aHandle, LONG Moniker) = 0;                           // 15
  virtual HRESULT Start(VARIANT_BOOL* Value) = 0;
  virtual HRESULT Stop(VARIANT_BOOL* Value) = 0;
  virtual HRESULT get_LocalIPList(BSTR* Value) = 0;
  virtual HRESULT get_LastError(LONG* Value) = 0;
  virtual HRESULT get_SecurityMode(LONG* Value) = 0;                                    // 20
  virtual HRESULT put_SecurityMode(LONG Value) = 0;
  virtual HRESULT get_PublicKey(BSTR* Value) = 0;
  virtual HRESULT put_PublicKey(BSTR Value) = 0;
  virtual HRESULT get_PrivateKey(BSTR* Value) = 0;
  virtual HRESULT put_PrivateKey(BSTR Value) = 0;                                       // 25
  virtual HRESULT get_SecretKey(BSTR* Value) = 0;
  virtual HRESULT put_SecretKey(BSTR Value) = 0;
  virtual HRESULT get_Fingerprints(BSTR* Value) = 0;
  virtual HRESULT put_Fingerprints(BSTR Value) = 0;
  virtual HRESULT get_BindAddress(BSTR* Value) = 0;                                     // 30
  virtual HRESULT put_BindAddress(BSTR Value) = 0;
  virtual HRESULT get_ListeningPort(LONG* Value) = 0;
  virtual HRESULT put_ListeningPort(LONG Value) = 0;
  virtual HRESULT get_Running(VARIANT_BOOL* Value) = 0;
  virtual HRESULT SendBinaryMessage(LONG aHandle, com::VARIANT* aMessage, VARIANT_BOOL* Value) = 0;  // 35

 protected:
  ~ItwParleySrvX() = default;
};

}  // namespace tw
