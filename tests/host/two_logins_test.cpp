// Two client controls that log in to the real host program at the same
// moment (both OpenSession calls before either side pumps a message): each
// must learn of the other exactly once, under one handle that carries a chat.
#include <gtest/gtest.h>

#include "tests/client/control_container.h"
#include "tests/support/host_process.h"

namespace tw::test {
namespace {

constexpr int kRounds = 10;
constexpr uint32_t kWaitMs = 5000;
// After both have met: long enough for a second bond to be announced too.
constexpr uint32_t kSettleMs = 300;

bool Chat(TClientControl& from, LONG to, const char16_t* text) {
  DispResult r = Call(from.Disp(), u"SendChatMessage", int32_t{to}, text);
  return r && r.value.boolVal == VARIANT_TRUE;
}

TEST(HostTwoLogins, ControlsLoggingInAtTheSameMomentMeetOnceEach) {
  TempRegistry registry;
  ASSERT_EQ(CallExport(ClientLibrary(), "DllRegisterServer"), S_OK);
  THostProcess host({TW_HOST_PROGRAM, TW_SERVER_CONTROL, TW_REGSVR});
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TClientControl ann, ben;
    // Empty user names: both enter as guests, without a password.
    ASSERT_TRUE(ann.Open(host.Port(), u"", u""));
    ASSERT_TRUE(ben.Open(host.Port(), u"", u""));
    auto met = [](TClientControl& c) { return c.sink->Count(DISPID_CLN_ONPEERCONNECTED); };
    ASSERT_TRUE(win32::RunUntil([&] { return met(ann) >= 1 && met(ben) >= 1; }, kWaitMs)) << host.Output();
    win32::RunUntil([] { return false; }, kSettleMs);
    EXPECT_EQ(met(ann), 1u);
    EXPECT_EQ(met(ben), 1u);

    const LONG benAtAnn = std::stoi(ann.sink->Last(DISPID_CLN_ONPEERCONNECTED)->args[0]);
    const LONG annAtBen = std::stoi(ben.sink->Last(DISPID_CLN_ONPEERCONNECTED)->args[0]);
    ASSERT_TRUE(Chat(ann, benAtAnn, u"hello ben"));
    ASSERT_TRUE(Chat(ben, annAtBen, u"hello ann"));
    EXPECT_TRUE(win32::RunUntil([&] {
      return ann.sink->Count(DISPID_CLN_ONCHATMESSAGE) == 1 && ben.sink->Count(DISPID_CLN_ONCHATMESSAGE) == 1;
    }, kWaitMs));
    for (TClientControl* c : {&ann, &ben}) Call(c->Disp(), u"CloseSession");
  }
  // The controls die from the message loop once released.
  win32::RunUntil([] { return LoadedCanUnloadNow(ClientLibrary()) != S_FALSE; }, 2000);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(host.Alive()) << host.Output();
}

}  // namespace
}  // namespace tw::test
