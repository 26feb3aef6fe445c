// twdemo: a small container of the toolkit's two controls, run the way a
// newcomer runs it. The host's server control (headless) and two client
// controls, all created by their class identifiers from the component
// registry, live in this one process on this one thread. ann and ben log in,
// exchange a chat, an alert and binary messages (with each other and with the
// server's host), ann sends ben a file, and the two hold a talk on the virtual
// microphones (one for each, speaking a recorded sentence between them) and
// the synthetic camera for a few seconds.
//
// Every step is printed as it happens. The output folder receives the last
// local and remote frame of each side (ann-local.bmp, ann-remote.bmp,
// ben-local.bmp, ben-remote.bmp), the audio each side played (ann-played.wav,
// ben-played.wav) and the file ben received. A step that does not happen ends
// the program with a message on stderr and exit code 1.
//
//   twdemo [--out DIR] [--talk-ms MS] [--speech WAV]
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/cParleyClnIntf.h"
#include "host/mServerControl.h"
#include "platform/com/classes.h"
#include "platform/com/connection.h"
#include "platform/com/dispatch_call.h"
#include "platform/dsound/dsound.h"
#include "platform/dsound/virtual_device.h"
#include "platform/win32/messages.h"
#include "platform/win32/text.h"

using namespace tw;
using namespace tw::com;

namespace {

constexpr const char* kUsage =
    "usage: twdemo [--out DIR] [--talk-ms MS] [--speech WAV]\n"
    "  --out DIR      where frames, played audio and the received file go (default: twdemo-out)\n"
    "  --talk-ms MS   how long the talk lasts (default: 5000; at least half the speech + 850 ms,\n"
    "                 3003 with the default speech)\n"
    "  --speech WAV   16 kHz 16-bit mono speech for the virtual microphone\n";

constexpr uint32_t kStepMs = 10000;  // the longest any one step may take
constexpr uint32_t kLongestTalkMs = 600000;
// ben waits this long after ann's half of the sentence before he speaks.
constexpr uint32_t kBenPauseMs = 100;
// From the moment ben speaks until ann's container is handed his voice
// (voice detection, the network, the playback buffer filling), with room
// to spare: measured at about 250 ms.
constexpr uint32_t kVoiceLatencyMs = 750;
constexpr uint32_t kPcmRate = 16000;

// A step that did not happen.
struct TDemoFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Utf8(std::u16string_view s) { return win32::Utf16ToUtf8(s); }

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Runs the thread's messages until `done` holds; fails the step otherwise.
void WaitFor(const std::string& what, const std::function<bool()>& done, uint32_t ms = kStepMs) {
  if (!win32::RunUntil(done, ms)) throw TDemoFailure(what + " did not happen within " + std::to_string(ms) + " ms");
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw TDemoFailure(what);
}

void WriteFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw TDemoFailure("cannot write " + path.string());
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// 16 kHz 16-bit mono PCM as a WAV file.
void WriteWav(const std::filesystem::path& path, const std::vector<uint8_t>& pcm) {
  std::vector<uint8_t> file;
  auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto tag = [&](const char* t) { file.insert(file.end(), t, t + 4); };
  const auto size = static_cast<uint32_t>(pcm.size());
  tag("RIFF");
  put(36 + size, 4);
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(1, 2);  // PCM
  put(1, 2);  // mono
  put(kPcmRate, 4);
  put(kPcmRate * 2, 4);
  put(2, 2);
  put(16, 2);
  tag("data");
  put(size, 4);
  file.insert(file.end(), pcm.begin(), pcm.end());
  WriteFile(path, file);
}

// The root mean square of 16-bit samples.
double Rms(const std::vector<uint8_t>& pcm) {
  double sum = 0;
  const size_t n = pcm.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    const auto s = static_cast<int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    sum += double(s) * s;
  }
  return n ? std::sqrt(sum / double(n)) : 0.0;
}

// A little-endian number of `bytes` bytes at `at`.
uint32_t LittleEndian(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<size_t>(i)];
  return v;
}

// The samples of a WAV file, which must hold PCM in the virtual
// microphone's format (16 kHz, 16-bit, mono): a file in any other format
// would be played back at the wrong speed or as noise.
std::vector<int16_t> WavSamples(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFile(path);
  auto refuse = [&](const std::string& why) -> TDemoFailure {
    return TDemoFailure("the speech file " + path + " " + why);
  };
  if (bytes.size() < 12 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" ||
      std::string(bytes.begin() + 8, bytes.begin() + 12) != "WAVE")
    throw refuse("is not a WAV file");
  bool formatSeen = false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
    const size_t size = std::min<size_t>(LittleEndian(bytes, at + 4, 4), bytes.size() - at - 8);
    const size_t body = at + 8;
    if (id == "fmt " && size >= 16) {
      const uint32_t tag = LittleEndian(bytes, body, 2), channels = LittleEndian(bytes, body + 2, 2),
                     rate = LittleEndian(bytes, body + 4, 4), bits = LittleEndian(bytes, body + 14, 2);
      if (tag != 1 || channels != 1 || rate != kPcmRate || bits != 16)
        throw refuse("holds " + std::to_string(rate) + " Hz, " + std::to_string(bits) + "-bit, " +
                     std::to_string(channels) + "-channel" + (tag == 1 ? " PCM" : " non-PCM") +
                     " audio; the virtual microphone takes 16000 Hz, 16-bit, 1-channel PCM (sox IN -r 16000 -b 16 -c 1 OUT.wav)");
      formatSeen = true;
    } else if (id == "data") {
      if (!formatSeen) throw refuse("has no format chunk before its data");
      std::vector<int16_t> samples;
      for (size_t i = body; i + 1 < body + size; i += 2)
        samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
      return samples;
    }
    at = body + size + (size & 1);
  }
  throw refuse("has no data chunk");
}

// A virtual sound device for each side, which the controls list as
// "Virtual sound device of ann" and "... of ben": ann's microphone says the
// first half of the sentence, ben's the second half once she is done (a
// player lowers the other side's voice while its own side speaks).
struct TVirtualDevices {
  std::shared_ptr<dsound::VirtualSoundDevice> ann =
      std::make_shared<dsound::VirtualSoundDevice>("Virtual sound device of ann");
  std::shared_ptr<dsound::VirtualSoundDevice> ben =
      std::make_shared<dsound::VirtualSoundDevice>("Virtual sound device of ben");
  dsound::ScopedSoundDevices installed{{ann, ben}};

  explicit TVirtualDevices(const std::vector<int16_t>& samples) {
    const auto half = static_cast<std::ptrdiff_t>(samples.size() / 2);
    ann->CaptureSamples(std::vector<int16_t>(samples.begin(), samples.begin() + half));
    std::vector<int16_t> later(static_cast<size_t>(half) + kPcmRate * kBenPauseMs / 1000, 0);
    later.insert(later.end(), samples.begin() + half, samples.end());
    ben->CaptureSamples(std::move(later));
  }
};

// The shortest talk in which each side plays the other's voice: ann hears
// ben only once her half of the sentence and his pause are over.
uint32_t ShortestTalkMs(const std::vector<int16_t>& samples) {
  return static_cast<uint32_t>(samples.size() / 2 * 1000 / kPcmRate) + kBenPauseMs + kVoiceLatencyMs;
}

// --- A client control and what its container has seen --------------------------------

class TParty {
 public:
  TParty(std::string name, std::u16string password) : name_(std::move(name)), password_(std::move(password)) {
    HRESULT hr = CoCreateInstance(CLSID_twParleyClnX, nullptr, CLSCTX_INPROC_SERVER, IID_ItwParleyClnX, ctl_.OutVoid());
    if (FAILED(hr) || !ctl_) {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
      throw TDemoFailure("the client control " + GuidToString(CLSID_twParleyClnX) + " could not be created ($" +
                         code + "); register client/twParleyCln_free.so with tools/twregsvr first");
    }
    sink_ = MakeDispatchSink(DIID_ItwParleyClnXEvents,
                             [this](DISPID id, std::span<VARIANT> args, VARIANT*) { return OnEvent(id, args); });
    ComPtr<IConnectionPointContainer> container = ctl_.As<IConnectionPointContainer>();
    Check(container && SUCCEEDED(container->FindConnectionPoint(DIID_ItwParleyClnXEvents, point_.Out())) &&
              SUCCEEDED(point_->Advise(sink_.Get(), &cookie_)),
          name_ + ": the control offers no events connection");
  }
  ~TParty() {
    if (point_) point_->Unadvise(cookie_);
    point_.Reset();
    ctl_.Reset();
  }
  TParty(const TParty&) = delete;
  TParty& operator=(const TParty&) = delete;

  const std::string& Name() const { return name_; }
  ItwParleyClnX* operator->() { return ctl_.Get(); }

  // --- What the member calls answered ---
  int32_t LastError() {
    LONG v = 0;
    ctl_->get_LastError(&v);
    return v;
  }
  // `ok` is read after the call has written it.
  void Expect(HRESULT hr, const VARIANT_BOOL& ok, const std::string& what) {
    Check(SUCCEEDED(hr), name_ + ": " + what + " failed (HRESULT " + std::to_string(hr) + ")");
    Check(ok == VARIANT_TRUE, name_ + ": " + what + " was refused (LastError " + std::to_string(LastError()) + ")");
  }
  void Login(uint16_t port) {
    Bstr host(u"127.0.0.1"), user(win32::AnsiToWide(name_)), password(password_);
    VARIANT_BOOL ok = VARIANT_FALSE;
    Expect(ctl_->OpenSession(host.Get(), port, user.Get(), password.Get(), &ok), ok, "OpenSession");
    Say(name_ + ": logging in to 127.0.0.1:" + std::to_string(port));
  }
  LONG Peer(const std::string& name) const {
    auto it = peers.find(name);
    return it == peers.end() ? 0 : it->second;
  }
  // Picks the recording and playback device and the camera by name.
  void ChooseDevices(const std::u16string& sound, const std::u16string& camera);

  // --- What the events told ---
  bool open = false;
  std::map<std::string, LONG> peers;  // by name
  std::vector<std::string> texts;     // "chat ben: ..." / "alert ben: ..."
  std::vector<std::pair<LONG, std::vector<uint8_t>>> binaries;
  std::u16string acceptFileAs;  // where an offered file goes; empty: declined
  int32_t inFileDone = -1, outFileDone = -1;
  int progressEvents = 0;
  bool invited = false, talking = false, ended = false;
  std::vector<uint8_t> localFrame, remoteFrame, played;
  size_t localFrames = 0, remoteFrames = 0, recordedBlocks = 0, speechStarts = 0;

 private:
  HRESULT OnEvent(DISPID id, std::span<VARIANT> args);
  std::string PeerName(LONG handle) {
    Bstr n;
    ctl_->GetPeerName(handle, n.Out());
    return Utf8(n.View());
  }

  std::string name_;
  std::u16string password_;
  ComPtr<ItwParleyClnX> ctl_;
  ComPtr<IDispatch> sink_;
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

std::vector<uint8_t> BytesArg(const VARIANT& v) { return BytesFromVariant(v).value_or(std::vector<uint8_t>{}); }

HRESULT TParty::OnEvent(DISPID id, std::span<VARIANT> args) {
  const std::string me = name_ + ": ";
  switch (id) {
    case DISPID_CLN_ONSESSIONOPEN:
      open = true;
      Say(me + "session open");
      break;
    case DISPID_CLN_ONSESSIONCLOSED:
      open = false;
      Say(me + "session closed");
      break;
    case DISPID_CLN_ONSESSIONREJECTED:
      Say(me + "login rejected (code " + std::to_string(args[0].lVal) + ")");
      break;
    case DISPID_CLN_ONPEERCONNECTED: {
      const std::string peer = PeerName(args[0].lVal);
      peers[peer] = args[0].lVal;
      Say(me + peer + " is here (handle " + std::to_string(args[0].lVal) + ")");
      break;
    }
    case DISPID_CLN_ONPEERDISCONNECTED:
      Say(me + PeerName(args[0].lVal) + " left");
      break;
    case DISPID_CLN_ONCHATMESSAGE:
    case DISPID_CLN_ONALERTMESSAGE: {
      const std::string line = std::string(id == DISPID_CLN_ONCHATMESSAGE ? "chat" : "alert") + " from " +
                               PeerName(args[0].lVal) + ": " + Utf8(BstrView(args[1].bstrVal));
      texts.push_back(line);
      Say(me + line);
      break;
    }
    case DISPID_CLN_ONBINARYMESSAGE: {
      std::vector<uint8_t> bytes = BytesArg(args[1]);
      Say(me + std::to_string(bytes.size()) + " binary bytes from " +
          (args[0].lVal == 0 ? std::string("the server's host") : PeerName(args[0].lVal)));
      binaries.emplace_back(args[0].lVal, std::move(bytes));
      break;
    }
    case DISPID_CLN_ONINFILEREQUESTED: {
      const std::u16string offered(BstrView(*args[1].pbstrVal));
      Say(me + PeerName(args[0].lVal) + " offers the file \"" + Utf8(offered) + "\"");
      if (!acceptFileAs.empty()) {
        SysReAllocString(args[1].pbstrVal, acceptFileAs.c_str());
        *args[2].pboolVal = VARIANT_TRUE;
        Say(me + "accepting it as " + Utf8(acceptFileAs));
      }
      break;
    }
    case DISPID_CLN_ONINFILEPROGRESS:
    case DISPID_CLN_ONOUTFILEPROGRESS: {
      ++progressEvents;
      const int64_t count = (int64_t(args[2].lVal) << 32) | uint32_t(args[1].lVal);
      const int64_t size = (int64_t(args[4].lVal) << 32) | uint32_t(args[3].lVal);
      Say(me + (id == DISPID_CLN_ONINFILEPROGRESS ? "received " : "sent ") + std::to_string(count) + " of " +
          std::to_string(size) + " bytes");
      break;
    }
    case DISPID_CLN_ONINFILEDONE:
    case DISPID_CLN_ONOUTFILEDONE:
      (id == DISPID_CLN_ONINFILEDONE ? inFileDone : outFileDone) = args[1].lVal;
      Say(me + (id == DISPID_CLN_ONINFILEDONE ? "incoming" : "outgoing") + " file done (code " +
          std::to_string(args[1].lVal) + ")");
      break;
    case DISPID_CLN_ONTALKINVITED:
      invited = true;
      *args[1].pboolVal = VARIANT_TRUE;  // take the talk with what the caller offered
      Say(me + PeerName(args[0].lVal) + " invites to a talk (audio " + (*args[2].pboolVal ? "yes" : "no") +
          ", video " + (*args[3].pboolVal ? "yes" : "no") + "): accepted");
      break;
    case DISPID_CLN_ONTALKBEGAN:
      talking = true;
      Say(me + "talk with " + PeerName(args[0].lVal) + " began");
      break;
    case DISPID_CLN_ONTALKREFUSED:
      Say(me + "talk refused by " + PeerName(args[0].lVal) + " (code " + std::to_string(args[1].lVal) + ")");
      break;
    case DISPID_CLN_ONTALKENDED:
      ended = true;
      talking = false;
      Say(me + "talk with " + PeerName(args[0].lVal) + " ended");
      break;
    case DISPID_CLN_ONERROR:
      Say(me + "error " + std::to_string(args[0].lVal));
      break;
    case DISPID_CLN_ONSTARTRECORDING:
      if (speechStarts++ == 0) Say(me + "the microphone hears speech");
      break;
    case DISPID_CLN_ONWAVERECORDED:
      if (recordedBlocks++ == 0) Say(me + "recording (" + std::to_string(args[1].lVal) + "-byte blocks)");
      break;
    case DISPID_CLN_ONWAVEPLAYED: {
      std::vector<uint8_t> pcm = BytesArg(args[1]);
      if (played.empty()) Say(me + "playing " + PeerName(args[0].lVal) + "'s voice");
      played.insert(played.end(), pcm.begin(), pcm.end());
      break;
    }
    case DISPID_CLN_ONLOCALFRAME:
      localFrame = BytesArg(args[0]);
      if (localFrames++ == 0) Say(me + "camera on (" + std::to_string(localFrame.size()) + "-byte frames)");
      break;
    case DISPID_CLN_ONREMOTEFRAME:
      remoteFrame = BytesArg(args[1]);
      if (remoteFrames++ == 0) Say(me + "sees " + PeerName(args[0].lVal));
      break;
    default:
      break;
  }
  return S_OK;
}

void TParty::ChooseDevices(const std::u16string& sound, const std::u16string& camera) {
  // The first device whose name holds `part`, by the member pair given.
  auto find = [&](const char* what, HRESULT (ItwParleyClnX::*count)(LONG*),
                  HRESULT (ItwParleyClnX::*name)(LONG, BSTR*), const std::u16string& part) {
    LONG n = 0;
    Check(SUCCEEDED((ctl_.Get()->*count)(&n)), name_ + ": cannot count the " + what + " devices");
    for (LONG i = 0; i < n; ++i) {
      Bstr text;
      if (SUCCEEDED((ctl_.Get()->*name)(i, text.Out())) && text.View().find(part) != std::u16string_view::npos) {
        Say(name_ + ": " + what + " device " + std::to_string(i) + " \"" + Utf8(text.View()) + "\"");
        return i;
      }
    }
    throw TDemoFailure(name_ + ": no " + what + " device named like \"" + Utf8(part) + "\"");
  };
  Check(SUCCEEDED(ctl_->put_RecordingDevice(
            find("recording", &ItwParleyClnX::GetRecordingDeviceCount, &ItwParleyClnX::GetRecordingDeviceName, sound))),
        name_ + ": cannot choose the recording device");
  Check(SUCCEEDED(ctl_->put_PlaybackDevice(
            find("playback", &ItwParleyClnX::GetPlaybackDeviceCount, &ItwParleyClnX::GetPlaybackDeviceName, sound))),
        name_ + ": cannot choose the playback device");
  ctl_->FindCaptureCapabilities();
  VARIANT_BOOL ok = VARIANT_FALSE;
  Expect(ctl_->SelectCaptureDevice(
             find("capture", &ItwParleyClnX::GetCaptureDeviceCount, &ItwParleyClnX::GetCaptureDeviceName, camera), &ok),
         ok, "SelectCaptureDevice");
}

// --- The server's host ----------------------------------------------------------------

struct THost {
  std::unique_ptr<TServerControl> control;
  std::map<std::u16string, std::u16string> users{{u"ann", u"wonder"}, {u"ben", u"land"}};
  std::map<std::string, int32_t> handles;  // by user name
  std::vector<std::vector<uint8_t>> binaries;
  int left = 0;

  uint16_t Start() {
    std::string error;
    ComPtr<IDispatch> dispatch = CreateServerControl(error);
    if (!dispatch) throw TDemoFailure(error + " Register server/twParleySrv_free.so with tools/twregsvr first.");
    control = std::make_unique<TServerControl>(dispatch);
    TServerEvents& e = control->Events();
    e.OnConnectionRequest = [this](int32_t, std::u16string_view user, std::u16string& password, bool& accept) {
      auto it = users.find(std::u16string(user));
      accept = it != users.end();
      if (accept) password = it->second;
      Say("server: " + Utf8(user) + (accept ? " asks to log in" : " is not a user here"));
    };
    e.OnPeerConnected = [this](int32_t handle) {
      const std::string name = Utf8(control->GetPeerName(handle));
      handles[name] = handle;
      Say("server: " + name + " connected from " + Utf8(control->GetPeerAddress(handle)));
    };
    e.OnPeerRejected = [](std::u16string_view user, std::u16string_view, int32_t, int32_t code) {
      Say("server: login of " + Utf8(user) + " failed (code " + std::to_string(code) + ")");
    };
    e.OnPeerDisconnected = [this](int32_t handle, int32_t code) {
      ++left;
      Say("server: " + Utf8(control->GetPeerName(handle)) + " disconnected (code " + std::to_string(code) + ")");
    };
    e.OnBinaryMessage = [this](int32_t handle, const std::vector<uint8_t>* message) {
      binaries.push_back(message ? *message : std::vector<uint8_t>{});
      Say("server: " + std::to_string(binaries.back().size()) + " binary bytes from " +
          Utf8(control->GetPeerName(handle)));
    };
    // Port 0: the system picks a free one, which the control then reports.
    control->SetListeningPort(0);
    control->SetBindAddress(u"127.0.0.1");
    Check(control->Start(), "the server did not start listening (LastError " + std::to_string(control->LastError()) + ")");
    const auto port = static_cast<uint16_t>(control->ListeningPort());
    Say("server: listening on 127.0.0.1:" + std::to_string(port));
    return port;
  }
};

// --- The demonstration -------------------------------------------------------------------

struct TOptions {
  std::filesystem::path out = "twdemo-out";
  uint32_t talkMs = 5000;
  std::string speech = TW_DEMO_SPEECH;
};

Variant Bytes(const std::vector<uint8_t>& b) {
  Variant v;
  if (FAILED(VariantFromBytes(b, v.Out()))) throw std::bad_alloc();
  return v;
}

void Messages(THost& host, TParty& ann, TParty& ben) {
  const LONG benAtAnn = ann.Peer("ben"), annAtBen = ben.Peer("ann");
  VARIANT_BOOL ok = VARIANT_FALSE;
  Bstr chat(u"Hello Ben, shall we talk?"), alert(u"Ring ring!");
  ann.Expect(ann->SendChatMessage(benAtAnn, chat.Get(), &ok), ok, "SendChatMessage");
  WaitFor("ben's chat from ann", [&] { return !ben.texts.empty(); });
  ben.Expect(ben->SendAlertMessage(annAtBen, alert.Get(), &ok), ok, "SendAlertMessage");
  WaitFor("ann's alert from ben", [&] { return !ann.texts.empty(); });
  Check(ben.texts[0] == "chat from ann: Hello Ben, shall we talk?", "ben's chat arrived changed: " + ben.texts[0]);

  const std::vector<uint8_t> toBen{0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}, toHost{'h', 'o', 's', 't', 0},
      fromHost{'w', 'e', 'l', 'c', 'o', 'm', 'e', 0xFF};
  Variant a = Bytes(toBen), b = Bytes(toHost);
  ann.Expect(ann->SendBinaryMessage(benAtAnn, &a, &ok), ok, "SendBinaryMessage to ben");
  ben.Expect(ben->SendBinaryMessage(0, &b, &ok), ok, "SendBinaryMessage to the server's host");
  WaitFor("the binary messages to ben and to the host", [&] { return !ben.binaries.empty() && !host.binaries.empty(); });
  Check(ben.binaries[0].second == toBen, "ben's binary message arrived changed");
  Check(host.binaries[0] == toHost, "the host's binary message arrived changed");
  Check(host.control->SendBinaryMessage(host.handles["ann"], fromHost), "the host could not send to ann");
  WaitFor("ann's binary message from the host", [&] { return !ann.binaries.empty(); });
  Check(ann.binaries[0].first == 0 && ann.binaries[0].second == fromHost, "ann's message from the host arrived changed");
}

void File(const TOptions& o, TParty& ann, TParty& ben) {
  const std::filesystem::path outbox = o.out / "outbox", note = outbox / "note-from-ann.txt";
  std::filesystem::create_directories(outbox);
  std::string text;
  for (int i = 1; text.size() < 200000; ++i) text += "Line " + std::to_string(i) + " of ann's note to ben.\n";
  WriteFile(note, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  const std::filesystem::path received = std::filesystem::absolute(o.out / "ben-received-note.txt");
  std::filesystem::remove(received);
  ben.acceptFileAs = win32::AnsiToWide(received.string());

  Bstr path(win32::AnsiToWide(std::filesystem::absolute(note).string()));
  VARIANT_BOOL ok = VARIANT_FALSE;
  ann.Expect(ann->RequestOutFile(ann.Peer("ben"), path.Get(), &ok), ok, "RequestOutFile");
  Say("ann: offering " + note.string() + " (" + std::to_string(text.size()) + " bytes) to ben");
  WaitFor("the file transfer", [&] { return ann.outFileDone >= 0 && ben.inFileDone >= 0; });
  Check(ann.outFileDone == 0 && ben.inFileDone == 0,
        "the file transfer ended with codes " + std::to_string(ann.outFileDone) + " / " + std::to_string(ben.inFileDone));
  const std::vector<uint8_t> got = ReadFile(received);
  Check(std::string(got.begin(), got.end()) == text, "the received file differs from the one sent");
  Say("ben: the received file matches, " + received.string());
}

void Talk(const TOptions& o, TParty& ann, TParty& ben) {
  ann.ChooseDevices(u"Virtual sound device of ann", u"Test Pattern");
  ben.ChooseDevices(u"Virtual sound device of ben", u"Test Pattern");
  VARIANT_BOOL ok = VARIANT_FALSE;
  ann.Expect(ann->BeginTalk(ann.Peer("ben"), VARIANT_TRUE, VARIANT_TRUE, &ok), ok, "BeginTalk");
  WaitFor("the talk's beginning", [&] { return ann.talking && ben.talking; });
  Say("talking for " + std::to_string(o.talkMs) + " ms...");
  win32::RunUntil([] { return false; }, o.talkMs);
  Say("ann saw " + std::to_string(ann.remoteFrames) + " frames of ben and played " +
      std::to_string(ann.played.size() / 2) + " samples; ben saw " + std::to_string(ben.remoteFrames) +
      " frames of ann and played " + std::to_string(ben.played.size() / 2) + " samples");
  ann->EndTalk();
  WaitFor("the talk's end on both sides", [&] { return ann.ended && ben.ended; });
  for (TParty* p : {&ann, &ben}) {
    Check(p->localFrames > 0, p->Name() + " captured no frame");
    Check(p->remoteFrames > 0, p->Name() + " received no frame of the other side");
    Check(!p->played.empty(), p->Name() + " played no audio");
  }
}

void SaveMedia(const TOptions& o, TParty& ann, TParty& ben) {
  for (TParty* p : {&ann, &ben}) {
    const std::string n = p->Name();
    WriteFile(o.out / (n + "-local.bmp"), p->localFrame);
    WriteFile(o.out / (n + "-remote.bmp"), p->remoteFrame);
    WriteWav(o.out / (n + "-played.wav"), p->played);
    Say("wrote " + (o.out / (n + "-local.bmp")).string() + ", " + n + "-remote.bmp and " + n +
        "-played.wav (RMS " + std::to_string(static_cast<int>(Rms(p->played))) + ")");
  }
}

int Run(const TOptions& o) {
  std::filesystem::create_directories(o.out);
  const std::vector<int16_t> speech = WavSamples(o.speech);
  const uint32_t shortest = ShortestTalkMs(speech);
  Check(o.talkMs >= shortest, "a talk of " + std::to_string(o.talkMs) + " ms is too short for " + o.speech +
                                  ": ben speaks after ann's half of it, so the talk needs --talk-ms " +
                                  std::to_string(shortest) + " or more");
  TVirtualDevices devices(speech);  // before the controls look for devices
  THost host;
  const uint16_t port = host.Start();
  TParty ann("ann", u"wonder"), ben("ben", u"land");
  ann.Login(port);
  WaitFor("ann's login", [&] { return ann.open; });
  ben.Login(port);
  WaitFor("ben's login", [&] { return ben.open; });
  WaitFor("ann and ben meeting", [&] { return ann.Peer("ben") && ben.Peer("ann"); });
  Messages(host, ann, ben);
  File(o, ann, ben);
  Talk(o, ann, ben);
  SaveMedia(o, ann, ben);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ann->CloseSession(&ok);
  ben->CloseSession(&ok);
  WaitFor("the server seeing both leave", [&] { return host.left == 2; });
  Say("done: every step happened");
  return 0;
}

}  // namespace

// --talk-ms: a whole number of milliseconds; nothing otherwise. Whether the
// talk is long enough depends on the speech (ShortestTalkMs).
std::optional<uint32_t> TalkMs(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long ms = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || ms > kLongestTalkMs) return std::nullopt;
  return static_cast<uint32_t>(ms);
}

int main(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--out" && value) {
      options.out = value, ++i;
    } else if (arg == "--talk-ms" && value) {
      std::optional<uint32_t> ms = TalkMs(value);
      if (!ms) {
        std::fprintf(stderr, "twdemo: --talk-ms takes a whole number of milliseconds up to %u, not \"%s\"\n",
                     kLongestTalkMs, value);
        return 2;
      }
      options.talkMs = *ms, ++i;
    } else if (arg == "--speech" && value) {
      options.speech = value, ++i;
    } else {
      std::fputs(kUsage, arg == "--help" || arg == "-h" ? stdout : stderr);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  int code = 1;
  try {
    code = Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "twdemo: FAILED: %s\n", e.what());
  }
  // The controls die from the message loop once released.
  win32::RunUntil([] { return false; }, 50);
  CoFreeUnusedLibraries();
  return code;
}
