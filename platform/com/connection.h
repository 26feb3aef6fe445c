// Connection points: how a container hands a control the sink for its
// events. The control (IConnectionPointContainer) offers one IConnectionPoint
// per events interface; Advise gives it the sink and returns a cookie that
// Unadvise takes back. The enumerators are not offered (E_NOTIMPL).
//
// ConnectionPoint is a ready implementation for a control's events interface:
// it keeps the advised sinks, queried for the events interface, and tells
// its owner whenever the newest one changes. With SinkPolicy::Single it keeps
// one sink only, as the controls do: a new Advise replaces the sink (whose
// cookie goes stale) and only the current cookie can be unadvised. Fire events through a ComPtr
// copy of the sink, so that a sink which unadvises during its own event stays
// alive until the call returns.
#pragma once

#include <functional>
#include <vector>

#include "platform/com/dispatch.h"

namespace tw::com {

class IConnectionPoint;
class IConnectionPointContainer;

struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};

class IEnumConnections : public IUnknown {
 public:
  static constexpr IID kIid{0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
  using Base = IUnknown;
  virtual HRESULT Next(ULONG count, CONNECTDATA* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** copy) = 0;

 protected:
  ~IEnumConnections() = default;
};

class IEnumConnectionPoints : public IUnknown {
 public:
  static constexpr IID kIid{0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
  using Base = IUnknown;
  virtual HRESULT Next(ULONG count, IConnectionPoint** items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** copy) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};

class IConnectionPointContainer : public IUnknown {
 public:
  static constexpr IID kIid{0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
  using Base = IUnknown;
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  // CONNECT_E_NOCONNECTION when no point serves `iid`.
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

class IConnectionPoint : public IUnknown {
 public:
  static constexpr IID kIid{0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
  using Base = IUnknown;
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  // CONNECT_E_CANNOTCONNECT when the sink lacks the events interface.
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  // CONNECT_E_NOCONNECTION for an unknown cookie.
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;

 protected:
  ~IConnectionPoint() = default;
};

inline constexpr IID IID_IConnectionPointContainer = IConnectionPointContainer::kIid;
inline constexpr IID IID_IConnectionPoint = IConnectionPoint::kIid;

// The connection point of one events interface. The owning control keeps it
// in a ComPtr, answers FindConnectionPoint with it, and calls Detach when it
// is destroyed (the point refers to its container without a reference, so
// that the two do not keep each other alive).
enum class SinkPolicy { Many, Single };

class ConnectionPoint final : public ComObject<ConnectionPoint, IConnectionPoint> {
 public:
  // `onSinkChanged` receives the newest advised sink as IDispatch (null when
  // the last one is unadvised).
  using SinkChanged = std::function<void(IDispatch* sink)>;
  ConnectionPoint(IConnectionPointContainer* container, REFIID eventsIid, SinkChanged onSinkChanged,
                  SinkPolicy policy = SinkPolicy::Many);

  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT Unadvise(DWORD cookie) override;
  HRESULT EnumConnections(IEnumConnections** connections) override;

  // The newest advised sink, or null.
  IDispatch* Sink() const { return sinks_.empty() ? nullptr : sinks_.back().sink.Get(); }
  // Forgets the container and every sink (without notifying).
  void Detach();

 private:
  struct Connection {
    DWORD cookie;
    ComPtr<IDispatch> sink;
  };
  void Notify();

  IConnectionPointContainer* container_;
  IID eventsIid_;
  SinkChanged onSinkChanged_;
  SinkPolicy policy_;
  std::vector<Connection> sinks_;
  DWORD nextCookie_ = 1;
};

}  // namespace tw::com
