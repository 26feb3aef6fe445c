// The connection point keeps its sinks in advise order; the newest one is
// the control's event sink, as a container that re-advises expects.
#include "platform/com/connection.h"

#include <algorithm>

namespace tw::com {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID eventsIid,
                                 SinkChanged onSinkChanged, SinkPolicy policy)
    : container_(container), eventsIid_(eventsIid), onSinkChanged_(std::move(onSinkChanged)), policy_(policy) {}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = eventsIid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = container_;
  if (!container_) return E_UNEXPECTED;
  container_->AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  if (!container_) return E_UNEXPECTED;  // the control has gone
  ComPtr<IDispatch> events;
  if (FAILED(sink->QueryInterface(eventsIid_, events.OutVoid())) || !events) {
    return CONNECT_E_CANNOTCONNECT;
  }
  if (nextCookie_ == 0) return CONNECT_E_ADVISELIMIT;  // all 2^32-1 cookies spent
  *cookie = nextCookie_++;
  // The replaced sink lives until the owner has heard of the change.
  std::vector<Connection> replaced;
  if (policy_ == SinkPolicy::Single) replaced.swap(sinks_);
  sinks_.push_back({*cookie, std::move(events)});
  Notify();
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(),
                         [cookie](const Connection& c) { return c.cookie == cookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  // Keep the sink alive until the owner has heard of the change.
  ComPtr<IDispatch> leaving = std::move(it->sink);
  sinks_.erase(it);
  Notify();
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections) *connections = nullptr;
  return E_NOTIMPL;
}

void ConnectionPoint::Detach() {
  container_ = nullptr;
  onSinkChanged_ = nullptr;
  sinks_.clear();
}

void ConnectionPoint::Notify() {
  if (onSinkChanged_) onSinkChanged_(Sink());
}

}  // namespace tw::com
