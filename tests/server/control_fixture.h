// The server control made through the registry for each test, released
// and its library unloaded at the end, with helpers to start it and to
// connect and join clients.
#pragma once

#include <gtest/gtest.h>

#include "tests/server/control_container.h"
#include "tests/support/exe_folder.h"

namespace tw::test {

// The control made through the registry, released and unloaded at the end.
class ControlRig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_twParleySrvX, nullptr, CLSCTX_INPROC_SERVER, IID_ItwParleySrvX, ctl.OutVoid()),
              S_OK);
    ASSERT_TRUE(ctl);
  }
  void TearDown() override {
    clients.clear();
    ctl.Reset();
    sinks.clear();
    // Deferred destructions run from the message loop.
    win32::RunUntil([] { return LoadedCanUnloadNow() != S_FALSE; }, 2000);
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedLibraryCount(), 0u);
  }

  IDispatch* Disp() { return ctl.Get(); }
  TSink& Advise() {
    sinks.push_back(std::make_unique<TSink>());
    TSink& s = *sinks.back();
    ComPtr<IConnectionPoint> point = Point();
    EXPECT_EQ(point->Advise(s.dispatch.Get(), &s.cookie), S_OK);
    return s;
  }
  ComPtr<IConnectionPoint> Point() {
    ComPtr<IConnectionPoint> point;
    ctl.As<IConnectionPointContainer>()->FindConnectionPoint(DIID_ItwParleySrvXEvents, point.Out());
    return point;
  }
  int32_t LastError() {
    LONG v = -99;
    ctl->get_LastError(&v);
    return v;
  }
  // Starts on a port the system picks and returns it.
  uint16_t StartServer() {
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(ctl->put_ListeningPort(0), S_OK);
    EXPECT_EQ(ctl->Start(&ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    std::vector<uint16_t> ports = ListeningPorts();
    EXPECT_EQ(ports.size(), 1u);
    port = ports.empty() ? 0 : ports[0];
    return port;
  }
  bool Run(const std::function<bool()>& done, uint32_t ms = 3000) { return win32::RunUntil(done, ms); }
  void Settle(uint32_t ms = 100) { win32::RunUntil([] { return false; }, ms); }
  // Opens a session; true once the pipe is in session (state 8).
  TClient& Connect(const std::u16string& user, const std::u16string& password,
                   const std::u16string& app = kParleyAppId) {
    clients.push_back(std::make_unique<TClient>());
    TClient& c = *clients.back();
    c.pipe = c.mill->OpenSession(u"127.0.0.1", port, app, user, password);
    EXPECT_NE(c.pipe, nullptr);
    Run([&] { return c.State() == psSession || c.State() == psClosed; });
    return c;
  }
  // Connects, sends CMD_READY and waits for CMD_WELCOME; returns the handle.
  LONG Join(TSink& sink, const std::u16string& user, const std::u16string& password) {
    const size_t before = sink.Count(DISPID_SRV_ONPEERCONNECTED);
    TClient& c = Connect(user, password);
    EXPECT_EQ(c.State(), psSession);
    c.Send(CMD_READY);
    EXPECT_TRUE(Run([&] { return sink.Count(DISPID_SRV_ONPEERCONNECTED) == before + 1 && c.Count(CMD_WELCOME); }));
    const TEvent* e = sink.Last(DISPID_SRV_ONPEERCONNECTED);
    return e ? std::stoi(e->args[0]) : 0;
  }

  TempRegistryDir registry;
  // The control's files beside the executable (its error log) go to the
  // registry's folder, one per test.
  win32::ScopedExeFolder exeFolder{registry.Folder()};
  ComPtr<ItwParleySrvX> ctl;
  std::vector<std::unique_ptr<TSink>> sinks;
  std::vector<std::unique_ptr<TClient>> clients;
  uint16_t port = 0;
};

}  // namespace tw::test
