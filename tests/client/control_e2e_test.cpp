// Both controls end to end in one process, as a container runs them: the
// server control and two client controls registered in a temporary registry
// and created by their class identifiers, the server driven through the
// host's own automation client. Chat, alert and binary messages (also with
// the server's host), a file, and a talk with real media on virtual sound
// devices that speak a recorded sentence and the synthetic camera.
#include <cmath>
#include <fstream>

#include "host/mServerControl.h"
#include "platform/dsound/virtual_device.h"
#include "tests/audio/voice_compare.h"
#include "tests/client/control_container.h"
#include "tests/support/exe_folder.h"
#include "tests/support/loopback.h"

using namespace tw;
using namespace tw::com;
using namespace tw::test;

namespace {

// The element count of a byte-array argument.
LONG Elements(const VARIANT& v) {
  const VARIANT* a = v.vt == (VT_BYREF | VT_VARIANT) ? v.pvarVal : &v;
  return a->vt == (VT_ARRAY | VT_UI1) ? static_cast<LONG>(a->parray->rgsabound[0].cElements) : -1;
}

// The samples of a 16-bit mono WAV file (its data chunk).
std::vector<int16_t> WavSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const size_t data = bytes.find("data");
  std::vector<int16_t> s;
  for (size_t i = data == std::string::npos ? bytes.size() : data + 8; i + 1 < bytes.size(); i += 2)
    s.push_back(static_cast<int16_t>(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
  return s;
}

// One side: its control, what its byte-array events carried, and the PCM it
// played.
struct TSide {
  TClientControl c;
  size_t wrongSizes = 0;  // byte-array events whose element count was not aSize
  size_t recorded = 0, local = 0, remote = 0;
  bool failFirstRecorded = false;  // the sink fails the first OnWaveRecorded
  std::vector<int16_t> played;
  std::string lastRemote;

  TSide() {
    TSink& s = *c.sink;
    auto size = [this](const VARIANT& data, const VARIANT& n) {
      if (Elements(data) != n.lVal) ++wrongSizes;
    };
    s.react[DISPID_CLN_ONWAVERECORDED] = [this, size](std::span<VARIANT> a) {
      size(a[0], a[1]);
      if (recorded++ == 0 && failFirstRecorded) throw ComError(E_FAIL, "the container choked");
      return S_OK;
    };
    s.react[DISPID_CLN_ONWAVEPLAYED] = [this, size](std::span<VARIANT> a) {
      size(a[1], a[2]);
      const std::string pcm = BytesOf(a[1]);
      for (size_t i = 0; i + 1 < pcm.size(); i += 2)
        played.push_back(static_cast<int16_t>(uint8_t(pcm[i]) | (uint8_t(pcm[i + 1]) << 8)));
      return S_OK;
    };
    s.react[DISPID_CLN_ONLOCALFRAME] = [this, size](std::span<VARIANT> a) {
      size(a[0], a[1]);
      ++local;
      return S_OK;
    };
    s.react[DISPID_CLN_ONREMOTEFRAME] = [this, size](std::span<VARIANT> a) {
      size(a[1], a[2]);
      ++remote;
      lastRemote = BytesOf(a[1]);
      return S_OK;
    };
  }
  // Chooses the recording and playback device and the camera whose names
  // hold these parts.
  void ChooseDevices(const std::u16string& sound, const std::u16string& camera) {
    auto find = [&](const char16_t* count, const char16_t* name, const std::u16string& part) {
      const LONG n = Call(c.Disp(), count).value.lVal;
      for (LONG i = 0; i < n; ++i)
        if (std::u16string(BstrView(Call(c.Disp(), name, i).value.bstrVal)).find(part) != std::u16string::npos)
          return i;
      ADD_FAILURE() << "no device like " << win32::Utf16ToUtf8(part) << " among " << n;
      return LONG{-1};
    };
    EXPECT_TRUE(PutProperty(c.Disp(), u"RecordingDevice",
                            Variant(find(u"GetRecordingDeviceCount", u"GetRecordingDeviceName", sound))));
    EXPECT_TRUE(PutProperty(c.Disp(), u"PlaybackDevice",
                            Variant(find(u"GetPlaybackDeviceCount", u"GetPlaybackDeviceName", sound))));
    EXPECT_TRUE(Call(c.Disp(), u"FindCaptureCapabilities"));
    EXPECT_EQ(Call(c.Disp(), u"SelectCaptureDevice", find(u"GetCaptureDeviceCount", u"GetCaptureDeviceName", camera))
                  .value.boolVal,
              -1);
  }
};

class BothControls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CallExport(ClientLibrary(), "DllRegisterServer"), S_OK);
    ASSERT_EQ(CallExport(TW_SERVER_CONTROL, "DllRegisterServer"), S_OK);
    std::string error;
    ComPtr<IDispatch> srv = CreateServerControl(error);
    ASSERT_TRUE(srv) << error;
    host = std::make_unique<TServerControl>(srv);
    host->Events().OnConnectionRequest = [](int32_t, std::u16string_view, std::u16string& password, bool& accept) {
      password = u"pw";
      accept = true;
    };
    host->Events().OnPeerConnected = [this](int32_t h) { atHost[win32::Utf16ToUtf8(host->GetPeerName(h))] = h; };
    host->Events().OnBinaryMessage = [this](int32_t h, const std::vector<uint8_t>* m) {
      hostGot.push_back(win32::Utf16ToUtf8(host->GetPeerName(h)) + ":" +
                        (m ? std::string(m->begin(), m->end()) : std::string("?")));
    };
    port = held.port;  // the server listens beside the holder; no test beside this one takes it first
    host->SetListeningPort(port);
    ASSERT_TRUE(host->Start());

    // Two virtual devices, there before the controls look for devices: ann
    // says the first part of a recorded sentence, ben the rest after her (a
    // player lowers a peer's voice while its own side speaks).
    const std::vector<int16_t> speech = WavSamples(std::string(std::getenv("TW_TEST_DATA")) + "/speech_16k.wav");
    ASSERT_GT(speech.size(), 48000u);
    const auto half = static_cast<std::ptrdiff_t>(speech.size() / 2);
    annDevice->CaptureSamples(std::vector<int16_t>(speech.begin(), speech.begin() + half));
    std::vector<int16_t> later(static_cast<size_t>(half) + 1600, 0);
    later.insert(later.end(), speech.begin() + half, speech.end());
    benDevice->CaptureSamples(std::move(later));
    for (auto* side : {&ann, &ben}) *side = std::make_unique<TSide>();
    for (auto [side, name] : {std::pair{ann.get(), u"ann"}, std::pair{ben.get(), u"ben"}}) {
      ASSERT_TRUE(side->c.Open(port, name, u"pw"));
      ASSERT_TRUE(Run([&, s = side] { return s->c.Status() == 2; }));
    }
    ASSERT_TRUE(Run([&] { return ann->c.Handle(u"ben") && ben->c.Handle(u"ann"); }));
    benAtAnn = ann->c.Handle(u"ben");
    annAtBen = ben->c.Handle(u"ann");
  }
  void TearDown() override {
    ann.reset();
    ben.reset();
    host.reset();
    win32::RunUntil([] { return LoadedCanUnloadNow(ClientLibrary()) != S_FALSE &&
                                LoadedCanUnloadNow(TW_SERVER_CONTROL) != S_FALSE; },
                    3000);
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedLibraryCount(), 0u);
  }
  bool Run(const std::function<bool()>& done, uint32_t ms = 10000) { return win32::RunUntil(done, ms); }

  TempRegistry registry;
  win32::ScopedExeFolder exeFolder{registry.Folder()};
  TempFolder files;
  std::shared_ptr<dsound::VirtualSoundDevice> annDevice = std::make_shared<dsound::VirtualSoundDevice>("Virtual ann");
  std::shared_ptr<dsound::VirtualSoundDevice> benDevice = std::make_shared<dsound::VirtualSoundDevice>("Virtual ben");
  dsound::ScopedSoundDevices sound{{annDevice, benDevice}};
  std::unique_ptr<TServerControl> host;
  std::map<std::string, int32_t> atHost;
  std::vector<std::string> hostGot;
  HeldPort held;
  uint16_t port = 0;
  std::unique_ptr<TSide> ann, ben;
  LONG benAtAnn = 0, annAtBen = 0;
};

TEST_F(BothControls, MessagesBothWaysAndWithTheServersHost) {
  EXPECT_EQ(Call(ann->c.Disp(), u"SendChatMessage", benAtAnn, u"hi ben").value.boolVal, -1);
  EXPECT_EQ(Call(ben->c.Disp(), u"SendAlertMessage", annAtBen, u"hey ann").value.boolVal, -1);
  EXPECT_EQ(Call(ben->c.Disp(), u"SendBinaryMessage", annAtBen, ByteArrayOf(std::string("\0b2a", 4))).value.boolVal,
            -1);
  EXPECT_EQ(Call(ann->c.Disp(), u"SendBinaryMessage", 0, ByteArrayOf("a2host")).value.boolVal, -1);
  ASSERT_TRUE(Run([&] {
    return ben->c.sink->Count(DISPID_CLN_ONCHATMESSAGE) && ann->c.sink->Count(DISPID_CLN_ONALERTMESSAGE) &&
           ann->c.sink->Count(DISPID_CLN_ONBINARYMESSAGE) && hostGot.size() == 1;
  }));
  EXPECT_EQ(ben->c.sink->Last(DISPID_CLN_ONCHATMESSAGE)->args[1], "hi ben");
  EXPECT_EQ(ann->c.sink->Last(DISPID_CLN_ONALERTMESSAGE)->args[1], "hey ann");
  EXPECT_EQ(ann->c.sink->Last(DISPID_CLN_ONBINARYMESSAGE)->args,
            (std::vector<std::string>{std::to_string(benAtAnn), "bytes:4"}));
  EXPECT_EQ(hostGot[0], "ann:a2host");
  ASSERT_TRUE(host->SendBinaryMessage(atHost["ben"], {'h', '2', 'b'}));
  ASSERT_TRUE(Run([&] { return ben->c.sink->Count(DISPID_CLN_ONBINARYMESSAGE) == 1; }));
  EXPECT_EQ(ben->c.sink->Last(DISPID_CLN_ONBINARYMESSAGE)->args, (std::vector<std::string>{"0", "bytes:3"}));
}

TEST_F(BothControls, AFileGoesToThePathTheReceiverChose) {
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) text += "line " + std::to_string(i) + "\n";
  files.Write("note.txt", text);
  const std::string chosen = files.File("chosen name.txt");
  ben->c.sink->react[DISPID_CLN_ONINFILEREQUESTED] = [&](std::span<VARIANT> a) {
    EXPECT_EQ(ArgText(a[1]), "note.txt");  // the offered name, no folder
    SysReAllocString(a[1].pbstrVal, win32::Utf8ToUtf16(chosen).c_str());
    *a[2].pboolVal = VARIANT_TRUE;
    return S_OK;
  };
  const std::u16string source = win32::Utf8ToUtf16(files.File("note.txt"));
  EXPECT_EQ(Call(ann->c.Disp(), u"RequestOutFile", benAtAnn, source.c_str()).value.boolVal, -1);
  EXPECT_EQ(std::u16string(BstrView(Call(ann->c.Disp(), u"GetOutgoingFile", benAtAnn).value.bstrVal)), source);
  ASSERT_TRUE(Run([&] {
    return ann->c.sink->Count(DISPID_CLN_ONOUTFILEDONE) && ben->c.sink->Count(DISPID_CLN_ONINFILEDONE);
  }));
  EXPECT_EQ(ann->c.sink->Last(DISPID_CLN_ONOUTFILEDONE)->args, (std::vector<std::string>{std::to_string(benAtAnn), "0"}));
  EXPECT_EQ(ben->c.sink->Last(DISPID_CLN_ONINFILEDONE)->args, (std::vector<std::string>{std::to_string(annAtBen), "0"}));
  EXPECT_EQ(files.Read("chosen name.txt"), text);
  // Progress comes as 64-bit halves: the size, low then high.
  const TEvent* progress = ben->c.sink->Last(DISPID_CLN_ONINFILEPROGRESS);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->args[0], std::to_string(annAtBen));
  EXPECT_EQ(progress->args[3], std::to_string(text.size()));
  EXPECT_EQ(progress->args[4], "0");
}

TEST_F(BothControls, ATalkWithRealMediaOnTheVirtualDevices) {
  // Each on its own virtual device; the synthetic camera films both sides.
  // ann's sink fails once on the recorder's timer: logged, and the talk goes on.
  ann->failFirstRecorded = true;
  ann->ChooseDevices(u"Virtual ann", u"Test Pattern");
  ben->ChooseDevices(u"Virtual ben", u"Test Pattern");

  // ben takes the call with audio only: the values his sink writes are the
  // ones his engine uses.
  ben->c.sink->react[DISPID_CLN_ONTALKINVITED] = [](std::span<VARIANT> a) {
    EXPECT_EQ(*a[2].pboolVal, -1);  // offered: audio and video
    EXPECT_EQ(*a[3].pboolVal, -1);
    *a[1].pboolVal = static_cast<VARIANT_BOOL>(1);  // any non-zero value is true
    *a[3].pboolVal = VARIANT_FALSE;
    return S_OK;
  };
  EXPECT_EQ(Call(ann->c.Disp(), u"BeginTalk", benAtAnn, true, true).value.boolVal, -1);
  EXPECT_EQ(Call(ann->c.Disp(), u"GetCaller").value.lVal, benAtAnn);
  ASSERT_TRUE(Run([&] {
    return ann->c.sink->Count(DISPID_CLN_ONTALKBEGAN) && ben->c.sink->Count(DISPID_CLN_ONTALKBEGAN);
  }));
  EXPECT_EQ(GetProperty(ben->c.Disp(), u"AudioActive").value.boolVal, -1);
  EXPECT_EQ(GetProperty(ben->c.Disp(), u"VideoActive").value.boolVal, 0);
  EXPECT_EQ(Call(ann->c.Disp(), u"GetTalkCount").value.lVal, 1);
  EXPECT_EQ(Call(ann->c.Disp(), u"GetTalker", 0).value.lVal, benAtAnn);
  EXPECT_EQ(Call(ben->c.Disp(), u"GetTalkState", annAtBen).value.lVal, 2);

  // Speech both ways; ann films, ben does not.
  ASSERT_TRUE(Run([&] {
    return LoudestRms(ann->played) > 1000 && LoudestRms(ben->played) > 1000 && ann->local > 0 && ben->remote > 2;
  }, 15000)) << "ann played " << ann->played.size() << ", ben played " << ben->played.size() << ", ben saw "
             << ben->remote << ", loudest " << LoudestRms(ann->played) << " / " << LoudestRms(ben->played);
  EXPECT_EQ(ben->local, 0u);
  EXPECT_EQ(ann->remote, 0u);
  EXPECT_EQ(ben->lastRemote.substr(0, 2), "BM");
  EXPECT_GT(ann->recorded, 1u);
  std::ifstream log(registry.Folder() + kClientErrorLogFileName);
  std::string line;
  ASSERT_TRUE(std::getline(log, line));
  EXPECT_NE(line.find(": *EXP*  TtwParleyClnX.OnWaveRecorded: the container choked"), std::string::npos) << line;
  EXPECT_FALSE(std::getline(log, line)) << line;
  EXPECT_EQ(ann->wrongSizes + ben->wrongSizes, 0u);

  ASSERT_TRUE(Call(ann->c.Disp(), u"EndTalk"));
  ASSERT_TRUE(Run([&] {
    return ann->c.sink->Count(DISPID_CLN_ONTALKENDED) && ben->c.sink->Count(DISPID_CLN_ONTALKENDED);
  }));
  EXPECT_EQ(Call(ben->c.Disp(), u"GetTalkCount").value.lVal, 0);
  // The recorder's own events, bound through the engine: speech began, and
  // every ended talk stops the recording.
  EXPECT_GE(ann->c.sink->Count(DISPID_CLN_ONSTARTRECORDING), 1u);
  EXPECT_GE(ann->c.sink->Count(DISPID_CLN_ONSTOPRECORDING), 1u);
  EXPECT_GE(ben->c.sink->Count(DISPID_CLN_ONSTOPRECORDING), 1u);
}

}  // namespace
