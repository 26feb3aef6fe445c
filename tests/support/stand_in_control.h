// TStandInControl: a test double with the server control's automation
// interface (its member names and DISPIDs) and events, for the host's window
// tests and the screenshot tool: it records the latest calls and fires
// events on request. It keeps a small table of peers and answers the members
// from it; it opens no socket.
//
// Ownership: created with MakeComObject and held through ComPtr like any
// component; the host's TServerControl holds its own reference.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <map>
#include <string>
#include <vector>

#include <deque>

#include "platform/com/connection.h"
#include "platform/com/dispatch.h"
#include "platform/com/variant.h"

namespace tw::test {

class TStandInControl final
    : public com::ComObject<TStandInControl, com::WithoutTypeInfo<com::IDispatch>,
                            com::IConnectionPointContainer> {
 public:
  struct TCall {
    std::u16string Name;
    std::vector<com::Variant> Args;  // by-reference arguments dereferenced
  };
  struct TPeer {
    std::u16string Name;
    std::u16string Address;
    int32_t Port = 0;
    int32_t Moniker = 0;
  };

  TStandInControl();
  ~TStandInControl() override;

  // Scripted answers.
  bool StartResult = true;
  bool GenerateResult = true;
  std::u16string LocalIPs = u"127.0.0.1";
  int32_t LastErrorCode = 0;  // what LastError reads
  // What ListeningPort reads while running when it was set to 0 (the port
  // the system would have picked).
  int32_t PickedPort = 40000;
  // A member (by name) that fails at the automation level, as a member whose
  // failure guard caught an error does.
  std::u16string FailingMember;
  // Runs inside GenerateKeypair, e.g. to pump or to observe the windows.
  std::function<void()> DuringGenerate;

  // The latest calls, oldest first; at most kCallLogLimit are kept.
  static constexpr size_t kCallLogLimit = 1000;
  const std::deque<TCall>& Calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  std::vector<std::u16string> CallNames() const;
  bool IsRunning() const { return running_; }
  const std::map<int32_t, TPeer>& Peers() const { return peers_; }

  // Events, fired at the advised sink as the control fires them.
  // Returns the accept flag and sets `password` from the container's answer.
  bool FireConnectionRequest(std::u16string_view user, std::u16string& password);
  // Adds the peer and fires OnPeerConnected; returns its handle.
  int32_t ConnectPeer(std::u16string_view name, std::u16string_view address, int32_t port);
  void FirePeerRejected(std::u16string_view user, std::u16string_view address, int32_t port,
                        int32_t code);
  // Removes the peer and fires OnPeerDisconnected.
  void DropPeer(int32_t handle, int32_t code);
  void FireBinaryMessage(int32_t handle, com::VARIANT& message);

  // IDispatch
  com::HRESULT GetIDsOfNames(com::REFIID, com::LPOLESTR* names, com::UINT count, com::LCID,
                             com::DISPID* ids) override;
  com::HRESULT Invoke(com::DISPID id, com::REFIID, com::LCID, com::WORD flags,
                      com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO* excep,
                      com::UINT* argErr) override;
  // IConnectionPointContainer
  com::HRESULT EnumConnectionPoints(com::IEnumConnectionPoints** points) override;
  com::HRESULT FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) override;

 private:
  com::HRESULT Run(const std::u16string& name, std::span<com::VARIANT> args, com::VARIANT* result);
  void Fire(com::DISPID id, std::vector<com::Variant> args);

  com::ComPtr<com::ConnectionPoint> point_;
  std::map<int32_t, TPeer> peers_;
  std::deque<TCall> calls_;
  bool running_ = false;
  std::map<std::u16string, com::Variant> properties_;  // the values put, by name
  int32_t nextHandle_ = 101;
  int32_t generated_ = 0;
};

}  // namespace tw::test
