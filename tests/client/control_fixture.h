// The client control library registered in a temporary registry for each
// test, a server engine on loopback that admits every login with one
// password, and client controls made by CLSID; at the end every control is
// released and the library unloaded.
#pragma once

#include "platform/dsound/virtual_device.h"
#include "server/mParleySrv.h"
#include "tests/client/control_container.h"
#include "tests/support/exe_folder.h"

namespace tw::test {

class ClientRig : public ::testing::Test {
 protected:
  static constexpr const char16_t* kPassword = u"pw";

  void SetUp() override {
    ASSERT_EQ(CallExport(ClientLibrary(), "DllRegisterServer"), S_OK);
    server.Hub().Mill().ErrorLogPath.clear();
    server.Events.OnConnectionRequest = [](TPeerHandle, const std::u16string&, std::u16string& password,
                                           bool& accept) {
      password = kPassword;
      accept = true;
    };
    server.Events.OnBinaryMessage = [this](TPeerHandle h, const VARIANT& m) {
      serverBinaries.push_back(win32::Utf16ToUtf8(server.GetPeerName(h)) + ":" + BytesOf(m));
    };
    server.ListeningPort = 0;
    ASSERT_TRUE(server.Start());
    port = server.Hub().Mill().ListeningPort();
  }
  void TearDown() override {
    controls.clear();
    // Deferred destructions run from the message loop.
    win32::RunUntil([] { return LoadedCanUnloadNow(ClientLibrary()) != S_FALSE; }, 2000);
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedLibraryCount(), 0u);
  }

  TClientControl& Add(bool withSink = true) {
    controls.push_back(std::make_unique<TClientControl>(withSink));
    return *controls.back();
  }
  // Opens the session of `c` as `user` and waits until it is open.
  bool Login(TClientControl& c, const std::u16string& user) {
    return c.Open(port, user, kPassword) && Run([&] { return c.Status() == 2; });
  }
  // Two controls with sinks, logged in as "ann" and "ben" and bonded.
  void Pair() {
    a = &Add();
    b = &Add();
    ASSERT_TRUE(Login(*a, u"ann"));
    ASSERT_TRUE(Login(*b, u"ben"));
    ASSERT_TRUE(Run([&] { return a->Handle(u"ben") && b->Handle(u"ann"); }));
    ben = a->Handle(u"ben");
    ann = b->Handle(u"ann");
  }
  bool Run(const std::function<bool()>& done, uint32_t ms = 5000) { return win32::RunUntil(done, ms); }
  void Settle(uint32_t ms = 100) { win32::RunUntil([] { return false; }, ms); }

  TempRegistry registry;
  // The controls' files beside the executable (their error log) go to the
  // registry's folder, one per test.
  win32::ScopedExeFolder exeFolder{registry.Folder()};
  // The only sound device the controls see: a virtual one with a name
  // beyond ASCII (UTF-8, as the system lists names).
  dsound::ScopedSoundDevices sound{{std::make_shared<dsound::VirtualSoundDevice>("Virtual \xC3\xBC device")}};
  TempFolder files;
  TTWParleySrv server;
  uint16_t port = 0;
  std::vector<std::string> serverBinaries;  // "name:bytes"
  std::vector<std::unique_ptr<TClientControl>> controls;
  TClientControl* a = nullptr;
  TClientControl* b = nullptr;
  LONG ben = 0;  // ben's handle at ann's control
  LONG ann = 0;  // ann's handle at ben's control
};

}  // namespace tw::test
