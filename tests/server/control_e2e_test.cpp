// The server control end to end, as a container runs it: registered in a
// temporary registry, created by CLSID, advised, started, with clients that
// log in over loopback, exchange binary messages and get disconnected; and
// the containers that misbehave inside events.
#include <fstream>

#include "tests/server/control_fixture.h"

using namespace tw;
using namespace tw::com;
using namespace tw::test;

namespace {

std::string Bytes(const VARIANT& v) {
  const VARIANT* a = v.vt == (VT_BYREF | VT_VARIANT) ? v.pvarVal : &v;
  EXPECT_EQ(a->vt, VT_ARRAY | VT_UI1);
  LONG lower = -1;
  SafeArrayGetLBound(a->parray, 1, &lower);
  EXPECT_EQ(lower, 0);
  return std::string(static_cast<const char*>(a->parray->pvData), a->parray->rgsabound[0].cElements);
}

// The operations named in the transport's error log, which the control
// keeps beside the executable: here the test's own folder.
std::vector<std::string> LoggedOperations(const std::string& folder) {
  std::ifstream in(folder + "twsocketserror.log");
  std::vector<std::string> operations;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // lines end in CR LF
    const size_t colon = line.find(": ");
    operations.push_back(line.substr(colon == std::string::npos ? 0 : colon + 2));
  }
  return operations;
}

}  // namespace

TEST_F(ControlRig, ContainerRunsAServerEndToEnd) {
  TSink& sink = Advise();
  std::vector<std::string> binaries;
  sink.react[DISPID_SRV_ONCONNECTIONREQUEST] = [&](std::span<VARIANT> a) {
    const std::u16string user(BstrView(a[1].bstrVal));
    EXPECT_EQ(a[0].lVal, -1);  // names no peer
    if (user == u"alice" || user == u"bob") return Admit(u"secret")(a);
    if (user == u"carol") *a[3].pboolVal = VARIANT_TRUE;  // password left empty
    return S_OK;  // mallory: Accept left untouched
  };
  sink.react[DISPID_SRV_ONBINARYMESSAGE] = [&](std::span<VARIANT> a) {
    binaries.push_back(std::to_string(a[0].lVal) + ":" + Bytes(a[1]));
    return S_OK;
  };
  StartServer();

  // Accepted with the password the container set by reference.
  const LONG alice = Join(sink, u"alice", u"secret");
  ASSERT_GT(alice, 0);
  TClient& a = *clients.back();
  EXPECT_EQ(BstrView(Call(Disp(), u"GetPeerName", alice).value.bstrVal), u"alice");
  EXPECT_FALSE(BstrView(Call(Disp(), u"GetPeerAddress", alice).value.bstrVal).empty());
  EXPECT_EQ(Call(Disp(), u"GetPeerPort", alice).value.lVal, a.pipe->LocalPort);
  EXPECT_EQ(LastError(), 0);

  // Refused: Accept untouched; and accepted but with the wrong password.
  TClient& m = Connect(u"mallory", u"");
  EXPECT_NE(m.State(), psSession);
  ASSERT_TRUE(Run([&] { return sink.Count(DISPID_SRV_ONPEERREJECTED) == 1; }));
  EXPECT_EQ(sink.Last(DISPID_SRV_ONPEERREJECTED)->args, (std::vector<std::string>{"", "", "0", "4"}));
  TClient& b = Connect(u"bob", u"wrong");
  EXPECT_NE(b.State(), psSession);
  ASSERT_TRUE(Run([&] { return sink.Count(DISPID_SRV_ONPEERREJECTED) == 2; }));
  EXPECT_EQ(sink.Last(DISPID_SRV_ONPEERREJECTED)->args[0], "bob");
  EXPECT_EQ(sink.Last(DISPID_SRV_ONPEERREJECTED)->args[2], std::to_string(b.pipe->LocalPort));
  // Accepted without a password: only an empty user name could pass.
  TClient& carol = Connect(u"carol", u"");
  EXPECT_NE(carol.State(), psSession);
  ASSERT_TRUE(Run([&] { return sink.Count(DISPID_SRV_ONPEERREJECTED) == 3; }));
  EXPECT_EQ(sink.Last(DISPID_SRV_ONPEERREJECTED)->args[0], "carol");
  EXPECT_EQ(sink.Count(DISPID_SRV_ONCONNECTIONREQUEST), 4u);
  EXPECT_EQ(sink.Count(DISPID_SRV_ONPEERCONNECTED), 1u);

  // Monikers: Invoke reverses the arguments back into (aHandle, Moniker).
  ASSERT_TRUE(Call(Disp(), u"SetMoniker", alice, 77));
  EXPECT_EQ(Call(Disp(), u"GetMoniker", alice).value.lVal, 77);
  EXPECT_EQ(Call(Disp(), u"GetMoniker", 77).value.lVal, 0);
  EXPECT_EQ(LastError(), errInvalidHandle);

  // Binary messages both ways, bytes intact.
  const std::string up("\0\x01\xFFhi", 5);
  a.Send(CMD_BINARY, StrToField(up));
  ASSERT_TRUE(Run([&] { return binaries.size() == 1; }));
  EXPECT_EQ(binaries[0], std::to_string(alice) + ":" + up);
  Variant down = ByteArrayOf(std::string("\x80\0down", 6));
  DispResult sent = Call(Disp(), u"SendBinaryMessage", alice, down);
  EXPECT_EQ(sent.value.boolVal, -1);
  ASSERT_TRUE(Run([&] { return a.Count(CMD_BINARY) == 1; }));
  std::string body = a.got.back().second;
  EXPECT_EQ(ReadStrField(body), std::string("\x80\0down", 6));
  // A string instead of a byte array, or nothing: False with LastError 4.
  EXPECT_EQ(Call(Disp(), u"SendBinaryMessage", alice, u"text").value.boolVal, 0);
  EXPECT_EQ(LastError(), errNotByteArray);
  VARIANT_BOOL none = VARIANT_TRUE;
  EXPECT_EQ(ctl->SendBinaryMessage(alice, nullptr, &none), S_OK);
  EXPECT_EQ(none, VARIANT_FALSE);
  EXPECT_EQ(LastError(), errNotByteArray);

  // The host closes the peer: the event arrives inside the call, code 1.
  ASSERT_TRUE(Call(Disp(), u"DisconnectPeer", alice));
  ASSERT_EQ(sink.Count(DISPID_SRV_ONPEERDISCONNECTED), 1u);
  EXPECT_EQ(sink.Last(DISPID_SRV_ONPEERDISCONNECTED)->args, (std::vector<std::string>{std::to_string(alice), "1"}));
  EXPECT_TRUE(Run([&] { return a.State() == psClosed; }));
  EXPECT_EQ(Call(Disp(), u"SendBinaryMessage", alice, down).value.boolVal, 0);

  EXPECT_EQ(Call(Disp(), u"Stop").value.boolVal, -1);
  EXPECT_EQ(GetProperty(Disp(), u"Running").value.boolVal, 0);
  EXPECT_EQ(sink.Count(DISPID_SRV_ONACTIVATE), 0u);
}

TEST_F(ControlRig, WithoutASinkEveryLoginIsRefused) {
  StartServer();
  TClient& c = Connect(u"", u"");
  EXPECT_NE(c.State(), psSession);
  // A sink that came and went leaves no sink either.
  TSink& s = Advise();
  s.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  ASSERT_EQ(Point()->Unadvise(s.cookie), S_OK);
  TClient& d = Connect(u"", u"");
  EXPECT_NE(d.State(), psSession);
  EXPECT_TRUE(s.events.empty());
}

TEST_F(ControlRig, ANewSinkReplacesTheOldAndAStaleUnadviseChangesNothing) {
  StartServer();
  TSink& first = Advise();
  TSink& second = Advise();
  EXPECT_NE(first.cookie, second.cookie);
  first.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  second.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  Join(second, u"", u"");
  EXPECT_TRUE(first.events.empty());
  EXPECT_EQ(Point()->Unadvise(first.cookie), CONNECT_E_NOCONNECTION);
  Join(second, u"", u"");
  EXPECT_EQ(second.Count(DISPID_SRV_ONPEERCONNECTED), 2u);
  // Removing the current sink stops all events.
  ASSERT_EQ(Point()->Unadvise(second.cookie), S_OK);
  const size_t seen = second.events.size();
  clients.front()->mill.reset();
  Settle(200);
  EXPECT_EQ(second.events.size(), seen);
  EXPECT_TRUE(first.events.empty());
}

TEST_F(ControlRig, SinkFailureDuringDeliveryIsLoggedAndDeliveryGoesOn) {
  TSink& sink = Advise();
  sink.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  int failures = 0;
  sink.react[DISPID_SRV_ONBINARYMESSAGE] = [&](std::span<VARIANT>) {
    ++failures;
    return E_FAIL;
  };
  StartServer();
  const LONG h = Join(sink, u"", u"");
  TClient& c = *clients.back();
  c.Send(CMD_BINARY, StrToField("one"));
  c.Send(CMD_BINARY, StrToField("two"));
  ASSERT_TRUE(Run([&] { return failures == 2; }));
  EXPECT_EQ(LoggedOperations(registry.Folder()), (std::vector<std::string>{"DoCommand", "DoCommand"}));
  EXPECT_EQ(c.State(), psSession);
  EXPECT_EQ(Call(Disp(), u"SendBinaryMessage", h, ByteArrayOf("still")).value.boolVal, -1);
}

TEST_F(ControlRig, SinkFailureInsideAMemberFailsThatMember) {
  TSink& sink = Advise();
  sink.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  sink.react[DISPID_SRV_ONPEERDISCONNECTED] = [](std::span<VARIANT>) -> HRESULT {
    throw ComError(E_ACCESSDENIED, "the container refused");
  };
  StartServer();
  const LONG h = Join(sink, u"", u"");
  EXPECT_EQ(ctl->DisconnectPeer(h), E_ACCESSDENIED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
  Bstr text;
  info->GetDescription(text.Out());
  EXPECT_EQ(text.View(), u"the container refused");
  // The peer is closed all the same, and the next member call is clean.
  EXPECT_TRUE(Run([&] { return clients.back()->State() == psClosed; }));
  EXPECT_TRUE(Call(Disp(), u"DisconnectPeer", h));
  // A sink that simply does not handle the event fails nothing.
  sink.react[DISPID_SRV_ONPEERDISCONNECTED] = [](std::span<VARIANT>) { return DISP_E_MEMBERNOTFOUND; };
  const LONG other = Join(sink, u"", u"");
  EXPECT_EQ(ctl->DisconnectPeer(other), S_OK);
  EXPECT_EQ(sink.Count(DISPID_SRV_ONPEERDISCONNECTED), 2u);
}

TEST_F(ControlRig, ContainerMayUnadviseAndReleaseItsSinkInsideAnEvent) {
  auto sink = std::make_unique<TSink>();
  TSink* s = sink.get();
  ComPtr<IConnectionPoint> point = Point();
  ASSERT_EQ(point->Advise(s->dispatch.Get(), &s->cookie), S_OK);
  s->react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  bool dropped = false;
  s->react[DISPID_SRV_ONPEERCONNECTED] = [&](std::span<VARIANT>) {
    point->Unadvise(s->cookie);
    s->dispatch.Reset();  // the container's last reference: only the control's call holds it now
    dropped = true;
    return S_OK;
  };
  StartServer();
  TClient& c = Connect(u"", u"");
  c.Send(CMD_READY);
  ASSERT_TRUE(Run([&] { return dropped && c.Count(CMD_WELCOME); }));
  c.Send(CMD_BINARY, StrToField("nobody listens"));
  Settle(100);
  EXPECT_EQ(s->Count(DISPID_SRV_ONBINARYMESSAGE), 0u);
  point.Reset();
}

TEST_F(ControlRig, ControlReleasedInsideAnEventDiesAfterTheEventReturns) {
  TSink& sink = Advise();
  sink.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  HRESULT insideEvent = E_FAIL;
  bool returned = false;
  sink.react[DISPID_SRV_ONBINARYMESSAGE] = [&](std::span<VARIANT> a) {
    ctl.Reset();  // the container's only reference
    insideEvent = LoadedCanUnloadNow();
    EXPECT_EQ(Bytes(a[1]), "bye");  // the message is still valid
    returned = true;
    return S_OK;
  };
  StartServer();
  Join(sink, u"", u"");
  TClient& c = *clients.back();
  c.Send(CMD_BINARY, StrToField("bye"));
  ASSERT_TRUE(Run([&] { return returned; }));
  EXPECT_EQ(insideEvent, S_FALSE);  // still alive while the event ran
  // Destroyed from the message loop: its connections drop.
  EXPECT_TRUE(Run([&] { return LoadedCanUnloadNow() == S_OK && c.State() == psClosed; }));
  CoFreeUnusedLibraries();
  EXPECT_EQ(LoadedLibraryCount(), 0u);
}

TEST_F(ControlRig, ControlReleasedInsideAnEventOfItsOwnMemberOutlivesTheMember) {
  TSink& sink = Advise();
  sink.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  sink.react[DISPID_SRV_ONPEERDISCONNECTED] = [&](std::span<VARIANT>) {
    ctl.Reset();
    return S_OK;
  };
  StartServer();
  const LONG h = Join(sink, u"", u"");
  ItwParleySrvX* raw = ctl.Get();
  EXPECT_EQ(raw->DisconnectPeer(h), S_OK);  // the member finishes on a live control
  EXPECT_EQ(LoadedCanUnloadNow(), S_FALSE);
  EXPECT_TRUE(Run([] { return LoadedCanUnloadNow() == S_OK; }));
}
