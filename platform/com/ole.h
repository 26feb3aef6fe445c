// The part of OLE embedding that the control shell needs: the container's
// client site (asked for ambient properties through its IDispatch, where
// UserMode, DISPID -709, tells design mode from run time) and the control's
// IOleObject (site hand-over, misc status, close). These two interfaces carry
// the standard identifiers but only the members listed here, in this order.
//
// Ownership: SetClientSite makes the object keep a reference to the site
// until it is replaced, cleared with null, or the object is closed.
#pragma once

#include "platform/com/dispatch.h"

namespace tw::com {

// Misc status bits (OLEMISC) that a control class registers.
constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
constexpr DWORD OLEMISC_ACTSLIKELABEL = 0x2000;
constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

// Aspect for GetMiscStatus.
constexpr DWORD DVASPECT_CONTENT = 1;

// Save options for Close.
constexpr DWORD OLECLOSE_SAVEIFDIRTY = 0;
constexpr DWORD OLECLOSE_NOSAVE = 1;

class IOleClientSite : public IUnknown {
 public:
  static constexpr IID kIid{0x00000118, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;

  virtual HRESULT SaveObject() = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL show) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;

 protected:
  ~IOleClientSite() = default;
};

class IOleObject : public IUnknown {
 public:
  static constexpr IID kIid{0x00000112, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;

  virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
  virtual HRESULT Close(DWORD saveOption) = 0;
  virtual HRESULT GetUserClassID(CLSID* clsid) = 0;
  virtual HRESULT GetMiscStatus(DWORD aspect, DWORD* status) = 0;

 protected:
  ~IOleObject() = default;
};

inline constexpr IID IID_IOleClientSite = IOleClientSite::kIid;
inline constexpr IID IID_IOleObject = IOleObject::kIid;

// Reads the ambient UserMode of `site` (a property get of DISPID -709 on the
// site's IDispatch). Design mode is true only when the site answers False;
// no site, no IDispatch, a failed call or a value that is not a Boolean all
// count as run time.
bool IsDesignMode(IOleClientSite* site);

}  // namespace tw::com
