// TFakeClientSite: the client site a container gives a control, for control
// tests: its ambient UserMode answers as configured, and it counts the
// control's requests to lay the site out again.
#pragma once

#include "platform/com/dispatch.h"
#include "platform/com/ole.h"

namespace tw::test {

class TFakeClientSite final
    : public com::ComObject<TFakeClientSite, com::IOleClientSite, com::WithoutTypeInfo<com::IDispatch>> {
 public:
  // Design: UserMode False; Running: True; NoAnswer: the site does not know
  // UserMode; NotBoolean: it answers with a number.
  enum Mode { Design, Running, NoAnswer, NotBoolean };
  explicit TFakeClientSite(Mode m) : mode(m) {}

  Mode mode;
  int layouts = 0;

  // IOleClientSite
  com::HRESULT SaveObject() override { return com::E_NOTIMPL; }
  com::HRESULT ShowObject() override { return com::S_OK; }
  com::HRESULT OnShowWindow(com::BOOL) override { return com::S_OK; }
  com::HRESULT RequestNewObjectLayout() override {
    ++layouts;
    return com::S_OK;
  }
  // IDispatch: the ambient properties.
  com::HRESULT GetIDsOfNames(com::REFIID, com::LPOLESTR*, com::UINT, com::LCID, com::DISPID*) override {
    return com::DISP_E_UNKNOWNNAME;
  }
  com::HRESULT Invoke(com::DISPID id, com::REFIID, com::LCID, com::WORD flags, com::DISPPARAMS*,
                      com::VARIANT* result, com::EXCEPINFO*, com::UINT*) override;
};

}  // namespace tw::test
