// What a container needs to drive the client control library from its file
// (and the server control's, for tests that run both): a temporary registry,
// a library's exports, and a client control made by its class identifier
// with an event sink that records what it is told and may react.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/cParleyClnIntf.h"
#include "platform/com/classes.h"
#include "platform/com/connection.h"
#include "platform/com/dispatch_call.h"
#include "platform/com/errorinfo.h"
#include "platform/com/registry.h"
#include "platform/win32/messages.h"
#include "platform/win32/system.h"
#include "platform/win32/text.h"
#include "tests/support/control_container.h"
#include "tests/support/temp_folder.h"

namespace tw::test {

using namespace tw::com;

inline const char* ClientLibrary() { return TW_CLIENT_CONTROL; }

// The bytes of a byte-array argument (by reference or not); checks its form.
inline std::string BytesOf(const VARIANT& v) {
  const VARIANT* a = v.vt == (VT_BYREF | VT_VARIANT) ? v.pvarVal : &v;
  EXPECT_EQ(a->vt, VT_ARRAY | VT_UI1);
  if (a->vt != (VT_ARRAY | VT_UI1)) return {};
  EXPECT_EQ(SafeArrayGetDim(a->parray), 1u);
  LONG lower = -1;
  SafeArrayGetLBound(a->parray, 1, &lower);
  EXPECT_EQ(lower, 0);
  return std::string(static_cast<const char*>(a->parray->pvData), a->parray->rgsabound[0].cElements);
}

// The client control's events sink by default.
struct TSink : TEventSink {
  explicit TSink(REFIID eventsIid = DIID_ItwParleyClnXEvents) : TEventSink(eventsIid) {}
  bool Advise(IUnknown* control, REFIID eventsIid = DIID_ItwParleyClnXEvents) {
    return TEventSink::Advise(control, eventsIid);
  }
};

// One client control made by its CLSID, as a container holds it: the
// interface, and a sink when one is connected.
struct TClientControl {
  ComPtr<ItwParleyClnX> ctl;
  std::unique_ptr<TSink> sink;

  // Creates the control; connects a sink unless `withSink` is false.
  explicit TClientControl(bool withSink = true) {
    EXPECT_EQ(CoCreateInstance(CLSID_twParleyClnX, nullptr, CLSCTX_INPROC_SERVER, IID_ItwParleyClnX, ctl.OutVoid()),
              S_OK);
    if (ctl && withSink) {
      sink = std::make_unique<TSink>();
      EXPECT_TRUE(sink->Advise(ctl.Get()));
    }
  }
  IDispatch* Disp() { return ctl.Get(); }
  int32_t LastError() {
    LONG v = -99;
    ctl->get_LastError(&v);
    return v;
  }
  int32_t Status() {
    LONG v = -99;
    ctl->GetSessionStatus(&v);
    return v;
  }
  bool Open(uint16_t port, const std::u16string& user, const std::u16string& password) {
    DispResult r = Call(Disp(), u"OpenSession", u"127.0.0.1", int32_t{port}, user.c_str(), password.c_str());
    return r && r.value.boolVal == VARIANT_TRUE;
  }
  // The latest handle OnPeerConnected gave for the peer named `name`; 0
  // when none.
  LONG Handle(const std::u16string& name) {
    if (!sink) return 0;
    for (const TEvent& e : std::vector<TEvent>(sink->events.rbegin(), sink->events.rend())) {
      if (e.id != DISPID_CLN_ONPEERCONNECTED) continue;
      const LONG h = std::stoi(e.args[0]);
      Bstr n;
      if (SUCCEEDED(ctl->GetPeerName(h, n.Out())) && n.View() == name) return h;
    }
    return 0;
  }
};

}  // namespace tw::test
