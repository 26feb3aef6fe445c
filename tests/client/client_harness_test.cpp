// The harness's own promise, on which every check that something did not
// happen stands: Settle returns only once everything set in motion before it
// has run its course, and on a quiet session it runs one step and no longer.
#include <gtest/gtest.h>

#include <string>

#include "client_harness.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;

TEST(HarnessSettle, ReturnsOnlyOnceEveryExchangeStartedBeforeItHasRunItsCourse) {
  THarness h({.manualClock = true});
  // Logins, the hub's lists and the bonds between every pair: many round
  // trips, none of them waited for by the test.
  for (const char16_t* user : {u"c0", u"c1", u"c2"}) {
    TClient& c = h.AddClient();
    ASSERT_TRUE(c->OpenSession(u"127.0.0.1", h.Port(), user, u"pw"));
  }
  ASSERT_TRUE(h.Settle());
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(h[i]->GetSessionStatus(), cln::ssOpen) << i;
    EXPECT_EQ(h[i].connected.size(), 2u) << i;
  }
  // Messages from a client and from a bare one, each relayed by the hub.
  TRawClient raw(h, u"raw");
  ASSERT_TRUE(h.Settle());
  raw.SendRouted(cln::BOND_REQUEST, IntToField(secNone), raw.PeerId(u"c0"));
  const cln::TPeerHandle to = h[1].Handle(u"c2");
  for (char16_t last = u'a'; last <= u't'; ++last) ASSERT_TRUE(h[1]->SendChatMessage(to, std::u16string{u'm', last}));
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(h[0].Saw("connected raw"));
  EXPECT_EQ(h[2].Count("chat c1 m"), 20u);
  EXPECT_TRUE(h[2].Saw("chat c1 mt"));
}

TEST(HarnessSettle, OnAQuietSessionRunsOneStep) {
  THarness h({.manualClock = true});  // no timer falls due
  ASSERT_TRUE(h.OpenMesh(2));
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.SettleSteps(), 1u);
  // A message in flight keeps it stepping until it arrived.
  ASSERT_TRUE(h[0]->SendChatMessage(h[0].Handle(u"c1"), u"hi"));
  ASSERT_TRUE(h.Settle());
  EXPECT_GT(h.SettleSteps(), 1u);
  EXPECT_TRUE(h[1].Saw("chat c0 hi"));
}
