// The server control as a container sees it without network peers: its
// exports and registration, the member table, argument handling, the shell
// (design-time box, run-time height, About box, sink keeping).
#include <dlfcn.h>

#include <cstring>

#include "platform/com/ole.h"
#include "platform/shell/canvas.h"
#include "platform/shell/dialog.h"
#include "tests/server/control_fixture.h"
#include "tests/support/client_site.h"

using namespace tw;
using namespace tw::com;
using namespace tw::test;

namespace {

using I = ItwParleySrvX;
const Row kMembers[] = {
    {u"AboutBox", -552, Kind::Method, 7, SlotOf(&I::AboutBox), 0},
    {u"GenerateKeypair", 202, Kind::Method, 8, SlotOf(&I::GenerateKeypair), 2},
    {u"TakeFingerprint", 203, Kind::Method, 9, SlotOf(&I::TakeFingerprint), 1},
    {u"DisconnectPeer", 204, Kind::Method, 10, SlotOf(&I::DisconnectPeer), 1},
    {u"GetPeerAddress", 205, Kind::Method, 11, SlotOf(&I::GetPeerAddress), 1},
    {u"GetPeerPort", 206, Kind::Method, 12, SlotOf(&I::GetPeerPort), 1},
    {u"GetMoniker", 207, Kind::Method, 13, SlotOf(&I::GetMoniker), 1},
    {u"GetPeerName", 208, Kind::Method, 14, SlotOf(&I::GetPeerName), 1},
    {u"SetMoniker", 210, Kind::Method, 15, SlotOf(&I::SetMoniker), 2},
    {u"Start", 211, Kind::Method, 16, SlotOf(&I::Start), 0},
    {u"Stop", 212, Kind::Method, 17, SlotOf(&I::Stop), 0},
    {u"LocalIPList", 213, Kind::Get, 18, SlotOf(&I::get_LocalIPList), 0},
    {u"LastError", 214, Kind::Get, 19, SlotOf(&I::get_LastError), 0},
    {u"SecurityMode", 215, Kind::Get, 20, SlotOf(&I::get_SecurityMode), 0},
    {u"SecurityMode", 215, Kind::Put, 21, SlotOf(&I::put_SecurityMode), 1},
    {u"PublicKey", 216, Kind::Get, 22, SlotOf(&I::get_PublicKey), 0},
    {u"PublicKey", 216, Kind::Put, 23, SlotOf(&I::put_PublicKey), 1},
    {u"PrivateKey", 217, Kind::Get, 24, SlotOf(&I::get_PrivateKey), 0},
    {u"PrivateKey", 217, Kind::Put, 25, SlotOf(&I::put_PrivateKey), 1},
    {u"SecretKey", 218, Kind::Get, 26, SlotOf(&I::get_SecretKey), 0},
    {u"SecretKey", 218, Kind::Put, 27, SlotOf(&I::put_SecretKey), 1},
    {u"Fingerprints", 219, Kind::Get, 28, SlotOf(&I::get_Fingerprints), 0},
    {u"Fingerprints", 219, Kind::Put, 29, SlotOf(&I::put_Fingerprints), 1},
    {u"BindAddress", 220, Kind::Get, 30, SlotOf(&I::get_BindAddress), 0},
    {u"BindAddress", 220, Kind::Put, 31, SlotOf(&I::put_BindAddress), 1},
    {u"ListeningPort", 221, Kind::Get, 32, SlotOf(&I::get_ListeningPort), 0},
    {u"ListeningPort", 221, Kind::Put, 33, SlotOf(&I::put_ListeningPort), 1},
    {u"Running", 222, Kind::Get, 34, SlotOf(&I::get_Running), 0},
    {u"SendBinaryMessage", 223, Kind::Method, 35, SlotOf(&I::SendBinaryMessage), 2},
};

}  // namespace

TEST(ControlLibrary, ExportsOnlyTheFourEntryPoints) {
  void* lib = ::dlopen(ControlLibrary(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(::dlsym(lib, name), nullptr) << name;
  // The engine, the transport and the platform wrappers inside stay private.
  for (const char* name : {"_ZN2tw4CHub5StartEv", "_ZN2tw4CMill6PumpUpEv", "_ZN2tw12TTWParleySrv5StartEv"})
    EXPECT_EQ(::dlsym(lib, name), nullptr) << name;
  auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(lib, "DllGetClassObject"));
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(get(GUID_NULL, IID_IClassFactory, factory.OutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(get(CLSID_twParleySrvX, IID_IClassFactory, factory.OutVoid()), S_OK);
  auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(lib, "DllCanUnloadNow"));
  EXPECT_EQ(canUnload(), S_FALSE);  // the factory is held
  ComPtr<IUnknown> a, b;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, a.OutVoid()), S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, b.OutVoid()), S_OK);
  EXPECT_NE(a.Get(), b.Get());  // a new object for every request
  EXPECT_EQ(factory->CreateInstance(a.Get(), IID_IUnknown, b.OutVoid()), CLASS_E_NOAGGREGATION);
  a.Reset();
  factory.Reset();
  EXPECT_EQ(canUnload(), S_OK);
  ::dlclose(lib);
}

TEST(ControlLibrary, RegistrationWritesAndRemovesOnlyItsOwnKeys) {
  TempRegistryDir dir;
  Registry reg(dir.File());
  // Somebody else's class, interface and type library.
  ASSERT_EQ(reg.SetValue("CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", "", "/other.so"), S_OK);
  ASSERT_EQ(reg.SetValue("Interface\\{11111111-2222-3333-4444-555555555556}", "", "IOther"), S_OK);
  ASSERT_EQ(reg.SetValue("TypeLib\\{11111111-2222-3333-4444-555555555557}\\1.0", "", "Other"), S_OK);
  const std::string before = dir.Text();

  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  const std::string cls = "CLSID\\" + GuidToString(CLSID_twParleySrvX);
  const std::string path = std::filesystem::canonical(ControlLibrary()).string();
  EXPECT_EQ(reg.GetValue(cls + "\\InprocServer32"), path);
  EXPECT_EQ(reg.GetValue(cls + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(reg.GetValue(cls + "\\ProgID"), kParleySrvProgId);
  EXPECT_EQ(reg.GetValue(cls + "\\TypeLib"), GuidToString(LIBID_twParleySrv));
  EXPECT_EQ(reg.GetValue(cls + "\\MiscStatus\\1"), std::to_string(0x22191));
  EXPECT_EQ(reg.GetValue(cls + "\\ToolboxBitmap32"), path + ",1");
  EXPECT_TRUE(reg.GetValue(cls + "\\Control").has_value());
  EXPECT_EQ(reg.GetValue(std::string(kParleySrvProgId) + "\\CLSID"), GuidToString(CLSID_twParleySrvX));
  EXPECT_EQ(reg.GetValue("Interface\\" + GuidToString(IID_ItwParleySrvX)), "ItwParleySrvX");
  EXPECT_EQ(reg.GetValue("Interface\\" + GuidToString(DIID_ItwParleySrvXEvents)), "ItwParleySrvXEvents");
  EXPECT_EQ(reg.GetValue("TypeLib\\" + GuidToString(LIBID_twParleySrv) + "\\1.0\\0\\win32"), path);
  CLSID byProgId{};
  const std::u16string progId = win32::AnsiToWide(kParleySrvProgId);
  EXPECT_EQ(CLSIDFromProgID(progId.c_str(), &byProgId), S_OK);
  EXPECT_EQ(byProgId, CLSID_twParleySrvX);

  // Registering twice changes nothing; unregistering restores the file.
  const std::string once = dir.Text();
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  EXPECT_EQ(dir.Text(), once);
  ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
  EXPECT_EQ(dir.Text(), before);
}

TEST_F(ControlRig, MemberTableNamesDispidsKindsAndSlots) {
  std::set<DISPID> ids;
  for (const Row& r : kMembers) {
    SCOPED_TRACE(win32::Utf16ToUtf8(r.name));
    EXPECT_EQ(r.actual, r.slot);
    std::u16string name = r.name;
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    ASSERT_EQ(Disp()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, r.id);
    ids.insert(id);
    // The row exists for its kind (a wrong count is refused before the
    // member runs) and for no other kind.
    std::vector<Variant> tooMany(r.inputs + 1);
    Variant result;
    EXPECT_EQ(RawInvoke(Disp(), r.id, FlagsOf(r.kind), tooMany, result.Out(), nullptr, false),
              DISP_E_BADPARAMCOUNT);
    if (r.kind == Kind::Method) {
      std::vector<Variant> value(1);
      EXPECT_EQ(RawInvoke(Disp(), r.id, DISPATCH_PROPERTYPUT, value, result.Out()), DISP_E_MEMBERNOTFOUND);
    }
  }
  EXPECT_EQ(std::size(kMembers), 29u);
  EXPECT_EQ(ids.size(), 22u);
  EXPECT_EQ(ids.count(209), 0u);
  // Names are case-insensitive; unknown names are refused.
  std::u16string lower = u"listeningport", unknown = u"Listen";
  LPOLESTR l[] = {lower.data()}, u[] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(Disp()->GetIDsOfNames(IID_NULL, l, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, 221);
  EXPECT_EQ(Disp()->GetIDsOfNames(IID_NULL, u, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(ControlRig, PropertiesRoundTripThroughPutsAndCoercion) {
  // A put through the named argument, then coerced inputs: I2 and BSTR.
  EXPECT_TRUE(PutProperty(Disp(), u"ListeningPort", Variant(4321)));
  EXPECT_EQ(GetProperty(Disp(), u"ListeningPort").value.lVal, 4321);
  Variant i2;
  i2.vt = VT_I2;
  i2.iVal = 77;
  EXPECT_TRUE(PutProperty(Disp(), u"ListeningPort", i2));
  EXPECT_EQ(GetProperty(Disp(), u"ListeningPort").value.lVal, 77);
  EXPECT_TRUE(PutProperty(Disp(), u"SecurityMode", Variant(u"2")));
  EXPECT_EQ(GetProperty(Disp(), u"SecurityMode").value.lVal, 2);
  EXPECT_TRUE(PutProperty(Disp(), u"SecurityMode", Variant(7)));  // stored without a range check
  EXPECT_EQ(GetProperty(Disp(), u"SecurityMode").value.lVal, 7);
  DispResult bad = PutProperty(Disp(), u"SecurityMode", Variant(u"two"));
  EXPECT_EQ(bad.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad.argErr, 0u);
  EXPECT_EQ(GetProperty(Disp(), u"SecurityMode").value.lVal, 7);

  for (const char16_t* name : {u"SecretKey", u"BindAddress"}) {
    EXPECT_TRUE(PutProperty(Disp(), name, Variant(u"127.0.0.1")));
    DispResult r = GetProperty(Disp(), name);
    EXPECT_EQ(r.value.vt, VT_BSTR);
    EXPECT_EQ(BstrView(r.value.bstrVal), u"127.0.0.1");
  }
  // The vtable side: BSTRs in and copies out.
  Bstr in(u"geheim"), out;
  EXPECT_EQ(ctl->put_SecretKey(in.Get()), S_OK);
  EXPECT_EQ(ctl->get_SecretKey(out.Out()), S_OK);
  EXPECT_EQ(out.View(), u"geheim");
  EXPECT_NE(out.Get(), in.Get());
}

TEST_F(ControlRig, ResultsTrueAsMinusOneAndNullResultPointers) {
  DispResult started = Call(Disp(), u"Start");
  ASSERT_TRUE(started);
  EXPECT_EQ(started.value.vt, VT_BOOL);
  EXPECT_EQ(started.value.boolVal, -1);
  DispResult running = GetProperty(Disp(), u"Running");
  EXPECT_EQ(running.value.vt, VT_BOOL);
  EXPECT_EQ(running.value.boolVal, -1);
  // Already running: False with LastError 0; still running.
  EXPECT_EQ(Call(Disp(), u"Start").value.boolVal, 0);
  EXPECT_EQ(LastError(), 0);
  // Invoke may be given no result at all; the vtable may not.
  std::vector<Variant> none;
  EXPECT_EQ(RawInvoke(Disp(), DISPID_SRV_RUNNING, DISPATCH_PROPERTYGET, none, nullptr), S_OK);
  EXPECT_EQ(ctl->get_Running(nullptr), E_POINTER);
  EXPECT_EQ(ctl->get_LastError(nullptr), E_POINTER);
  EXPECT_EQ(ctl->GetPeerName(1, nullptr), E_POINTER);
  EXPECT_EQ(Call(Disp(), u"Stop").value.boolVal, -1);
  EXPECT_EQ(GetProperty(Disp(), u"Running").value.boolVal, 0);
}

TEST_F(ControlRig, PeerMembersRefuseUnknownHandles) {
  for (LONG handle : {0, -1, 12345}) {
    EXPECT_EQ(Call(Disp(), u"GetMoniker", handle).value.lVal, 0);
    EXPECT_EQ(LastError(), errInvalidHandle);
    EXPECT_TRUE(Call(Disp(), u"SetMoniker", handle, 5));
    EXPECT_EQ(LastError(), errInvalidHandle);
    EXPECT_EQ(BstrView(Call(Disp(), u"GetPeerName", handle).value.bstrVal), u"");
    EXPECT_EQ(Call(Disp(), u"GetPeerPort", handle).value.lVal, 0);
    EXPECT_TRUE(Call(Disp(), u"DisconnectPeer", handle));
    EXPECT_EQ(LastError(), errInvalidHandle);
  }
  DispResult sent = Call(Disp(), u"SendBinaryMessage", 1, ByteArrayOf("x"));
  EXPECT_EQ(sent.value.boolVal, 0);
  EXPECT_EQ(LastError(), errInvalidHandle);
}

TEST_F(ControlRig, FingerprintOfAKeyText) {
  // A key text decodes to its bytes; the fingerprint is Base64 of their MD5.
  DispResult fp = Call(Disp(), u"TakeFingerprint", u"AAEC");
  ASSERT_TRUE(fp);
  EXPECT_EQ(BstrView(fp.value.bstrVal).size(), 24u);
  EXPECT_EQ(BstrView(Call(Disp(), u"TakeFingerprint", u"").value.bstrVal), u"");
}

TEST_F(ControlRig, GenerateKeypairHandsOutKeysAndKeepsTheServersOwn) {
  Bstr publicKey(u"stale"), privateKey;
  BSTR pub = publicKey.Detach(), priv = nullptr;  // an [out] value the member replaces
  DispResult r = Call(Disp(), u"GenerateKeypair", ByRef(&pub), ByRef(&priv));
  publicKey = Bstr::Attach(pub);
  privateKey = Bstr::Attach(priv);
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value.vt, VT_BOOL);
  EXPECT_EQ(r.value.boolVal, -1);
  EXPECT_GT(publicKey.Length(), 40u);
  EXPECT_GT(privateKey.Length(), 40u);
  EXPECT_NE(publicKey.View(), u"stale");
  EXPECT_EQ(BstrView(GetProperty(Disp(), u"PublicKey").value.bstrVal), u"");
  EXPECT_EQ(BstrView(GetProperty(Disp(), u"PrivateKey").value.bstrVal), u"");
  // The key reads back in the transport's form of it, with its fingerprint.
  EXPECT_TRUE(PutProperty(Disp(), u"PublicKey", Variant(publicKey.View())));
  EXPECT_EQ(BstrView(GetProperty(Disp(), u"PublicKey").value.bstrVal), publicKey.View());
  const std::u16string fp(BstrView(Call(Disp(), u"TakeFingerprint", publicKey.View()).value.bstrVal));
  EXPECT_EQ(fp.size(), 24u);
  EXPECT_EQ(fp.substr(22), u"==");
}

// --- The shell -------------------------------------------------------------------------

namespace {

// A client site whose ambient UserMode answers as configured.
using TSite = TFakeClientSite;

}  // namespace

TEST_F(ControlRig, DesignModeDrawsTheCaptionBoxAndRunTimeTakesNoHeight) {
  ComPtr<shell::IControlView> view = ctl.As<shell::IControlView>();
  ComPtr<IOleObject> ole = ctl.As<IOleObject>();
  ASSERT_TRUE(view && ole);
  int32_t w = 0, h = 0;
  view->GetExtent(&w, &h);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(200, 20));
  DWORD misc = 0;
  EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 0x22191u);
  CLSID cls{};
  EXPECT_EQ(ole->GetUserClassID(&cls), S_OK);
  EXPECT_EQ(cls, CLSID_twParleySrvX);

  // In a designer: a box 24 high whose width follows the caption.
  ComPtr<TSite> site = MakeComObject<TSite>(TSite::Design);
  ASSERT_EQ(ole->SetClientSite(site.Get()), S_OK);
  shell::RecordingCanvas canvas;
  ASSERT_EQ(view->Draw(&canvas), S_OK);
  view->GetExtent(&w, &h);
  const std::u16string caption = u"twParley Server";
  const int32_t width = static_cast<int32_t>(caption.size()) * shell::RecordingCanvas::kCharWidth + 32;
  EXPECT_EQ(w, width);
  EXPECT_EQ(h, 24);
  EXPECT_EQ(site->layouts, 1);
  EXPECT_EQ(canvas.brush, shell::Color::System(shell::Color::ButtonFace));
  EXPECT_EQ(canvas.pen, shell::Color::System(shell::Color::WindowText));
  EXPECT_EQ(canvas.font, (shell::Font{u"MS Shell Dlg 2", 8, true}));
  using Op = shell::RecordingCanvas::Op;
  ASSERT_EQ(canvas.ops.size(), 4u);
  EXPECT_EQ(canvas.ops[0].kind, Op::Fill);
  EXPECT_EQ(canvas.ops[1].kind, Op::Edge);
  EXPECT_EQ(canvas.ops[1].rect, (shell::Rect{0, 0, width - 1, 23}));
  EXPECT_EQ(canvas.ops[1].edge, shell::EDGE_ETCHED);
  EXPECT_EQ(canvas.ops[1].flags, shell::BF_RECT);
  EXPECT_EQ(canvas.ops[2].kind, Op::Bitmap);
  EXPECT_EQ(std::make_pair(canvas.ops[2].x, canvas.ops[2].y), std::make_pair(4, 4));
  EXPECT_EQ(canvas.ops[3].kind, Op::Text);
  EXPECT_EQ(canvas.ops[3].rect, (shell::Rect{24, 4, width - 4, 20}));
  EXPECT_EQ(canvas.ops[3].x, 24);
  EXPECT_EQ(canvas.ops[3].y, (24 - shell::RecordingCanvas::kLineHeight) / 2);
  EXPECT_EQ(canvas.ops[3].text, caption);

  // Everything but a site that answers UserMode False counts as running.
  for (TSite::Mode mode : {TSite::Running, TSite::NoAnswer, TSite::NotBoolean}) {
    ComPtr<TSite> other = MakeComObject<TSite>(mode);
    ole->SetClientSite(other.Get());
    shell::RecordingCanvas run;
    ASSERT_EQ(view->Draw(&run), S_OK);
    view->GetExtent(&w, &h);
    EXPECT_EQ(h, 0) << mode;
    EXPECT_TRUE(run.ops.empty()) << mode;
    ole->SetClientSite(site.Get());
    view->Draw(&run);  // back in the designer
    run.ops.clear();
  }
  ole->SetClientSite(nullptr);
  shell::RecordingCanvas none;
  view->Draw(&none);
  view->GetExtent(&w, &h);
  EXPECT_EQ(h, 0);
  EXPECT_TRUE(none.ops.empty());
  EXPECT_EQ(view->Draw(nullptr), E_POINTER);
}

TEST_F(ControlRig, AboutBoxIsShownModallyThroughTheDialogHost) {
  const int before = shell::RecordedDialogCount();
  ASSERT_TRUE(Call(Disp(), u"AboutBox"));
  ASSERT_EQ(shell::RecordedDialogCount(), before + 1);
  const shell::DialogSpec& d = *shell::LastRecordedDialog();
  EXPECT_EQ(d.caption, u"About");
  EXPECT_EQ(std::make_pair(d.clientWidth, d.clientHeight), std::make_pair(267, 120));
  EXPECT_TRUE(d.centredOnScreen && d.dialogBorder && d.systemMenuOnly);
  ASSERT_EQ(d.labels.size(), 3u);
  EXPECT_EQ(d.labels[0].text, u"twParley Server");
  EXPECT_EQ(d.labels[1].text, u"Version 2.4");
  EXPECT_LT(d.labels[0].bounds.top, d.labels[1].bounds.top);
  EXPECT_LT(d.labels[1].bounds.top, d.labels[2].bounds.top);
  ASSERT_EQ(d.buttons.size(), 1u);
  EXPECT_EQ(d.buttons[0].text, u"OK");
  EXPECT_EQ(d.buttons[0].bounds, (shell::Rect{96, 88, 171, 113}));
  EXPECT_TRUE(d.buttons[0].isDefault && d.buttons[0].isCancel);

  // A container's own host shows it instead.
  struct Host : shell::DialogHost {
    int shown = 0;
    int32_t ShowModal(const shell::DialogSpec&) override { return ++shown, shell::IDOK; }
  } host;
  shell::DialogHost* previous = shell::SetDialogHost(&host);
  EXPECT_EQ(ctl->AboutBox(), S_OK);
  shell::SetDialogHost(previous);
  EXPECT_EQ(host.shown, 1);
  EXPECT_EQ(shell::RecordedDialogCount(), before + 1);
}

TEST_F(ControlRig, ConnectionPointKeepsOneSink) {
  ComPtr<IConnectionPoint> point = Point();
  ASSERT_TRUE(point);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID_ItwParleySrvXEvents);
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(ctl.As<IConnectionPointContainer>()->FindConnectionPoint(IID_IDispatch, other.Out()),
            CONNECT_E_NOCONNECTION);
  // A sink without the events interface is refused.
  ComPtr<IDispatch> plain = MakeDispatchSink(GUID_NULL, nullptr);
  DWORD cookie = 7;
  EXPECT_EQ(point->Advise(plain.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(point->Unadvise(12345), CONNECT_E_NOCONNECTION);
}
