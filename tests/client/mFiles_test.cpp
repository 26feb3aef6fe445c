// File transfers between client engines through the real server engine:
// round trips compared byte for byte, several transfers at once, 64-bit
// sizes, the failure codes with faults injected into the file layer, a peer
// that sends out of turn or lies about sizes and CRCs, names a peer must not
// be able to turn into paths, progress throttling on a test clock, and links
// that end in the middle of a transfer.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/mCRC32.h"
#include "client_harness.h"
#include "platform/files/files.h"
#include "platform/win32/text.h"
#include "transport/twTools.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;
namespace fs = std::filesystem;

namespace {

// A fresh folder that is the process's current folder while it lives, since
// a kept offered name lands in the current folder.
class TWorkFolder {
 public:
  TWorkFolder() {
    std::string name = (fs::temp_directory_path() / "twfiles-XXXXXX").string();
    if (!::mkdtemp(name.data())) throw std::runtime_error("no temporary folder");
    path_ = name;
    previous_ = fs::current_path();
    fs::current_path(path_);
  }
  ~TWorkFolder() {
    fs::current_path(previous_);
    fs::remove_all(path_);
  }
  // Every name in the folder tree, relative, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(path_))
      names.push_back(fs::relative(e.path(), path_).string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_, previous_;
};

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool HasTemporaryFile(const TWorkFolder& dir) {
  for (const std::string& n : dir.Names())
    if (n.find(win32::Utf16ToUtf8(cln::kDefaultTransferSuffix)) != std::string::npos) return true;
  return false;
}

// What a container does with offers: decides, and logs every file event of
// its client as "offered <name>", "indone <peer> <code>", "outdone <peer>
// <code>", "inprogress <peer> lo hi sizelo sizehi", "outprogress ...".
struct TFileWatch {
  std::function<void(std::u16string& path, bool& okay)> decide = [](std::u16string&, bool& okay) { okay = true; };

  void Attach(TClient& c) {
    cln::TParleyClnEvents& ev = c->Events;
    auto name = [&c](cln::TPeerHandle h) {
      cln::TPeer* p = c->CheckPeer(h);
      return p ? win32::Utf16ToUtf8(p->Name) : std::string("?");
    };
    ev.OnInFileRequested = [this, &c](cln::TPeerHandle, std::u16string& path, bool& okay) {
      c.log.push_back("offered " + win32::Utf16ToUtf8(path));
      decide(path, okay);
    };
    auto progress = [&c, name](const char* what) {
      return [&c, name, what](cln::TPeerHandle h, int32_t lo, int32_t hi, int32_t slo, int32_t shi) {
        c.log.push_back(std::string(what) + " " + name(h) + " " + std::to_string(static_cast<uint32_t>(lo)) + " " +
                        std::to_string(hi) + " " + std::to_string(static_cast<uint32_t>(slo)) + " " +
                        std::to_string(shi));
      };
    };
    ev.OnOutFileProgress = progress("outprogress");
    ev.OnInFileProgress = progress("inprogress");
    ev.OnOutFileDone = [&c, name](cln::TPeerHandle h, int32_t code) {
      c.log.push_back("outdone " + name(h) + " " + std::to_string(code));
    };
    ev.OnInFileDone = [&c, name](cln::TPeerHandle h, int32_t code) {
      c.log.push_back("indone " + name(h) + " " + std::to_string(code));
    };
  }
};

// Two or three clients c0, c1, (c2) in one session, working in a fresh folder.
struct TRig {
  TWorkFolder dir;
  THarness h;
  std::vector<TFileWatch> watch;
  explicit TRig(size_t clients, THarnessOptions options = {}) : h(options), watch(clients) {
    if (!h.OpenMesh(clients)) throw std::runtime_error("mesh did not open");
    for (size_t i = 0; i < clients; ++i) watch[i].Attach(h[i]);
  }
  TClient& operator[](size_t i) { return h[i]; }
  // Waits until `c` logged `line`.
  bool WaitFor(TClient& c, const std::string& line, win32::DWORD ms = 10000) {
    return h.Run([&] { return c.Saw(line); }, ms);
  }
};

// The receiver keeps files under a folder of its own, as a container may:
// the engine shows it only plain file names. It still declines anything
// else, so the example stays sound on its own.
void ReceiveInto(TFileWatch& w, const std::u16string& folder) {
  w.decide = [folder](std::u16string& path, bool& okay) {
    okay = !path.empty() && path != u"." && path != u".." && path.find(u'/') == std::u16string::npos &&
           path.find(u'\0') == std::u16string::npos;
    if (okay) path = folder + u"/" + path;
  };
}

// The data chunks a client sends, counted at their acknowledgements.
std::shared_ptr<size_t> CountDataAcks(TClient& a) {
  auto count = std::make_shared<size_t>(0);
  cln::CMate& m = a->Mate();
  m.Events.OnTubeAck = [count, inner = m.Events.OnTubeAck](cln::TTubeId t, int32_t channel) {
    if (channel == cln::APP_FILE_DATA) ++*count;
    inner(t, channel);
  };
  return count;
}

std::string Int64(int64_t v) {
  std::string body;
  PutInt64Field(body, v);
  return body;
}

}  // namespace

// --- Round trips -------------------------------------------------------------------------------

TEST(FileRoundTrip, EverySizeArrivesByteForByteAndReplacesTheDestination) {
  TRig rig(2);
  TClient& a = rig[0];
  TClient& b = rig[1];
  ReceiveInto(rig.watch[1], u"got/deeper");  // a folder chain that does not exist yet
  const std::shared_ptr<size_t> chunks = CountDataAcks(a);
  struct Case {
    const char* name;
    std::function<size_t()> size;
    int maxChunks;  // -1: any number
  };
  // The room only grows on an idle pipe, so a file of the chunk size measured
  // at the offer goes in one chunk.
  auto room = [&] { return static_cast<size_t>(a->Files().ChunkSize()); };
  const Case cases[] = {
      {"empty", [] { return size_t{0}; }, 0},
      {"one byte", [] { return size_t{1}; }, 1},
      {"chunk less one", [&] { return room() - 1; }, 1},
      {"one chunk", [&] { return room(); }, 1},
      {"chunk plus one", [&] { return room() + 1; }, 2},
      {"5 MB", [] { return size_t{5'000'000}; }, -1},
  };
  int serial = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string name = "f" + std::to_string(++serial);
    const std::string data = RandomBytes(k.size(), static_cast<uint32_t>(serial));
    WriteFile(name, data);
    fs::create_directories("got/deeper");
    WriteFile("got/deeper/" + name, "an older file");
    const size_t before = *chunks;
    ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), win32::Utf8ToUtf16(name)));
    EXPECT_EQ(a->GetOutgoingFile(a.Handle(u"c1")), win32::Utf8ToUtf16(name));
    ASSERT_TRUE(rig.WaitFor(a, "outdone c1 0", 20000));
    EXPECT_TRUE(b.Saw("indone c0 0"));
    EXPECT_TRUE(b.Saw("offered " + name));
    EXPECT_TRUE(ReadFile("got/deeper/" + name) == data);
    if (k.maxChunks >= 0) {
      EXPECT_LE(*chunks - before, static_cast<size_t>(k.maxChunks));
    }
    if (k.maxChunks == 1) {
      EXPECT_EQ(*chunks - before, 1u);
    }
    EXPECT_EQ(a->GetOutgoingFile(a.Handle(u"c1")), u"");
    EXPECT_FALSE(HasTemporaryFile(rig.dir));
    a.log.clear();
    b.log.clear();
  }
}

TEST(FileRoundTrip, TransfersBothWaysAndToASecondPeerRunAtOnce) {
  TRig rig(3);
  TClient& a = rig[0];
  TClient& b = rig[1];
  TClient& c = rig[2];
  ReceiveInto(rig.watch[0], u"at-a");
  ReceiveInto(rig.watch[1], u"at-b");
  ReceiveInto(rig.watch[2], u"at-c");
  const std::string ab = RandomBytes(1'500'000, 1), ba = RandomBytes(1'200'000, 2), ac = RandomBytes(900'000, 3);
  WriteFile("ab", ab);
  WriteFile("ba", ba);
  WriteFile("ac", ac);
  ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"ab"));
  ASSERT_TRUE(b->RequestOutFile(b.Handle(u"c0"), u"ba"));
  ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c2"), u"ac"));
  // The same file to another peer while it is being sent: opened exclusively.
  EXPECT_FALSE(c->RequestOutFile(c.Handle(u"c1"), u"ab"));
  EXPECT_EQ(c->GetLastError(), cln::errOpenFailed);
  ASSERT_TRUE(rig.h.Run([&] { return a.Count("outdone") == 2 && b.Count("outdone") == 1; }, 30000));
  for (const char* line : {"outdone c1 0", "outdone c2 0", "indone c1 0"}) EXPECT_TRUE(a.Saw(line)) << line;
  for (const char* line : {"outdone c0 0", "indone c0 0"}) EXPECT_TRUE(b.Saw(line)) << line;
  EXPECT_TRUE(c.Saw("indone c0 0"));
  EXPECT_TRUE(ReadFile("at-b/ab") == ab);
  EXPECT_TRUE(ReadFile("at-a/ba") == ba);
  EXPECT_TRUE(ReadFile("at-c/ac") == ac);
}

// A 5 GiB file (sparse, so it costs nothing) is offered with its true size;
// both sides report it with the high half 1.
TEST(FileRoundTrip, SizesBeyondFourGibibytesKeepTheirHighHalf) {
  TRig rig(2);
  TClient& a = rig[0];
  TClient& b = rig[1];
  ReceiveInto(rig.watch[1], u"in");
  constexpr int64_t kSize = int64_t{5} << 30;  // 0x1'4000'0000
  {
    files::TFile f;
    ASSERT_TRUE(f.Create("huge"));
    ASSERT_TRUE(f.Seek(kSize - 1));
    ASSERT_TRUE(f.Write("z"));
  }
  ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"huge"));
  ASSERT_TRUE(rig.h.Run([&] { return a.Count("outprogress") >= 1 && b.Count("inprogress") >= 1; }, 10000));
  auto sizeHalves = [](const TClient& c, const std::string& what) {
    for (const std::string& l : c.log)
      if (l.rfind(what, 0) == 0) return l.substr(l.rfind(' ', l.rfind(' ') - 1) + 1);
    return std::string();
  };
  EXPECT_EQ(sizeHalves(a, "outprogress"), "1073741824 1");
  EXPECT_EQ(sizeHalves(b, "inprogress"), "1073741824 1");
  EXPECT_TRUE(fs::exists(std::string("in/huge") + win32::Utf16ToUtf8(cln::kDefaultTransferSuffix)));
  ASSERT_TRUE(a->CancelOutFile(a.Handle(u"c1")));
  ASSERT_TRUE(rig.WaitFor(b, "indone c0 1"));
  EXPECT_TRUE(a.Saw("outdone c1 1"));
  EXPECT_FALSE(HasTemporaryFile(rig.dir));
}

// --- Operations and refusals ------------------------------------------------------------------

TEST(FileOperations, CheckSessionHandleAndTransferInOrder) {
  TRig rig(3);
  TClient& a = rig[0];
  const cln::TPeerHandle b = a.Handle(u"c1"), c = a.Handle(u"c2");
  ReceiveInto(rig.watch[1], u"at-b");
  ReceiveInto(rig.watch[2], u"at-c");
  WriteFile("one", RandomBytes(4'000'000, 1));
  WriteFile("two", "two");
  struct Case {
    const char* name;
    std::function<bool()> call;
    bool result;
    int32_t error;
  };
  const Case open[] = {
      {"cancel out, none", [&] { return a->CancelOutFile(b); }, false, cln::errNoTransfer},
      {"cancel in, none", [&] { return a->CancelInFile(b); }, false, cln::errNoTransfer},
      {"request, no peer", [&] { return a->RequestOutFile(12345, u"one"); }, false, errInvalidHandle},
      {"request, no file", [&] { return a->RequestOutFile(b, u"missing"); }, false, cln::errOpenFailed},
      {"request, a folder", [&] { return a->RequestOutFile(b, u"."); }, false, cln::errOpenFailed},
      {"request", [&] { return a->RequestOutFile(b, u"one"); }, true, errNone},
      {"request again, same peer", [&] { return a->RequestOutFile(b, u"two"); }, false, cln::errBusy},
      {"request to another peer", [&] { return a->RequestOutFile(c, u"two"); }, true, errNone},
      {"cancel out", [&] { return a->CancelOutFile(b); }, true, errNone},
  };
  for (const Case& k : open) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(k.call(), k.result);
    EXPECT_EQ(a->GetLastError(), k.error);
  }
  ASSERT_TRUE(rig.WaitFor(a, "outdone c2 0"));
  EXPECT_TRUE(a.Saw("outdone c1 1"));
  // A peer that is gone could never answer: no transfer starts.
  ASSERT_TRUE(a->DisconnectPeer(b));
  EXPECT_FALSE(a->RequestOutFile(b, u"two"));
  EXPECT_EQ(a->GetLastError(), cln::errWrongState);

  ASSERT_TRUE(a->CloseSession());
  const Case closed[] = {
      {"request", [&] { return a->RequestOutFile(b, u"one"); }, false, errSessionNotOpen},
      {"cancel out", [&] { return a->CancelOutFile(b); }, false, errSessionNotOpen},
      {"cancel in", [&] { return a->CancelInFile(12345); }, false, errSessionNotOpen},
  };
  for (const Case& k : closed) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(k.call(), k.result);
    EXPECT_EQ(a->GetLastError(), k.error);
  }
  EXPECT_EQ(a->GetOutgoingFile(b), u"");
}

TEST(FileOperations, AnEmptySuffixIsRefusedAndAnotherIsUsedForTheNextOffer) {
  TRig rig(2);
  TClient& a = rig[0];
  TClient& b = rig[1];
  EXPECT_FALSE(b->SetTransferSuffix(u""));
  EXPECT_FALSE(b->SetTransferSuffix(u"/x"));  // the temporary file in another folder
  EXPECT_EQ(b->GetTransferSuffix(), cln::kDefaultTransferSuffix);
  ASSERT_TRUE(b->SetTransferSuffix(u".part"));
  ReceiveInto(rig.watch[1], u"in");
  WriteFile("big", RandomBytes(3'000'000, 5));
  ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"big"));
  ASSERT_TRUE(rig.h.Run([&] { return b.Count("inprogress") > 0; }));
  EXPECT_TRUE(fs::exists("in/big.part"));
  ASSERT_TRUE(b->CancelInFile(b.Handle(u"c0")));
  ASSERT_TRUE(rig.WaitFor(a, "outdone c1 1"));
  EXPECT_TRUE(b.Saw("indone c0 1"));
  EXPECT_FALSE(fs::exists("in/big.part"));
}

// Refusals at the receiver reach the sender as its done code; the receiver
// fires nothing and keeps no file.
TEST(FileRefusals, TheReceiversRefusalIsTheSendersCode) {
  struct Case {
    const char* name;
    std::function<void(TRig&)> arrange;
    int32_t code;
  };
  const Case cases[] = {
      {"no handler", [](TRig& r) { r[1]->Events.OnInFileRequested = nullptr; }, cln::errNoReceiver},
      {"declined", [](TRig& r) { r.watch[1].decide = [](std::u16string&, bool& ok) { ok = false; }; },
       cln::errDeclined},
      {"declined by a handler that removes itself",
       [](TRig& r) {
         r.watch[1].decide = [&r](std::u16string&, bool& ok) {
           r[1]->Events.OnInFileRequested = nullptr;
           ok = false;
         };
       },
       cln::errDeclined},
      {"temporary file not created",
       [](TRig& r) {
         WriteFile("blocked", "a file where a folder would have to be");
         r.watch[1].decide = [](std::u16string& path, bool& ok) {
           path = u"blocked/x";
           ok = true;
         };
       },
       cln::errCreateFailed},
      {"the receiver's link ends while it decides",
       [](TRig& r) {
         r.watch[1].decide = [&r](std::u16string&, bool& ok) {
           ok = true;
           r[1]->DisconnectPeer(r[1].Handle(u"c0"));
         };
       },
       -1},  // the sender learns of it from the link: code 1
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TRig rig(2);
    k.arrange(rig);
    WriteFile("x", "payload");
    ASSERT_TRUE(rig[0]->RequestOutFile(rig[0].Handle(u"c1"), u"x"));
    const std::string expected = "outdone c1 " + std::to_string(k.code < 0 ? 1 : k.code);
    ASSERT_TRUE(rig.WaitFor(rig[0], expected));
    ASSERT_TRUE(rig.h.Settle());
    EXPECT_EQ(rig[1].Count("indone"), 0u);
    EXPECT_FALSE(HasTemporaryFile(rig.dir));
  }
}

// --- Failures ---------------------------------------------------------------------------------

// Each fault on either side: both sides' codes, the old destination kept,
// no temporary file left, the source closed.
TEST(FileFailures, InjectedFaultsGiveTheirCodesAndLeaveTheDestinationAlone) {
  struct Case {
    const char* name;
    files::Op op;
    int nth;
    int32_t senderCode;
    int32_t receiverCode;  // -1: the receiver reports nothing
    bool shortWrite = false;
  };
  const Case cases[] = {
      {"create", files::Op::Create, 1, cln::errCreateFailed, -1},
      {"read, mid-file", files::Op::Read, 3, cln::errReadFailed, cln::errReadFailed},
      {"write, mid-file", files::Op::Write, 2, cln::errWriteFailed, cln::errWriteFailed},
      {"short write", files::Op::Write, 2, cln::errWriteFailed, cln::errWriteFailed, true},
      {"flush before the rename", files::Op::Sync, 1, cln::errRenameFailed, cln::errRenameFailed},
      {"rename", files::Op::Rename, 1, cln::errRenameFailed, cln::errRenameFailed},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TRig rig(2);
    TClient& a = rig[0];
    TClient& b = rig[1];
    WriteFile("src", RandomBytes(400'000, 9));
    WriteFile("dst", "the old file");
    rig.watch[1].decide = [](std::u16string& path, bool& ok) {
      path = u"dst";
      ok = true;
    };
    auto transfer = [&](const files::ScopedFault& fault) {
      ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"src"));
      ASSERT_TRUE(rig.WaitFor(a, "outdone c1 " + std::to_string(k.senderCode)));
      if (k.receiverCode >= 0) {
        ASSERT_TRUE(rig.WaitFor(b, "indone c0 " + std::to_string(k.receiverCode)));
      }
      ASSERT_TRUE(rig.h.Settle());
      EXPECT_EQ(b.Count("indone"), k.receiverCode >= 0 ? 1u : 0u);
      EXPECT_EQ(fault.failures(), 1);
    };
    if (k.shortWrite) {
      transfer(files::InjectShortWrite(k.nth, 100));
    } else {
      transfer(files::InjectFault(k.op, k.nth, EIO));
    }
    EXPECT_EQ(ReadFile("dst"), "the old file");
    EXPECT_EQ(rig.dir.Names(), (std::vector<std::string>{"dst", "src"}));
    files::TFile source;
    EXPECT_TRUE(source.OpenForReading("src"));  // closed by the sender
  }
}

TEST(FileFailures, OpeningTheSourceFailsAtOnce) {
  TRig rig(2);
  WriteFile("src", "x");
  auto fault = files::InjectFault(files::Op::Open, 1, EACCES);
  EXPECT_FALSE(rig[0]->RequestOutFile(rig[0].Handle(u"c1"), u"src"));
  EXPECT_EQ(rig[0]->GetLastError(), cln::errOpenFailed);
  EXPECT_EQ(rig[0]->GetOutgoingFile(rig[0].Handle(u"c1")), u"");
}

// Either side cancels, or either side's link ends, in the middle of a
// transfer: both sides end with 1, the old destination stays, no temporary
// file is left, the source is closed.
TEST(FileFailures, ACancelOrALostLinkMidTransferEndsBothSidesWithOne) {
  struct Case {
    const char* name;
    bool bySender;
    std::function<void(TClient& self, cln::TPeerHandle other)> act;
  };
  const Case cases[] = {
      {"sender cancels", true, [](TClient& s, cln::TPeerHandle o) { s->CancelOutFile(o); }},
      {"receiver cancels", false, [](TClient& s, cln::TPeerHandle o) { s->CancelInFile(o); }},
      {"sender closes its session", true, [](TClient& s, cln::TPeerHandle) { s->CloseSession(); }},
      {"receiver closes its session", false, [](TClient& s, cln::TPeerHandle) { s->CloseSession(); }},
      {"sender disconnects the peer", true, [](TClient& s, cln::TPeerHandle o) { s->DisconnectPeer(o); }},
      {"receiver disconnects the peer", false, [](TClient& s, cln::TPeerHandle o) { s->DisconnectPeer(o); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TRig rig(2);
    TClient& a = rig[0];
    TClient& b = rig[1];
    WriteFile("src", RandomBytes(5'000'000, 3));
    WriteFile("dst", "the old file");
    rig.watch[1].decide = [](std::u16string& path, bool& ok) {
      path = u"dst";
      ok = true;
    };
    // Acts from inside the first progress event, so the transfer is surely
    // under way.
    bool acted = false;
    TClient& actor = k.bySender ? a : b;
    auto& event = k.bySender ? a->Events.OnOutFileProgress : b->Events.OnInFileProgress;
    event = [&, inner = event](cln::TPeerHandle h, int32_t lo, int32_t hi, int32_t slo, int32_t shi) {
      inner(h, lo, hi, slo, shi);
      if (!acted) {
        acted = true;
        k.act(actor, h);
      }
    };
    ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"src"));
    ASSERT_TRUE(rig.h.Run([&] { return a.Count("outdone") == 1 && b.Count("indone") == 1; }, 10000));
    EXPECT_TRUE(a.Saw("outdone c1 1"));
    EXPECT_TRUE(b.Saw("indone c0 1"));
    ASSERT_TRUE(rig.h.Settle());
    EXPECT_EQ(ReadFile("dst"), "the old file");
    EXPECT_EQ(rig.dir.Names(), (std::vector<std::string>{"dst", "src"}));
    files::TFile source;
    EXPECT_TRUE(source.OpenForReading("src"));
  }
}

// An engine destroyed in the middle of a transfer sends and fires nothing,
// but leaves no temporary file; its peer ends the transfer with 1.
TEST(FileFailures, AnEngineDestroyedMidTransferLeavesNoTemporaryFile) {
  for (bool receiverGoes : {true, false}) {
    SCOPED_TRACE(receiverGoes ? "receiver destroyed" : "sender destroyed");
    TRig rig(2);
    TClient& a = rig[0];
    TClient& b = rig[1];
    WriteFile("src", RandomBytes(5'000'000, 6));
    ReceiveInto(rig.watch[1], u"in");
    ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"src"));
    ASSERT_TRUE(rig.h.Run([&] { return b.Count("inprogress") > 0; }));
    ASSERT_TRUE(HasTemporaryFile(rig.dir));
    (receiverGoes ? b : a).engine.reset();
    TClient& peer = receiverGoes ? a : b;
    ASSERT_TRUE(rig.WaitFor(peer, receiverGoes ? "outdone c1 1" : "indone c0 1"));
    EXPECT_EQ(rig.dir.Names(), (std::vector<std::string>{"in", "src"}));
  }
}

// --- A peer that does not follow the exchange ------------------------------------------------

namespace {

// A bare client bonded with c0, sending and answering file messages by hand.
struct TRawPeer {
  TRig& rig;
  TRawClient raw;
  int32_t to = 0;
  explicit TRawPeer(TRig& r, const std::u16string& name = u"raw") : rig(r), raw(r.h, name) {
    rig.h.Run([&] { return raw.PeerId(u"c0") != 0; });
    to = raw.PeerId(u"c0");
    raw.SendRouted(cln::BOND_REQUEST, IntToField(secNone), to);
    rig.h.Run([&] { return rig[0].Handle(name) != 0; });
  }
  void Send(int32_t channel, std::string body = {}, bool ack = false) {
    raw.SendRouted(1000 + channel, std::move(body), to, ack);
  }
  size_t Seen(int32_t code) const {
    return static_cast<size_t>(
        std::count_if(raw.bonds.begin(), raw.bonds.end(), [&](const auto& b) { return b.code == code; }));
  }
  // Sends and waits until c0 processed it (its acknowledgement is back).
  void SendAndWait(int32_t channel, std::string body) {
    const size_t acks = Seen(-(1000 + channel));
    Send(channel, std::move(body), true);
    rig.h.Run([&] { return Seen(-(1000 + channel)) > acks; });
  }
  std::vector<int32_t> EndCodes() const {
    std::vector<int32_t> codes;
    for (const auto& b : raw.bonds)
      if (b.code == 1000 + cln::APP_FILE_END) {
        std::string body = b.body;
        codes.push_back(ReadIntField(body));
      }
    return codes;
  }
  static std::string OfferBody(std::u16string_view name, int64_t size) {
    std::string body;
    PutWideField(body, name);
    PutInt64Field(body, size);
    return body;
  }
  void Offer(std::u16string_view name, int64_t size) { SendAndWait(cln::APP_FILE_OFFER, OfferBody(name, size)); }
  // Sends a whole file after an accepted offer: start, one chunk, done.
  void Deliver(std::string_view bytes) {
    SendAndWait(cln::APP_FILE_START, Int64(0));
    SendAndWait(cln::APP_FILE_DATA, Data({bytes}));
    std::string crc;
    PutIntField(crc, static_cast<int32_t>(Crc32Update(kCrc32Start, bytes)));
    SendAndWait(cln::APP_FILE_DONE, crc);
  }
  std::string Data(std::initializer_list<std::string_view> chunks) {
    std::string body;
    for (auto c : chunks) PutStrField(body, c);
    return body;
  }
};

std::string Crc(std::string_view bytes) { return IntToField(static_cast<int32_t>(Crc32Update(kCrc32Start, bytes))); }

}  // namespace

TEST(FileProtocol, MessagesOutOfTurnAreIgnoredAndOnlyAWholeMatchingFileCompletes) {
  TRig rig(1);
  TClient& c = rig[0];
  TRawPeer s(rig);
  ASSERT_NE(c.Handle(u"raw"), 0);

  // No file has a negative size: declined without asking the container.
  s.Offer(u"negative", -1);
  EXPECT_EQ(s.EndCodes(), std::vector<int32_t>{cln::errDeclined});
  EXPECT_EQ(c.Count("offered"), 0u);
  s.raw.bonds.clear();
  // Accepted; data and done before the start change nothing.
  s.Offer(u"r.bin", 6);
  ASSERT_EQ(s.Seen(1000 + cln::APP_FILE_ACCEPT), 1u);
  s.SendAndWait(cln::APP_FILE_DATA, s.Data({"early!"}));
  s.SendAndWait(cln::APP_FILE_DONE, Crc("early!"));
  EXPECT_EQ(c.Count("indone"), 0u);
  // A second offer while one is active is busy.
  s.Offer(u"other", 1);
  EXPECT_EQ(s.EndCodes(), std::vector<int32_t>{cln::errBusy});
  // One ready for a repeated start; bytes past the offered size are never
  // written, so the file is whole and its CRC matches.
  s.SendAndWait(cln::APP_FILE_START, Int64(0));
  s.SendAndWait(cln::APP_FILE_START, Int64(0));
  EXPECT_EQ(s.Seen(1000 + cln::APP_FILE_READY), 1u);
  s.SendAndWait(cln::APP_FILE_DATA, s.Data({"abcd", "efXYZ", "more"}));
  s.SendAndWait(cln::APP_FILE_DONE, Crc("abcdef"));
  ASSERT_TRUE(rig.WaitFor(c, "indone raw 0"));
  EXPECT_EQ(ReadFile("r.bin"), "abcdef");
  EXPECT_EQ(s.EndCodes(), (std::vector<int32_t>{cln::errBusy, errNone}));
  // A late done after the end changes nothing.
  s.SendAndWait(cln::APP_FILE_DONE, Crc("abcdef"));
  EXPECT_EQ(c.Count("indone"), 1u);

  struct Case {
    const char* name;
    int64_t size;
    std::string data;
    std::string crc;
    int32_t code;
    bool cancel = false;
  };
  const Case cases[] = {
      {"short of the size", 4, "ab", Crc("ab"), cln::errCrcMismatch},
      {"another CRC", 4, "abcd", Crc("abce"), cln::errCrcMismatch},
      {"a cancel that says 0", 4, "abcd", IntToField(0), cln::errCancelled, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    c.log.clear();
    WriteFile("r.bin", "kept");
    s.Offer(u"r.bin", k.size);
    s.SendAndWait(cln::APP_FILE_START, Int64(0));
    s.SendAndWait(cln::APP_FILE_DATA, s.Data({k.data}));
    s.SendAndWait(k.cancel ? cln::APP_FILE_CANCEL : cln::APP_FILE_DONE, k.crc);
    ASSERT_TRUE(rig.WaitFor(c, "indone raw " + std::to_string(k.code)));
    EXPECT_EQ(ReadFile("r.bin"), "kept");
    EXPECT_FALSE(HasTemporaryFile(rig.dir));
  }
}

// The sender keeps one chunk in flight: repeated answers release nothing,
// and the acknowledgement of a cancelled transfer's chunk does not release a
// chunk of the next transfer to the same peer.
TEST(FileProtocol, OneChunkIsInFlightWhateverThePeerRepeats) {
  TRig rig(1);
  TClient& a = rig[0];
  TRawPeer r(rig);
  const cln::TPeerHandle raw = a.Handle(u"raw");
  WriteFile("src", RandomBytes(100'000, 8));
  auto seen = [&](int32_t channel) { return r.Seen(1000 + channel); };
  auto waitSeen = [&](int32_t channel, size_t n) { return rig.h.Run([&] { return seen(channel) >= n; }); };
  auto ackData = [&] { r.raw.SendRouted(-(1000 + cln::APP_FILE_DATA), {}, r.to); };

  ASSERT_TRUE(a->RequestOutFile(raw, u"src"));
  ASSERT_TRUE(waitSeen(cln::APP_FILE_OFFER, 1));
  r.Send(cln::APP_FILE_ACCEPT, Int64(0));
  r.Send(cln::APP_FILE_ACCEPT, Int64(0));
  ASSERT_TRUE(waitSeen(cln::APP_FILE_START, 1));
  r.Send(cln::APP_FILE_READY);
  r.Send(cln::APP_FILE_READY);
  ASSERT_TRUE(waitSeen(cln::APP_FILE_DATA, 1));
  ASSERT_TRUE(rig.h.Settle());
  EXPECT_EQ(seen(cln::APP_FILE_START), 1u);
  EXPECT_EQ(seen(cln::APP_FILE_DATA), 1u);

  // Cancelled with its chunk unacknowledged; the next transfer's first chunk
  // goes out, then the old acknowledgement comes.
  ASSERT_TRUE(a->CancelOutFile(raw));
  ASSERT_TRUE(a->RequestOutFile(raw, u"src"));
  ASSERT_TRUE(waitSeen(cln::APP_FILE_OFFER, 2));
  r.Send(cln::APP_FILE_ACCEPT, Int64(0));
  ASSERT_TRUE(waitSeen(cln::APP_FILE_START, 2));
  r.Send(cln::APP_FILE_READY);
  ASSERT_TRUE(waitSeen(cln::APP_FILE_DATA, 2));
  ackData();
  ASSERT_TRUE(rig.h.Settle());
  EXPECT_EQ(seen(cln::APP_FILE_DATA), 2u);
  ackData();
  ASSERT_TRUE(waitSeen(cln::APP_FILE_DATA, 3));
  r.Send(cln::APP_FILE_END, IntToField(cln::errCancelled));
  ASSERT_TRUE(rig.h.Run([&] { return a.Count("outdone raw 1") == 2; }));
}

// A name that is not a plain file name, or that would pass for a temporary
// file, is refused with 23 before the container sees it, so a container may
// join the name it is shown to a folder. A kept name is only a file name in
// the current folder (a backslash ends a folder there).
TEST(FileProtocol, OfferedNamesNeverChooseAPlace) {
  TRig rig(1);
  TClient& c = rig[0];
  TRawPeer s(rig);
  const std::string suffix = win32::Utf16ToUtf8(cln::kDefaultTransferSuffix);
  struct Case {
    std::u16string offered;
    const char* shown;   // what the container sees; nullptr: it is never asked
    const char* stored;  // nullptr: refused
  };
  const Case cases[] = {
      {u"  \\dir\\a.txt", "dir\\a.txt", "a.txt"},
      {u"\\\\srv\\share\\x", "\\srv\\share\\x", "x"},
      {u"..x", "..x", "..x"},
      {u"../x", nullptr, nullptr},
      {u"../../etc/passwd", nullptr, nullptr},
      {u"/etc/x", nullptr, nullptr},
      {u"..", nullptr, nullptr},
      {u" . ", nullptr, nullptr},
      {u"dir/.", nullptr, nullptr},
      {u"dir/", nullptr, nullptr},
      {u"\t", nullptr, nullptr},
      {std::u16string(u"a\0b", 3), nullptr, nullptr},
      {u"doc.txt" + std::u16string(cln::kDefaultTransferSuffix), nullptr, nullptr},
      {u"x\\..", "x\\..", nullptr},  // a kept name whose last part is ".."
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(win32::Utf16ToUtf8(k.offered));
    c.log.clear();
    const size_t accepts = s.Seen(1000 + cln::APP_FILE_ACCEPT);
    const size_t ends = s.EndCodes().size();
    s.Offer(k.offered, 3);
    if (k.shown) {
      EXPECT_EQ(c.log, std::vector<std::string>{std::string("offered ") + k.shown});
    } else {
      EXPECT_EQ(c.Count("offered"), 0u);
    }
    if (!k.stored) {
      ASSERT_EQ(s.EndCodes().size(), ends + 1);
      EXPECT_EQ(s.EndCodes().back(), cln::errDeclined);
      EXPECT_TRUE(rig.dir.Names().empty());
      continue;
    }
    ASSERT_EQ(s.Seen(1000 + cln::APP_FILE_ACCEPT), accepts + 1);
    EXPECT_EQ(rig.dir.Names(), std::vector<std::string>{k.stored + suffix});
    s.SendAndWait(cln::APP_FILE_CANCEL, IntToField(1));
    EXPECT_TRUE(c.Saw("indone raw 1"));
    EXPECT_TRUE(rig.dir.Names().empty());
  }
}

// A symbolic link at the destination is replaced, never written through; one
// at the temporary file's place makes the creation fail.
TEST(FileProtocol, SymbolicLinksAreNeverFollowed) {
  TRig rig(2);
  TClient& a = rig[0];
  const std::string suffix = win32::Utf16ToUtf8(cln::kDefaultTransferSuffix);
  WriteFile("victim", "untouched");
  WriteFile("src", "new contents");
  fs::create_symlink("victim", "dst");
  rig.watch[1].decide = [](std::u16string& path, bool& ok) {
    path = u"dst";
    ok = true;
  };
  ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"src"));
  ASSERT_TRUE(rig.WaitFor(a, "outdone c1 0"));
  EXPECT_FALSE(fs::is_symlink("dst"));
  EXPECT_EQ(ReadFile("dst"), "new contents");
  EXPECT_EQ(ReadFile("victim"), "untouched");

  fs::create_symlink("victim", "dst" + suffix);
  ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"src"));
  ASSERT_TRUE(rig.WaitFor(a, "outdone c1 106"));
  EXPECT_EQ(ReadFile("victim"), "untouched");
  EXPECT_EQ(ReadFile("dst"), "new contents");
}

// --- Progress ---------------------------------------------------------------------------------

// On a frozen test clock each transfer reports at most once; the last report
// is remembered from one transfer to the next. The third transfer starts at
// tick 0, which must not make it look inactive.
TEST(FileProgress, ReportsAtMostEveryHalfSecondAcrossTransfers) {
  constexpr win32::DWORD kStart = 0u - 500u;
  TRig rig(2, {.manualClock = true, .startTick = kStart});
  TClient& a = rig[0];
  TClient& b = rig[1];
  const std::string data = RandomBytes(300'000, 4);
  WriteFile("p", data);
  ReceiveInto(rig.watch[1], u"in");
  struct Step {
    win32::DWORD tick;
    size_t reports;  // on each side, after the transfer
  };
  const Step steps[] = {{kStart, 1}, {kStart + 499, 1}, {0, 2}};
  for (const Step& k : steps) {
    SCOPED_TRACE(k.tick);
    rig.h.Clock().Set(k.tick);
    const size_t done = a.Count("outdone c1 0");
    ASSERT_TRUE(a->RequestOutFile(a.Handle(u"c1"), u"p"));
    ASSERT_TRUE(rig.h.Run([&] { return a.Count("outdone c1 0") == done + 1; }, 20000));
    EXPECT_EQ(a.Count("outprogress"), k.reports);
    EXPECT_EQ(b.Count("inprogress"), k.reports);
    EXPECT_TRUE(ReadFile("in/p") == data);
  }
  // The first report of a transfer counts its first chunk against the whole.
  const std::string first = a.log[std::find_if(a.log.begin(), a.log.end(),
                                               [](auto& l) { return l.rfind("outprogress", 0) == 0; }) -
                                  a.log.begin()];
  EXPECT_NE(first.find(" 0 300000 0"), std::string::npos) << first;
}

// --- Two peers against one receiver -----------------------------------------------------------

// While honest sends doc.txt, a hostile peer tries every way to put its
// bytes under the honest transfer's names: a name that passes for the
// temporary file, a destination the container maps onto that file (spelt
// another way too), and the same destination. Each is refused before it
// creates a file; the honest transfer ends with 0 and its own bytes.
TEST(FileRivals, AnotherPeerCannotReachATransfersFiles) {
  TRig rig(1);
  TClient& c = rig[0];
  TRawPeer honest(rig, u"honest");
  TRawPeer hostile(rig, u"hostile");
  const std::u16string suffix = cln::kDefaultTransferSuffix;
  // The container keeps files in "in", and maps a few names to paths of its
  // own choice (as a container that keeps a table of names might).
  const std::map<std::u16string, std::u16string> mapped = {
      {u"evil1", u"in/doc.txt" + suffix},
      {u"evil2", u"./in/../in/doc.txt" + suffix},
      {u"evil3", u"in/doc.txt"},
  };
  rig.watch[0].decide = [&](std::u16string& path, bool& okay) {
    okay = true;
    path = mapped.count(path) ? mapped.at(path) : u"in/" + path;
  };
  const std::string good = "honest bytes";
  honest.Offer(u"doc.txt", static_cast<int64_t>(good.size()));
  ASSERT_EQ(honest.Seen(1000 + cln::APP_FILE_ACCEPT), 1u);
  honest.SendAndWait(cln::APP_FILE_START, Int64(0));

  struct Case {
    std::u16string name;
    int32_t code;
  };
  const Case cases[] = {
      {u"doc.txt" + suffix, cln::errDeclined},
      {u"evil1", cln::errCreateFailed},
      {u"evil2", cln::errCreateFailed},
      {u"doc.txt", cln::errCreateFailed},
      {u"evil3", cln::errCreateFailed},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(win32::Utf16ToUtf8(k.name));
    const size_t ends = hostile.EndCodes().size();
    hostile.Offer(k.name, 7);
    if (hostile.Seen(1000 + cln::APP_FILE_ACCEPT) > 0) {
      hostile.Deliver("hostile");  // what an accepted offer would do
    }
    ASSERT_EQ(hostile.EndCodes().size(), ends + 1);
    EXPECT_EQ(hostile.EndCodes().back(), k.code);
    EXPECT_EQ(hostile.Seen(1000 + cln::APP_FILE_ACCEPT), 0u);
  }
  honest.SendAndWait(cln::APP_FILE_DATA, honest.Data({good}));
  honest.SendAndWait(cln::APP_FILE_DONE, Crc(good));
  ASSERT_TRUE(rig.WaitFor(c, "indone honest 0"));
  EXPECT_EQ(c.Count("indone hostile"), 0u);
  EXPECT_EQ(ReadFile("in/doc.txt"), good);
  EXPECT_EQ(rig.dir.Names(), (std::vector<std::string>{"in", "in/doc.txt"}));
}

// --- A cancel while the container decides -----------------------------------------------------

// The sender cancels while the container is still asked: the offer ends
// there with END [1]; the container's late yes creates and fires nothing,
// and the peer's next offer is not busy. One that comes while the first is
// still being decided gets its own answer.
TEST(FileCancelWhileDeciding, TheCancelEndsTheOffer) {
  TRig rig(1);
  TClient& c = rig[0];
  TRawPeer s(rig);
  const int32_t cancelAck = -(1000 + cln::APP_FILE_CANCEL);
  std::function<void()> whileDeciding;
  int asked = 0;
  rig.watch[0].decide = [&](std::u16string& path, bool& okay) {
    if (++asked == 1 && whileDeciding) whileDeciding();
    path = u"in/" + path;
    okay = true;
  };
  // Answers as the peer saw them, sorted: "accept" or "end <code>".
  auto answers = [&] {
    std::vector<std::string> seen;
    for (const auto& b : s.raw.bonds) {
      if (b.code == 1000 + cln::APP_FILE_ACCEPT) seen.push_back("accept");
      if (b.code == 1000 + cln::APP_FILE_END) {
        std::string body = b.body;
        seen.push_back("end " + std::to_string(ReadIntField(body)));
      }
    }
    std::sort(seen.begin(), seen.end());
    return seen;
  };

  // The cancel is sent, and processed, while the container is asked.
  whileDeciding = [&] {
    s.Send(cln::APP_FILE_CANCEL, IntToField(1), true);
    rig.h.Run([&] { return s.Seen(cancelAck) == 1; });
  };
  s.Offer(u"a.txt", 3);
  ASSERT_EQ(asked, 1);
  ASSERT_EQ(s.Seen(cancelAck), 1u);
  s.SendAndWait(cln::APP_FILE_START, Int64(0));  // a step after the event
  EXPECT_EQ(answers(), std::vector<std::string>{"end 1"});
  EXPECT_TRUE(rig.dir.Names().empty());
  EXPECT_EQ(c.Count("indone"), 0u);

  // The next offer comes after the cancel, while the first is still being
  // decided: answered on its own, and it is the one that runs.
  asked = 0;
  s.raw.bonds.clear();
  whileDeciding = [&] {
    s.Send(cln::APP_FILE_CANCEL, IntToField(1));
    rig.h.Run([&] { return answers().size() == 1; });
    s.Send(cln::APP_FILE_OFFER, TRawPeer::OfferBody(u"c.txt", 3));
    rig.h.Run([&] { return asked == 2; });
  };
  s.Offer(u"b.txt", 3);
  ASSERT_EQ(asked, 2);
  s.SendAndWait(cln::APP_FILE_START, Int64(0));
  EXPECT_EQ(answers(), (std::vector<std::string>{"accept", "end 1"}));
  s.SendAndWait(cln::APP_FILE_DATA, s.Data({"abc"}));
  s.SendAndWait(cln::APP_FILE_DONE, Crc("abc"));
  ASSERT_TRUE(rig.WaitFor(c, "indone raw 0"));
  EXPECT_EQ(c.Count("indone"), 1u);
  EXPECT_EQ(ReadFile("in/c.txt"), "abc");
  EXPECT_EQ(rig.dir.Names(), (std::vector<std::string>{"in", "in/c.txt"}));
}

// The sender's side: an answer to an offer given up before it came is that
// offer's, never the next one's, whichever code it has. The next offer
// waits for it; a late END leaves the next offer running, and a late ACCEPT
// is cancelled, so the receiver holds no transfer that nothing feeds, before
// the next offer goes out.
TEST(FileCancelWhileDeciding, ALateAnswerNeverEndsTheNextOffer) {
  TRig rig(1);
  TClient& a = rig[0];
  TRawPeer r(rig);
  const cln::TPeerHandle raw = a.Handle(u"raw");
  WriteFile("src", "abc");
  auto seen = [&](int32_t channel) { return r.Seen(1000 + channel); };
  auto waitSeen = [&](int32_t channel, size_t n) { return rig.h.Run([&] { return seen(channel) >= n; }); };

  for (const int32_t late : {cln::APP_FILE_END, cln::APP_FILE_ACCEPT}) {
    SCOPED_TRACE(late);
    const size_t offers = seen(cln::APP_FILE_OFFER), cancels = seen(cln::APP_FILE_CANCEL);
    const size_t starts = seen(cln::APP_FILE_START), done = a.Count("outdone");
    ASSERT_TRUE(a->RequestOutFile(raw, u"src"));
    ASSERT_TRUE(a->CancelOutFile(raw));
    ASSERT_TRUE(a->RequestOutFile(raw, u"src"));
    ASSERT_TRUE(waitSeen(cln::APP_FILE_CANCEL, cancels + 1));
    r.SendAndWait(cln::APP_FILE_READY, {});  // out of turn, ignored: a step, the next offer held back
    EXPECT_EQ(seen(cln::APP_FILE_OFFER), offers + 1);
    r.SendAndWait(late, late == cln::APP_FILE_END ? IntToField(cln::errCancelled) : Int64(0));
    if (late == cln::APP_FILE_ACCEPT) {
      // The accept is cancelled; the next offer waits until that cancel was
      // taken (acknowledged).
      ASSERT_TRUE(waitSeen(cln::APP_FILE_CANCEL, cancels + 2));
      auto last = std::find_if(r.raw.bonds.rbegin(), r.raw.bonds.rend(),
                               [](const auto& b) { return b.code == 1000 + cln::APP_FILE_CANCEL; });
      EXPECT_TRUE(last->ackWanted);
      r.SendAndWait(cln::APP_FILE_READY, {});
      EXPECT_EQ(seen(cln::APP_FILE_OFFER), offers + 1);
      r.raw.SendRouted(-(1000 + cln::APP_FILE_CANCEL), {}, r.to);
    }
    ASSERT_TRUE(waitSeen(cln::APP_FILE_OFFER, offers + 2));
    EXPECT_EQ(a.Count("outdone"), done + 1);
    EXPECT_EQ(seen(cln::APP_FILE_START), starts);
    EXPECT_EQ(seen(cln::APP_FILE_CANCEL), cancels + (late == cln::APP_FILE_ACCEPT ? 2u : 1u));
    EXPECT_EQ(a->GetOutgoingFile(raw), u"src");
    r.SendAndWait(cln::APP_FILE_ACCEPT, Int64(0));
    ASSERT_TRUE(waitSeen(cln::APP_FILE_START, starts + 1));
    r.SendAndWait(cln::APP_FILE_END, IntToField(errNone));
    ASSERT_TRUE(rig.h.Run([&] { return a.Count("outdone raw 0") == (late == cln::APP_FILE_END ? 1u : 2u); }));
  }

  // Given up with nothing after it: its late accept is cancelled.
  ASSERT_TRUE(a->RequestOutFile(raw, u"src"));
  ASSERT_TRUE(a->CancelOutFile(raw));
  const size_t cancels = seen(cln::APP_FILE_CANCEL);
  r.SendAndWait(cln::APP_FILE_ACCEPT, Int64(0));
  ASSERT_TRUE(waitSeen(cln::APP_FILE_CANCEL, cancels + 1));
  EXPECT_EQ(seen(cln::APP_FILE_START), 2u);
}
