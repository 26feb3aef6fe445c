// The file unit alone on a fake host, against a peer that sends file
// messages by hand, in a fresh work folder: messages out of turn and lies
// about sizes and CRCs, one chunk in flight whatever the peer repeats, and a
// cancel that crosses an offer or its answer. Each step runs to its end in
// the call, so what did not happen is known at once. Transfers between real
// engines are in mFiles_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "client/mFiles.h"
#include "file_fixtures.h"
#include "platform/win32/text.h"
#include "transport/twTools.h"
#include "unit_host_fake.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;

namespace {

// A file unit on a fake host with one connected peer "raw"; the container's
// file events go to `log` as "offered <name>", "indone raw <code>" and
// "outdone raw <code>".
class FileUnitRig {
 public:
  FileUnitRig() : host(media), unit(host) {
    raw = host.AddPeer(u"raw").Handle;
    cln::TParleyClnEvents& ev = host.events;
    ev.OnInFileRequested = [this](cln::TPeerHandle, std::u16string& path, bool& okay) {
      log.push_back("offered " + win32::Utf16ToUtf8(path));
      decide(path, okay);
    };
    ev.OnOutFileDone = [this](cln::TPeerHandle, int32_t code) { log.push_back("outdone raw " + std::to_string(code)); };
    ev.OnInFileDone = [this](cln::TPeerHandle, int32_t code) { log.push_back("indone raw " + std::to_string(code)); };
  }
  // As the engine going away: files closed, temporary files removed.
  ~FileUnitRig() { unit.Release(Peer()); }

  cln::TPeer& Peer() { return host.Peer(raw); }
  // The peer sends `channel` to the unit.
  void Say(int32_t channel, std::string body = {}) { unit.DoMessage(Peer(), channel, body); }
  void Offer(std::u16string_view name, int64_t size) { Say(cln::APP_FILE_OFFER, OfferBody(name, size)); }
  // The session layer hands over the acknowledgement of a `channel` message.
  void Ack(int32_t channel) { unit.DoAck(Peer(), channel); }
  static std::string OfferBody(std::u16string_view name, int64_t size) {
    std::string body;
    PutWideField(body, name);
    PutInt64Field(body, size);
    return body;
  }
  static std::string Data(std::initializer_list<std::string_view> chunks) {
    std::string body;
    for (auto c : chunks) PutStrField(body, c);
    return body;
  }

  size_t Seen(int32_t channel) const { return host.Count(raw, channel); }
  std::vector<int32_t> EndCodes() const {
    std::vector<int32_t> codes;
    for (const auto& s : host.sent)
      if (s.channel == cln::APP_FILE_END) {
        std::string body = s.body;
        codes.push_back(ReadIntField(body));
      }
    return codes;
  }
  size_t Count(const std::string& prefix) const {
    return static_cast<size_t>(
        std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
  bool Saw(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }

  TWorkFolder dir;  // first in, last out: the unit's files are gone before it
  TMediaLog media;
  TFakeUnitHost host;
  cln::TFileUnit unit;
  cln::TPeerHandle raw = 0;
  std::vector<std::string> log;
  std::function<void(std::u16string& path, bool& okay)> decide = [](std::u16string&, bool& okay) { okay = true; };
};

}  // namespace

// --- A peer that does not follow the exchange ------------------------------------------------

TEST(FileProtocol, MessagesOutOfTurnAreIgnoredAndOnlyAWholeMatchingFileCompletes) {
  FileUnitRig s;

  // No file has a negative size: declined without asking the container.
  s.Offer(u"negative", -1);
  EXPECT_EQ(s.EndCodes(), std::vector<int32_t>{cln::errDeclined});
  EXPECT_EQ(s.Count("offered"), 0u);
  s.host.sent.clear();
  // Accepted; data and done before the start change nothing.
  s.Offer(u"r.bin", 6);
  ASSERT_EQ(s.Seen(cln::APP_FILE_ACCEPT), 1u);
  s.Say(cln::APP_FILE_DATA, s.Data({"early!"}));
  s.Say(cln::APP_FILE_DONE, Crc("early!"));
  EXPECT_EQ(s.Count("indone"), 0u);
  // A second offer while one is active is busy.
  s.Offer(u"other", 1);
  EXPECT_EQ(s.EndCodes(), std::vector<int32_t>{cln::errBusy});
  // One ready for a repeated start; bytes past the offered size are never
  // written, so the file is whole and its CRC matches.
  s.Say(cln::APP_FILE_START, Int64(0));
  s.Say(cln::APP_FILE_START, Int64(0));
  EXPECT_EQ(s.Seen(cln::APP_FILE_READY), 1u);
  s.Say(cln::APP_FILE_DATA, s.Data({"abcd", "efXYZ", "more"}));
  s.Say(cln::APP_FILE_DONE, Crc("abcdef"));
  ASSERT_TRUE(s.Saw("indone raw 0"));
  EXPECT_EQ(ReadFile("r.bin"), "abcdef");
  EXPECT_EQ(s.EndCodes(), (std::vector<int32_t>{cln::errBusy, errNone}));
  // A late done after the end changes nothing.
  s.Say(cln::APP_FILE_DONE, Crc("abcdef"));
  EXPECT_EQ(s.Count("indone"), 1u);

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
    s.log.clear();
    WriteFile("r.bin", "kept");
    s.Offer(u"r.bin", k.size);
    s.Say(cln::APP_FILE_START, Int64(0));
    s.Say(cln::APP_FILE_DATA, s.Data({k.data}));
    s.Say(k.cancel ? cln::APP_FILE_CANCEL : cln::APP_FILE_DONE, k.crc);
    ASSERT_TRUE(s.Saw("indone raw " + std::to_string(k.code)));
    EXPECT_EQ(ReadFile("r.bin"), "kept");
    EXPECT_FALSE(HasTemporaryFile(s.dir));
  }
}

// The sender keeps one chunk in flight: repeated answers release nothing,
// and the acknowledgement of a cancelled transfer's chunk does not release a
// chunk of the next transfer to the same peer.
TEST(FileProtocol, OneChunkIsInFlightWhateverThePeerRepeats) {
  FileUnitRig r;
  WriteFile("src", RandomBytes(100'000, 8));

  ASSERT_EQ(r.unit.RequestOutFile(r.Peer(), u"src"), errNone);
  ASSERT_EQ(r.Seen(cln::APP_FILE_OFFER), 1u);
  r.Say(cln::APP_FILE_ACCEPT, Int64(0));
  r.Say(cln::APP_FILE_ACCEPT, Int64(0));
  ASSERT_GE(r.Seen(cln::APP_FILE_START), 1u);
  r.Say(cln::APP_FILE_READY);
  r.Say(cln::APP_FILE_READY);
  ASSERT_GE(r.Seen(cln::APP_FILE_DATA), 1u);
  EXPECT_EQ(r.Seen(cln::APP_FILE_START), 1u);
  EXPECT_EQ(r.Seen(cln::APP_FILE_DATA), 1u);

  // Cancelled with its chunk unacknowledged; the next transfer's first chunk
  // goes out, then the old acknowledgement comes.
  ASSERT_EQ(r.unit.CancelOutFile(r.Peer()), errNone);
  ASSERT_EQ(r.unit.RequestOutFile(r.Peer(), u"src"), errNone);
  ASSERT_EQ(r.Seen(cln::APP_FILE_OFFER), 2u);
  r.Say(cln::APP_FILE_ACCEPT, Int64(0));
  ASSERT_EQ(r.Seen(cln::APP_FILE_START), 2u);
  r.Say(cln::APP_FILE_READY);
  ASSERT_EQ(r.Seen(cln::APP_FILE_DATA), 2u);
  r.Ack(cln::APP_FILE_DATA);
  EXPECT_EQ(r.Seen(cln::APP_FILE_DATA), 2u);
  r.Ack(cln::APP_FILE_DATA);
  ASSERT_EQ(r.Seen(cln::APP_FILE_DATA), 3u);
  r.Say(cln::APP_FILE_END, IntToField(cln::errCancelled));
  EXPECT_EQ(r.Count("outdone raw 1"), 2u);
}

// --- A cancel while the container decides -----------------------------------------------------

// The sender cancels while the container is still asked: the offer ends
// there with END [1]; the container's late yes creates and fires nothing,
// and the peer's next offer is not busy. One that comes while the first is
// still being decided gets its own answer.
TEST(FileCancelWhileDeciding, TheCancelEndsTheOffer) {
  FileUnitRig s;
  std::function<void()> whileDeciding;
  int asked = 0;
  s.decide = [&](std::u16string& path, bool& okay) {
    if (++asked == 1 && whileDeciding) whileDeciding();
    path = u"in/" + path;
    okay = true;
  };
  // Answers as the peer saw them, sorted: "accept" or "end <code>".
  auto answers = [&] {
    std::vector<std::string> seen;
    for (const std::string& line : s.host.Heard(s.raw)) {
      if (line == std::to_string(cln::APP_FILE_ACCEPT) + " 0") seen.push_back("accept");
      if (line.rfind(std::to_string(cln::APP_FILE_END) + " ", 0) == 0) seen.push_back("end " + line.substr(4));
    }
    std::sort(seen.begin(), seen.end());
    return seen;
  };

  // The cancel comes, and is processed, while the container is asked.
  bool cancelTaken = false;
  whileDeciding = [&] {
    s.Say(cln::APP_FILE_CANCEL, IntToField(1));
    cancelTaken = true;
  };
  s.Offer(u"a.txt", 3);
  ASSERT_EQ(asked, 1);
  ASSERT_TRUE(cancelTaken);
  s.Say(cln::APP_FILE_START, Int64(0));  // a step after the event
  EXPECT_EQ(answers(), std::vector<std::string>{"end 1"});
  EXPECT_TRUE(s.dir.Names().empty());
  EXPECT_EQ(s.Count("indone"), 0u);

  // The next offer comes after the cancel, while the first is still being
  // decided: answered on its own, and it is the one that runs.
  asked = 0;
  s.host.sent.clear();
  whileDeciding = [&] {
    s.Say(cln::APP_FILE_CANCEL, IntToField(1));
    EXPECT_EQ(answers().size(), 1u);
    s.Say(cln::APP_FILE_OFFER, FileUnitRig::OfferBody(u"c.txt", 3));
    EXPECT_EQ(asked, 2);
  };
  s.Offer(u"b.txt", 3);
  ASSERT_EQ(asked, 2);
  s.Say(cln::APP_FILE_START, Int64(0));
  EXPECT_EQ(answers(), (std::vector<std::string>{"accept", "end 1"}));
  s.Say(cln::APP_FILE_DATA, s.Data({"abc"}));
  s.Say(cln::APP_FILE_DONE, Crc("abc"));
  ASSERT_TRUE(s.Saw("indone raw 0"));
  EXPECT_EQ(s.Count("indone"), 1u);
  EXPECT_EQ(ReadFile("in/c.txt"), "abc");
  EXPECT_EQ(s.dir.Names(), (std::vector<std::string>{"in", "in/c.txt"}));
}

// The sender's side: an answer to an offer given up before it came is that
// offer's, never the next one's, whichever code it has. The next offer
// waits for it; a late END leaves the next offer running, and a late ACCEPT
// is cancelled, so the receiver holds no transfer that nothing feeds, before
// the next offer goes out.
TEST(FileCancelWhileDeciding, ALateAnswerNeverEndsTheNextOffer) {
  FileUnitRig r;
  WriteFile("src", "abc");
  auto seen = [&](int32_t channel) { return r.Seen(channel); };

  for (const int32_t late : {cln::APP_FILE_END, cln::APP_FILE_ACCEPT}) {
    SCOPED_TRACE(late);
    const size_t offers = seen(cln::APP_FILE_OFFER), cancels = seen(cln::APP_FILE_CANCEL);
    const size_t starts = seen(cln::APP_FILE_START), done = r.Count("outdone");
    ASSERT_EQ(r.unit.RequestOutFile(r.Peer(), u"src"), errNone);
    ASSERT_EQ(r.unit.CancelOutFile(r.Peer()), errNone);
    ASSERT_EQ(r.unit.RequestOutFile(r.Peer(), u"src"), errNone);
    ASSERT_EQ(seen(cln::APP_FILE_CANCEL), cancels + 1);
    r.Say(cln::APP_FILE_READY);  // out of turn, ignored: the next offer held back
    EXPECT_EQ(seen(cln::APP_FILE_OFFER), offers + 1);
    r.Say(late, late == cln::APP_FILE_END ? IntToField(cln::errCancelled) : Int64(0));
    if (late == cln::APP_FILE_ACCEPT) {
      // The accept is cancelled; the next offer waits until that cancel was
      // taken (acknowledged).
      ASSERT_EQ(seen(cln::APP_FILE_CANCEL), cancels + 2);
      auto last = std::find_if(r.host.sent.rbegin(), r.host.sent.rend(),
                               [](const auto& m) { return m.channel == cln::APP_FILE_CANCEL; });
      EXPECT_TRUE(last->ack);
      r.Say(cln::APP_FILE_READY);
      EXPECT_EQ(seen(cln::APP_FILE_OFFER), offers + 1);
      r.Ack(cln::APP_FILE_CANCEL);
    }
    ASSERT_EQ(seen(cln::APP_FILE_OFFER), offers + 2);
    EXPECT_EQ(r.Count("outdone"), done + 1);
    EXPECT_EQ(seen(cln::APP_FILE_START), starts);
    EXPECT_EQ(seen(cln::APP_FILE_CANCEL), cancels + (late == cln::APP_FILE_ACCEPT ? 2u : 1u));
    EXPECT_EQ(r.unit.GetOutgoingFile(r.Peer()), u"src");
    r.Say(cln::APP_FILE_ACCEPT, Int64(0));
    ASSERT_EQ(seen(cln::APP_FILE_START), starts + 1);
    r.Say(cln::APP_FILE_END, IntToField(errNone));
    EXPECT_EQ(r.Count("outdone raw 0"), late == cln::APP_FILE_END ? 1u : 2u);
  }

  // Given up with nothing after it: its late accept is cancelled.
  ASSERT_EQ(r.unit.RequestOutFile(r.Peer(), u"src"), errNone);
  ASSERT_EQ(r.unit.CancelOutFile(r.Peer()), errNone);
  const size_t cancels = seen(cln::APP_FILE_CANCEL);
  r.Say(cln::APP_FILE_ACCEPT, Int64(0));
  ASSERT_EQ(seen(cln::APP_FILE_CANCEL), cancels + 1);
  EXPECT_EQ(seen(cln::APP_FILE_START), 2u);
}
