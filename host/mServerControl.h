// TServerControl: the host program's view of the server control, reached
// only through its automation interface (members called by name through
// IDispatch) and its events (a sink advised on the control's connection
// point), as any container reaches it. CreateServerControl obtains the
// control by its class identifier.
//
// Ownership: TServerControl holds one reference to the control and keeps the
// event connection until it is destroyed, when it unadvises the sink and
// releases the control. A member that fails at the automation level throws
// TControlError, which the windows report to the operator.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/dispatch.h"
#include "server/cParleySrvIds.h"  // the control's identifiers only; no control code

namespace tw {

// A member call that failed at the automation level: its name and the
// control's own description of the failure.
class TControlError : public std::runtime_error {
 public:
  TControlError(const std::u16string& member, com::HRESULT hr, const std::u16string& description);
  com::HRESULT Result() const { return hr_; }

 private:
  com::HRESULT hr_;
};

// The five events the host handles. An empty function ignores its event.
struct TServerEvents {
  // Set accept to admit the login and password to the one its challenge
  // checks against.
  std::function<void(int32_t handle, std::u16string_view user, std::u16string& password,
                     bool& accept)>
      OnConnectionRequest;
  std::function<void(int32_t handle)> OnPeerConnected;
  std::function<void(std::u16string_view user, std::u16string_view address, int32_t port,
                     int32_t code)>
      OnPeerRejected;
  std::function<void(int32_t handle, int32_t code)> OnPeerDisconnected;
  // `message` is the event's variant, borrowed for the call; nothing when it
  // holds no byte array.
  std::function<void(int32_t handle, const std::vector<uint8_t>* message)> OnBinaryMessage;
};

class TServerControl {
 public:
  // Takes a reference to `control` and advises an event sink on its
  // connection point for DIID_ItwParleySrvXEvents; throws TControlError when the
  // control offers no such point.
  explicit TServerControl(com::ComPtr<com::IDispatch> control);
  ~TServerControl();
  TServerControl(const TServerControl&) = delete;
  TServerControl& operator=(const TServerControl&) = delete;

  TServerEvents& Events() { return events_; }

  bool Start();
  bool Stop();
  void DisconnectPeer(int32_t handle);
  std::u16string GetPeerAddress(int32_t handle);
  int32_t GetPeerPort(int32_t handle);
  std::u16string GetPeerName(int32_t handle);
  int32_t GetMoniker(int32_t handle);
  void SetMoniker(int32_t handle, int32_t moniker);
  bool SendBinaryMessage(int32_t handle, const std::vector<uint8_t>& bytes);
  bool GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey);
  std::u16string TakeFingerprint(std::u16string_view publicKey);

  bool Running();
  std::u16string LocalIPList();
  // The code the last failing member left (a WinSock error number after a
  // failed Start).
  int32_t LastError();
  // While the server listens on a port the system picked (ListeningPort 0),
  // the port it listens on; else the port set.
  int32_t ListeningPort();
  std::u16string BindAddress();
  void SetListeningPort(int32_t port);
  void SetSecurityMode(int32_t mode);
  void SetPublicKey(std::u16string_view key);
  void SetPrivateKey(std::u16string_view key);
  void SetSecretKey(std::u16string_view key);
  void SetFingerprints(std::u16string_view fingerprints);
  void SetBindAddress(std::u16string_view address);

 private:
  com::HRESULT OnEvent(com::DISPID id, std::span<com::VARIANT> args);
  void Put(std::u16string_view name, com::Variant value);

  com::ComPtr<com::IDispatch> control_;
  com::ComPtr<com::IUnknown> point_;  // the IConnectionPoint the sink is advised on
  com::DWORD cookie_ = 0;
  TServerEvents events_;
};

// Creates the server control by CLSID_twParleySrvX. Null when no control
// could be created; `error` then says why.
com::ComPtr<com::IDispatch> CreateServerControl(std::string& error);

}  // namespace tw
