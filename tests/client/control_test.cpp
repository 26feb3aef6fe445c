// The client control as a container sees it: its exports and registration,
// the member table against the interface, the conversions at the boundary,
// and the events of a session with a server engine and a second control.
#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <set>

#include "tests/client/control_fixture.h"

using namespace tw;
using namespace tw::com;
using namespace tw::test;

namespace {

using I = ItwParleyClnX;
const Row kMembers[] = {
    {u"AboutBox", -552, Kind::Method, 7, SlotOf(&I::AboutBox), 0},
    {u"GenerateKeypair", 202, Kind::Method, 8, SlotOf(&I::GenerateKeypair), 2},
    {u"TakeFingerprint", 203, Kind::Method, 9, SlotOf(&I::TakeFingerprint), 1},
    {u"GetMoniker", 204, Kind::Method, 10, SlotOf(&I::GetMoniker), 1},
    {u"SetMoniker", 205, Kind::Method, 11, SlotOf(&I::SetMoniker), 2},
    {u"OpenSession", 206, Kind::Method, 12, SlotOf(&I::OpenSession), 4},
    {u"CloseSession", 207, Kind::Method, 13, SlotOf(&I::CloseSession), 0},
    {u"DisconnectPeer", 208, Kind::Method, 14, SlotOf(&I::DisconnectPeer), 1},
    {u"GetPeerName", 209, Kind::Method, 15, SlotOf(&I::GetPeerName), 1},
    {u"SendAlertMessage", 216, Kind::Method, 16, SlotOf(&I::SendAlertMessage), 2},
    {u"SendChatMessage", 217, Kind::Method, 17, SlotOf(&I::SendChatMessage), 2},
    {u"SecurityMode", 236, Kind::Get, 18, SlotOf(&I::get_SecurityMode), 0},
    {u"SecurityMode", 236, Kind::Put, 19, SlotOf(&I::put_SecurityMode), 1},
    {u"PublicKey", 237, Kind::Get, 20, SlotOf(&I::get_PublicKey), 0},
    {u"PublicKey", 237, Kind::Put, 21, SlotOf(&I::put_PublicKey), 1},
    {u"PrivateKey", 238, Kind::Get, 22, SlotOf(&I::get_PrivateKey), 0},
    {u"PrivateKey", 238, Kind::Put, 23, SlotOf(&I::put_PrivateKey), 1},
    {u"SecretKey", 239, Kind::Get, 24, SlotOf(&I::get_SecretKey), 0},
    {u"SecretKey", 239, Kind::Put, 25, SlotOf(&I::put_SecretKey), 1},
    {u"Fingerprints", 240, Kind::Get, 26, SlotOf(&I::get_Fingerprints), 0},
    {u"Fingerprints", 240, Kind::Put, 27, SlotOf(&I::put_Fingerprints), 1},
    {u"BindAddress", 242, Kind::Get, 28, SlotOf(&I::get_BindAddress), 0},
    {u"BindAddress", 242, Kind::Put, 29, SlotOf(&I::put_BindAddress), 1},
    {u"Username", 245, Kind::Get, 30, SlotOf(&I::get_Username), 0},
    {u"ServerAddress", 248, Kind::Get, 31, SlotOf(&I::get_ServerAddress), 0},
    {u"ServerPort", 249, Kind::Get, 32, SlotOf(&I::get_ServerPort), 0},
    {u"SocksVersion", 250, Kind::Get, 33, SlotOf(&I::get_SocksVersion), 0},
    {u"SocksVersion", 250, Kind::Put, 34, SlotOf(&I::put_SocksVersion), 1},
    {u"SocksServer", 251, Kind::Get, 35, SlotOf(&I::get_SocksServer), 0},
    {u"SocksServer", 251, Kind::Put, 36, SlotOf(&I::put_SocksServer), 1},
    {u"SocksPort", 252, Kind::Get, 37, SlotOf(&I::get_SocksPort), 0},
    {u"SocksPort", 252, Kind::Put, 38, SlotOf(&I::put_SocksPort), 1},
    {u"SocksUsername", 253, Kind::Get, 39, SlotOf(&I::get_SocksUsername), 0},
    {u"SocksUsername", 253, Kind::Put, 40, SlotOf(&I::put_SocksUsername), 1},
    {u"SocksPassword", 254, Kind::Get, 41, SlotOf(&I::get_SocksPassword), 0},
    {u"SocksPassword", 254, Kind::Put, 42, SlotOf(&I::put_SocksPassword), 1},
    {u"TransferSuffix", 255, Kind::Get, 43, SlotOf(&I::get_TransferSuffix), 0},
    {u"TransferSuffix", 255, Kind::Put, 44, SlotOf(&I::put_TransferSuffix), 1},
    {u"MuteRecording", 201, Kind::Get, 45, SlotOf(&I::get_MuteRecording), 0},
    {u"MuteRecording", 201, Kind::Put, 46, SlotOf(&I::put_MuteRecording), 1},
    {u"MutePlayback", 212, Kind::Get, 47, SlotOf(&I::get_MutePlayback), 0},
    {u"MutePlayback", 212, Kind::Put, 48, SlotOf(&I::put_MutePlayback), 1},
    {u"NoiseLevel", 213, Kind::Get, 49, SlotOf(&I::get_NoiseLevel), 0},
    {u"NoiseLevel", 213, Kind::Put, 50, SlotOf(&I::put_NoiseLevel), 1},
    {u"BeginTalk", 300, Kind::Method, 51, SlotOf(&I::BeginTalk), 3},
    {u"EndTalk", 302, Kind::Method, 52, SlotOf(&I::EndTalk), 0},
    {u"RequestOutFile", 305, Kind::Method, 53, SlotOf(&I::RequestOutFile), 2},
    {u"CancelOutFile", 304, Kind::Method, 54, SlotOf(&I::CancelOutFile), 1},
    {u"CancelInFile", 306, Kind::Method, 55, SlotOf(&I::CancelInFile), 1},
    {u"GetOutgoingFile", 307, Kind::Method, 56, SlotOf(&I::GetOutgoingFile), 1},
    {u"FrameQuality", 222, Kind::Get, 57, SlotOf(&I::get_FrameQuality), 0},
    {u"FrameQuality", 222, Kind::Put, 58, SlotOf(&I::put_FrameQuality), 1},
    {u"RecordingDevice", 219, Kind::Get, 59, SlotOf(&I::get_RecordingDevice), 0},
    {u"RecordingDevice", 219, Kind::Put, 60, SlotOf(&I::put_RecordingDevice), 1},
    {u"PlaybackDevice", 220, Kind::Get, 61, SlotOf(&I::get_PlaybackDevice), 0},
    {u"PlaybackDevice", 220, Kind::Put, 62, SlotOf(&I::put_PlaybackDevice), 1},
    {u"GetRecordingDeviceCount", 223, Kind::Method, 63, SlotOf(&I::GetRecordingDeviceCount), 0},
    {u"GetRecordingDeviceName", 224, Kind::Method, 64, SlotOf(&I::GetRecordingDeviceName), 1},
    {u"GetPlaybackDeviceCount", 225, Kind::Method, 65, SlotOf(&I::GetPlaybackDeviceCount), 0},
    {u"GetPlaybackDeviceName", 226, Kind::Method, 66, SlotOf(&I::GetPlaybackDeviceName), 1},
    {u"GetCaptureDeviceCount", 227, Kind::Method, 67, SlotOf(&I::GetCaptureDeviceCount), 0},
    {u"GetCaptureDeviceName", 228, Kind::Method, 68, SlotOf(&I::GetCaptureDeviceName), 1},
    {u"SelectCaptureDevice", 229, Kind::Method, 69, SlotOf(&I::SelectCaptureDevice), 1},
    {u"GetFormatCount", 230, Kind::Method, 70, SlotOf(&I::GetFormatCount), 0},
    {u"GetFormatSize", 231, Kind::Method, 71, SlotOf(&I::GetFormatSize), 3},
    {u"SelectCaptureFormat", 232, Kind::Method, 72, SlotOf(&I::SelectCaptureFormat), 1},
    {u"FindCaptureCapabilities", 233, Kind::Method, 73, SlotOf(&I::FindCaptureCapabilities), 0},
    {u"AudioActive", 234, Kind::Get, 74, SlotOf(&I::get_AudioActive), 0},
    {u"LastError", 246, Kind::Get, 75, SlotOf(&I::get_LastError), 0},
    {u"VideoActive", 235, Kind::Get, 76, SlotOf(&I::get_VideoActive), 0},
    {u"GetCaller", 218, Kind::Method, 77, SlotOf(&I::GetCaller), 0},
    {u"GetTalkCount", 247, Kind::Method, 78, SlotOf(&I::GetTalkCount), 0},
    {u"GetTalker", 256, Kind::Method, 79, SlotOf(&I::GetTalker), 1},
    {u"GetSessionStatus", 257, Kind::Method, 80, SlotOf(&I::GetSessionStatus), 0},
    {u"GetTalkState", 259, Kind::Method, 81, SlotOf(&I::GetTalkState), 1},
    {u"SendBinaryMessage", 308, Kind::Method, 82, SlotOf(&I::SendBinaryMessage), 2},
};

std::u16string Text(const DispResult& r) { return std::u16string(BstrView(r.value.bstrVal)); }

// The operations in the control's error log beside the executable.
std::vector<std::string> Logged(const std::string& folder) {
  std::ifstream in(folder + kClientErrorLogFileName);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(": ");
    lines.push_back(line.substr(colon == std::string::npos ? 0 : colon + 2));
  }
  return lines;
}

}  // namespace

TEST(ClientControlLibrary, ExportsOnlyItsEntryPointsAndRegistersItsClass) {
  void* lib = ::dlopen(ClientLibrary(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(::dlsym(lib, name), nullptr) << name;
  for (const char* name : {"_ZN2tw3cln12TTWParleyCln11OpenSessionERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEEiS9_S9_",
                           "_ZN2tw5CMill6PumpUpEv"})
    EXPECT_EQ(::dlsym(lib, name), nullptr) << name;
  ::dlclose(lib);

  TempRegistry dir;
  Registry reg(dir.File());
  ASSERT_EQ(CallExport(ClientLibrary(), "DllRegisterServer"), S_OK);
  const std::string cls = "CLSID\\" + GuidToString(CLSID_twParleyClnX);
  EXPECT_EQ(reg.GetValue(cls + "\\InprocServer32"), std::filesystem::canonical(ClientLibrary()).string());
  EXPECT_EQ(reg.GetValue(cls + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(reg.GetValue(cls + "\\MiscStatus\\1"), std::to_string(0x22191));
  EXPECT_EQ(reg.GetValue("Interface\\" + GuidToString(IID_ItwParleyClnX)), "ItwParleyClnX");
  EXPECT_EQ(reg.GetValue("Interface\\" + GuidToString(DIID_ItwParleyClnXEvents)), "ItwParleyClnXEvents");
  CLSID byProgId{};
  EXPECT_EQ(CLSIDFromProgID(win32::AnsiToWide(kParleyClnProgId).c_str(), &byProgId), S_OK);
  EXPECT_EQ(byProgId, CLSID_twParleyClnX);
  ComPtr<IUnknown> made;
  ASSERT_EQ(CoCreateInstance(CLSID_twParleyClnX, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, made.OutVoid()), S_OK);
  made.Reset();
  win32::RunUntil([] { return LoadedCanUnloadNow(ClientLibrary()) != S_FALSE; }, 2000);
  CoFreeUnusedLibraries();
  ASSERT_EQ(CallExport(ClientLibrary(), "DllUnregisterServer"), S_OK);
  EXPECT_FALSE(reg.GetValue(cls + "\\InprocServer32").has_value());
  EXPECT_FALSE(reg.GetValue("Interface\\" + GuidToString(IID_ItwParleyClnX)).has_value());
}

TEST_F(ClientRig, MemberTableNamesDispidsKindsAndSlots) {
  TClientControl& c = Add(false);
  std::set<DISPID> ids;
  for (const Row& r : kMembers) {
    SCOPED_TRACE(win32::Utf16ToUtf8(r.name));
    EXPECT_EQ(r.actual, r.slot);
    std::u16string name = r.name;
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    ASSERT_EQ(c.Disp()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, r.id);
    ids.insert(id);
    // The row exists for its kind with its argument count (a wrong count is
    // refused before the member runs), and a method is no property.
    std::vector<Variant> tooMany(r.inputs + 1);
    Variant result;
    UINT argErr = 0;
    EXPECT_EQ(RawInvoke(c.Disp(), r.id, FlagsOf(r.kind), tooMany, result.Out(), &argErr, false),
              DISP_E_BADPARAMCOUNT);
    if (r.inputs > 1) {
      std::vector<Variant> tooFew(r.inputs - 1);
      EXPECT_EQ(RawInvoke(c.Disp(), r.id, FlagsOf(r.kind), tooFew, result.Out(), &argErr), DISP_E_BADPARAMCOUNT);
    }
    if (r.kind == Kind::Method) {
      std::vector<Variant> value(1);
      EXPECT_EQ(RawInvoke(c.Disp(), r.id, DISPATCH_PROPERTYPUT, value, result.Out(), &argErr),
                DISP_E_MEMBERNOTFOUND);
    }
  }
  EXPECT_EQ(std::size(kMembers), 76u);
  EXPECT_EQ(ids.size(), 58u);
  std::u16string lower = u"sendchatmessage";
  LPOLESTR l[] = {lower.data()};
  DISPID id = 0;
  EXPECT_EQ(c.Disp()->GetIDsOfNames(IID_NULL, l, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, 217);
}

TEST_F(ClientRig, PropertiesRoundTripThroughTheEngine) {
  TClientControl& c = Add(false);
  struct Case {
    const char16_t* name;
    Variant value;
  };
  const Case cases[] = {
      {u"SecurityMode", Variant(1)},          {u"SecretKey", Variant(u"geheim")},
      {u"Fingerprints", Variant(u"a==,b==")}, {u"BindAddress", Variant(u"127.0.0.1")},
      {u"SocksVersion", Variant(5)},          {u"SocksServer", Variant(u"proxy.example")},
      {u"SocksPort", Variant(1080)},          {u"SocksUsername", Variant(u"sam")},
      {u"SocksPassword", Variant(u"s3cret")}, {u"TransferSuffix", Variant(u".part")},
      {u"NoiseLevel", Variant(5)},            {u"FrameQuality", Variant(2)},
      {u"MuteRecording", Variant(true)},      {u"MutePlayback", Variant(true)},
      {u"RecordingDevice", Variant(1)},       {u"PlaybackDevice", Variant(1)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(win32::Utf16ToUtf8(k.name));
    ASSERT_TRUE(PutProperty(c.Disp(), k.name, k.value));
    DispResult got = GetProperty(c.Disp(), k.name);
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value.vt, k.value.vt);
    EXPECT_EQ(got.value.ToString(), k.value.ToString());
  }
  // FrameQuality takes 1 to 5 only; the last accepted value stays.
  for (int32_t outside : {0, 6, -1}) {
    EXPECT_TRUE(PutProperty(c.Disp(), u"FrameQuality", Variant(outside)));
    EXPECT_EQ(GetProperty(c.Disp(), u"FrameQuality").value.lVal, 2);
  }
  // Booleans: any non-zero value is true, and true reads back as -1.
  for (auto [in, out] : {std::pair{5, -1}, std::pair{0, 0}, std::pair{-2, -1}}) {
    VARIANT_BOOL got = static_cast<VARIANT_BOOL>(42);
    EXPECT_EQ(c.ctl->put_MuteRecording(static_cast<VARIANT_BOOL>(in)), S_OK);
    EXPECT_EQ(c.ctl->get_MuteRecording(&got), S_OK);
    EXPECT_EQ(got, out) << in;
  }
  // An empty transfer suffix would make the temporary file the destination.
  EXPECT_TRUE(PutProperty(c.Disp(), u"TransferSuffix", Variant(u"")));
  EXPECT_EQ(Text(GetProperty(c.Disp(), u"TransferSuffix")), u".part");
  // Device names arrive whole, beyond ASCII too.
  ASSERT_EQ(Call(c.Disp(), u"GetRecordingDeviceCount").value.lVal, 2);  // the default entry and the device
  EXPECT_EQ(Text(Call(c.Disp(), u"GetRecordingDeviceName", 1)), u"Virtual \u00fc device");
  EXPECT_EQ(Text(Call(c.Disp(), u"GetPlaybackDeviceName", 1)), u"Virtual \u00fc device");
  // Strings cross as copies.
  Bstr in(u"copy me"), out;
  EXPECT_EQ(c.ctl->put_SecretKey(in.Get()), S_OK);
  EXPECT_EQ(c.ctl->get_SecretKey(out.Out()), S_OK);
  EXPECT_EQ(out.View(), u"copy me");
  EXPECT_NE(out.Get(), in.Get());
  // Nothing open: no user, no server.
  EXPECT_EQ(Text(GetProperty(c.Disp(), u"Username")), u"");
  EXPECT_EQ(GetProperty(c.Disp(), u"ServerPort").value.lVal, 0);
  EXPECT_EQ(Call(c.Disp(), u"GetSessionStatus").value.lVal, 0);
}

TEST_F(ClientRig, KeysAndFingerprintsConvertAtTheBoundary) {
  TClientControl& c = Add(false);
  BSTR pub = nullptr, priv = nullptr;
  DispResult r = Call(c.Disp(), u"GenerateKeypair", ByRef(&pub), ByRef(&priv));
  Bstr publicKey = Bstr::Attach(pub), privateKey = Bstr::Attach(priv);
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value.vt, VT_BOOL);
  EXPECT_EQ(r.value.boolVal, -1);  // true crosses as -1
  EXPECT_GT(publicKey.Length(), 40u);
  EXPECT_GT(privateKey.Length(), 40u);
  EXPECT_EQ(Text(GetProperty(c.Disp(), u"PublicKey")), u"");  // the control's own keys stay
  const std::u16string fp = Text(Call(c.Disp(), u"TakeFingerprint", publicKey.View()));
  ASSERT_EQ(fp.size(), 24u);
  EXPECT_EQ(fp.substr(22), u"==");
  EXPECT_EQ(Text(Call(c.Disp(), u"TakeFingerprint", u"")), u"");
  // The vtable refuses null result pointers.
  EXPECT_EQ(c.ctl->GenerateKeypair(nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(c.ctl->get_LastError(nullptr), E_POINTER);
  EXPECT_EQ(c.ctl->GetPeerName(1, nullptr), E_POINTER);
}

TEST_F(ClientRig, MembersRefuseWhatTheEngineRefuses) {
  TClientControl& c = Add(false);
  // No session: sending fails with 13; a string is no byte array (4).
  EXPECT_EQ(Call(c.Disp(), u"SendChatMessage", 1, u"hi").value.boolVal, 0);
  EXPECT_EQ(c.LastError(), 13);
  EXPECT_EQ(Call(c.Disp(), u"SendBinaryMessage", 0, ByteArrayOf("x")).value.boolVal, 0);
  EXPECT_EQ(c.LastError(), 13);
  EXPECT_EQ(Call(c.Disp(), u"SendBinaryMessage", 0, u"text").value.boolVal, 0);
  EXPECT_EQ(c.LastError(), 4);
  VARIANT_BOOL none = VARIANT_TRUE;
  EXPECT_EQ(c.ctl->SendBinaryMessage(0, nullptr, &none), S_OK);
  EXPECT_EQ(none, VARIANT_FALSE);
  EXPECT_EQ(c.LastError(), 4);
  // Handles that name no peer.
  for (LONG handle : {0, -1, 77}) {
    EXPECT_EQ(Call(c.Disp(), u"GetMoniker", handle).value.lVal, 0);
    EXPECT_EQ(c.LastError(), 3);
    EXPECT_TRUE(Call(c.Disp(), u"SetMoniker", handle, 5));
    EXPECT_EQ(Text(Call(c.Disp(), u"GetPeerName", handle)), u"");
    EXPECT_EQ(Call(c.Disp(), u"DisconnectPeer", handle).value.boolVal, 0);
    EXPECT_EQ(c.LastError(), 3);
  }
  // Talks and files: no peer, no talk, no file.
  EXPECT_EQ(Call(c.Disp(), u"BeginTalk", 77, true, false).value.boolVal, 0);
  EXPECT_EQ(c.LastError(), 3);
  EXPECT_EQ(Call(c.Disp(), u"GetTalkState", 77).value.lVal, 0);
  EXPECT_EQ(c.LastError(), 3);
  EXPECT_EQ(Call(c.Disp(), u"RequestOutFile", 1, u"/nothing").value.boolVal, 0);
  EXPECT_EQ(c.LastError(), 13);
  EXPECT_EQ(Text(Call(c.Disp(), u"GetOutgoingFile", 1)), u"");
  for (const char16_t* member : {u"GetCaller", u"GetTalkCount"}) EXPECT_EQ(Call(c.Disp(), member).value.lVal, 0);
  EXPECT_EQ(Call(c.Disp(), u"GetTalker", 0).value.lVal, 0);
  EXPECT_EQ(GetProperty(c.Disp(), u"AudioActive").value.boolVal, 0);
  EXPECT_TRUE(Call(c.Disp(), u"EndTalk"));
  LONG width = -1, height = -1;
  DispResult size = Call(c.Disp(), u"GetFormatSize", -1, ByRef(&width), ByRef(&height));
  ASSERT_TRUE(size);
  EXPECT_EQ(size.value.boolVal, 0);
  // Closing what is not open is still a success, with no event.
  EXPECT_EQ(Call(c.Disp(), u"CloseSession").value.boolVal, -1);
}

TEST_F(ClientRig, SessionPeersAndMessagesReachTheSinks) {
  Pair();
  EXPECT_EQ(a->sink->Count(DISPID_CLN_ONSESSIONOPEN), 1u);
  EXPECT_EQ(Text(GetProperty(a->Disp(), u"Username")), u"ann");
  EXPECT_FALSE(Text(GetProperty(a->Disp(), u"ServerAddress")).empty());
  EXPECT_EQ(GetProperty(a->Disp(), u"ServerPort").value.lVal, port);
  EXPECT_EQ(Call(a->Disp(), u"GetSessionStatus").value.lVal, 2);
  // Handles are the engine's serials: the first peer of each control is 1.
  EXPECT_EQ(ben, 1);
  EXPECT_EQ(ann, 1);
  ASSERT_TRUE(Call(a->Disp(), u"SetMoniker", ben, 4711));
  EXPECT_EQ(Call(a->Disp(), u"GetMoniker", ben).value.lVal, 4711);

  // Texts and bytes each way, and bytes with the server host (handle 0).
  EXPECT_EQ(Call(a->Disp(), u"SendChatMessage", ben, u"hallo \u00e9\U0001F600").value.boolVal, -1);
  EXPECT_EQ(Call(b->Disp(), u"SendAlertMessage", ann, u"ring").value.boolVal, -1);
  const std::string bytes("\0\x01\xFFxy", 5);
  EXPECT_EQ(Call(a->Disp(), u"SendBinaryMessage", ben, ByteArrayOf(bytes)).value.boolVal, -1);
  EXPECT_EQ(Call(b->Disp(), u"SendBinaryMessage", 0, ByteArrayOf("up")).value.boolVal, -1);
  std::string peerBytes, hostBytes;
  b->sink->react[DISPID_CLN_ONBINARYMESSAGE] = [&](std::span<VARIANT> args) {
    (args[0].lVal == 0 ? hostBytes : peerBytes) = BytesOf(args[1]);
    return S_OK;
  };
  ASSERT_TRUE(Run([&] {
    return b->sink->Count(DISPID_CLN_ONCHATMESSAGE) && a->sink->Count(DISPID_CLN_ONALERTMESSAGE) &&
           !peerBytes.empty() && serverBinaries.size() == 1;
  }));
  EXPECT_EQ(b->sink->Last(DISPID_CLN_ONCHATMESSAGE)->args,
            (std::vector<std::string>{std::to_string(ann), "hallo \u00e9\U0001F600"}));
  EXPECT_EQ(a->sink->Last(DISPID_CLN_ONALERTMESSAGE)->args, (std::vector<std::string>{std::to_string(ben), "ring"}));
  EXPECT_EQ(peerBytes, bytes);
  EXPECT_EQ(serverBinaries[0], "ben:up");
  TPeerHandle benAtServer = 0;
  for (TPeerHandle h = 1; h < 10 && !benAtServer; ++h)
    if (server.GetPeerName(h) == u"ben") benAtServer = h;
  VARIANT down;
  VariantInit(&down);
  StrToVarArray("down", &down);
  ASSERT_TRUE(server.SendBinaryMessage(benAtServer, down));
  VariantClear(&down);
  ASSERT_TRUE(Run([&] { return hostBytes == "down"; }));

  // A peer that goes: the event inside the member, then on the other side.
  EXPECT_EQ(Call(a->Disp(), u"DisconnectPeer", ben).value.boolVal, -1);
  ASSERT_EQ(a->sink->Count(DISPID_CLN_ONPEERDISCONNECTED), 1u);
  EXPECT_EQ(a->sink->Last(DISPID_CLN_ONPEERDISCONNECTED)->args[0], std::to_string(ben));
  ASSERT_TRUE(Run([&] { return b->sink->Count(DISPID_CLN_ONPEERDISCONNECTED) == 1; }));
  EXPECT_EQ(Text(Call(a->Disp(), u"GetPeerName", ben)), u"ben");  // the handle outlives the link
  // Closing: OnSessionClosed inside the member; never OnActivate.
  EXPECT_EQ(Call(b->Disp(), u"CloseSession").value.boolVal, -1);
  EXPECT_EQ(b->sink->Count(DISPID_CLN_ONSESSIONCLOSED), 1u);
  EXPECT_EQ(b->Status(), 0);
  for (auto* c : {a, b}) EXPECT_EQ(c->sink->Count(DISPID_CLN_ONACTIVATE), 0u);
}

TEST_F(ClientRig, ARejectedLoginReportsItsCode) {
  TClientControl& c = Add();
  ASSERT_TRUE(c.Open(port, u"eve", u"wrong"));
  EXPECT_EQ(c.Status(), 1);
  ASSERT_TRUE(Run([&] { return c.sink->Count(DISPID_CLN_ONSESSIONREJECTED) == 1; }));
  EXPECT_NE(c.sink->Last(DISPID_CLN_ONSESSIONREJECTED)->args[0], "0");
  EXPECT_EQ(c.Status(), 0);
  EXPECT_EQ(c.sink->Count(DISPID_CLN_ONSESSIONOPEN), 0u);
}

TEST_F(ClientRig, WithoutASinkEverythingStillWorks) {
  TClientControl& quiet = Add(false);
  TClientControl& loud = Add();
  ASSERT_TRUE(Login(quiet, u"quiet"));
  ASSERT_TRUE(Login(loud, u"loud"));
  ASSERT_TRUE(Run([&] { return loud.Handle(u"quiet") != 0; }));
  const LONG q = loud.Handle(u"quiet");
  // Messages to the sinkless control are received and dropped; it answers.
  EXPECT_EQ(Call(loud.Disp(), u"SendChatMessage", q, u"anyone?").value.boolVal, -1);
  Settle();
  EXPECT_EQ(Call(quiet.Disp(), u"SendChatMessage", 1, u"yes").value.boolVal, -1);
  ASSERT_TRUE(Run([&] { return loud.sink->Count(DISPID_CLN_ONCHATMESSAGE) == 1; }));
  EXPECT_EQ(Text(Call(quiet.Disp(), u"GetPeerName", 1)), u"loud");
  // The engine's own answers stand where no container writes them: an offer
  // is declined (23) and an invitation refused (1).
  files.Write("offer.txt", "nobody takes this");
  EXPECT_EQ(Call(loud.Disp(), u"RequestOutFile", q, win32::Utf8ToUtf16(files.File("offer.txt")).c_str()).value.boolVal,
            -1);
  EXPECT_EQ(Call(loud.Disp(), u"BeginTalk", q, true, false).value.boolVal, -1);
  ASSERT_TRUE(Run([&] {
    return loud.sink->Count(DISPID_CLN_ONOUTFILEDONE) && loud.sink->Count(DISPID_CLN_ONTALKREFUSED);
  }));
  EXPECT_EQ(loud.sink->Last(DISPID_CLN_ONOUTFILEDONE)->args, (std::vector<std::string>{std::to_string(q), "23"}));
  EXPECT_EQ(loud.sink->Last(DISPID_CLN_ONTALKREFUSED)->args, (std::vector<std::string>{std::to_string(q), "1"}));
  EXPECT_EQ(Call(quiet.Disp(), u"CloseSession").value.boolVal, -1);
  ASSERT_TRUE(Run([&] { return loud.sink->Count(DISPID_CLN_ONPEERDISCONNECTED) == 1; }));
}

TEST_F(ClientRig, SinkFailureOnDeliveryIsLoggedAndTheControlRunsOn) {
  Pair();
  int failures = 0;
  b->sink->react[DISPID_CLN_ONCHATMESSAGE] = [&](std::span<VARIANT>) -> HRESULT {
    ++failures;
    throw ComError(E_ACCESSDENIED, "the container\nrefused");
  };
  ASSERT_TRUE(Call(a->Disp(), u"SendChatMessage", ben, u"one"));
  ASSERT_TRUE(Call(a->Disp(), u"SendChatMessage", ben, u"two"));
  ASSERT_TRUE(Run([&] { return failures == 2; }));
  EXPECT_EQ(Logged(registry.Folder()),
            (std::vector<std::string>(2, "*EXP*  TtwParleyClnX.OnChatMessage: the container refused")));
  // Delivery, timers and members go on: the next messages arrive.
  b->sink->react.erase(DISPID_CLN_ONCHATMESSAGE);
  ASSERT_TRUE(Call(a->Disp(), u"SendChatMessage", ben, u"three"));
  ASSERT_TRUE(Call(b->Disp(), u"SendAlertMessage", ann, u"back"));
  ASSERT_TRUE(Run([&] {
    return b->sink->Count(DISPID_CLN_ONCHATMESSAGE) == 3 && a->sink->Count(DISPID_CLN_ONALERTMESSAGE) == 1;
  }));
  EXPECT_EQ(b->sink->Last(DISPID_CLN_ONCHATMESSAGE)->args[1], "three");
}

TEST_F(ClientRig, SinkFailureInsideAMemberFailsThatMember) {
  Pair();
  a->sink->react[DISPID_CLN_ONPEERDISCONNECTED] = [](std::span<VARIANT>) -> HRESULT {
    throw ComError(E_ACCESSDENIED, "not now");
  };
  VARIANT_BOOL done = VARIANT_FALSE;
  EXPECT_EQ(a->ctl->DisconnectPeer(ben, &done), E_ACCESSDENIED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
  Bstr text;
  info->GetDescription(text.Out());
  EXPECT_EQ(text.View(), u"not now");
  EXPECT_TRUE(Logged(registry.Folder()).empty());  // reported to the caller, not logged
  // The peer is gone all the same on both sides.
  ASSERT_TRUE(Run([&] { return b->sink->Count(DISPID_CLN_ONPEERDISCONNECTED) == 1; }));
  EXPECT_EQ(a->sink->Count(DISPID_CLN_ONPEERDISCONNECTED), 1u);
}

TEST_F(ClientRig, APeerWhoJoinsOnAnotherTalkersWordIsReportedWithItsHandle) {
  Pair();
  TClientControl& cat = Add();
  ASSERT_TRUE(Login(cat, u"cat"));
  ASSERT_TRUE(Run([&] { return a->Handle(u"cat") && b->Handle(u"cat") && cat.Handle(u"ann") && cat.Handle(u"ben"); }));
  // Accepted with audio only: the answers reach the engines, which would
  // otherwise start a camera nobody chose and fail the talk (50).
  auto accept = [](std::span<VARIANT> args) {
    *args[1].pboolVal = VARIANT_TRUE;
    *args[3].pboolVal = VARIANT_FALSE;
    return S_OK;
  };
  for (TClientControl* c : {b, &cat}) c->sink->react[DISPID_CLN_ONTALKINVITED] = accept;
  // ann talks with ben (audio only), then calls cat in: ben is told to join
  // cat, and reports it with cat's handle at his side.
  ASSERT_EQ(Call(a->Disp(), u"BeginTalk", ben, true, false).value.boolVal, -1);
  ASSERT_TRUE(Run([&] { return a->sink->Count(DISPID_CLN_ONTALKBEGAN) == 1 && b->sink->Count(DISPID_CLN_ONTALKBEGAN) == 1; }));
  ASSERT_EQ(Call(a->Disp(), u"BeginTalk", a->Handle(u"cat"), true, false).value.boolVal, -1);
  ASSERT_TRUE(Run([&] { return b->sink->Count(DISPID_CLN_ONTALKJOINED) == 1 && cat.sink->Count(DISPID_CLN_ONTALKBEGAN) == 2; }));
  EXPECT_EQ(b->sink->Last(DISPID_CLN_ONTALKJOINED)->args, (std::vector<std::string>{std::to_string(b->Handle(u"cat"))}));
  EXPECT_EQ(Call(b->Disp(), u"GetTalkCount").value.lVal, 2);
  EXPECT_EQ(GetProperty(b->Disp(), u"AudioActive").value.boolVal, -1);
  EXPECT_EQ(GetProperty(b->Disp(), u"VideoActive").value.boolVal, 0);
  EXPECT_EQ(a->sink->Count(DISPID_CLN_ONTALKJOINED) + cat.sink->Count(DISPID_CLN_ONTALKJOINED), 0u);
}
