#include "platform/files/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace tw::files {
namespace {

namespace fs = std::filesystem;

// A fresh folder for one test, removed with its contents afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "twfiles-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string At(const std::string& name) const { return dir_ + name; }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(At(name), std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(At(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

using Names = std::vector<std::string>;

TEST_F(FilesTest, SizesOffsetsAndReadsGoPastFourGiB) {
  constexpr int64_t kFiveGiB = int64_t{5} << 30;
  {
    TFile file;
    ASSERT_TRUE(file.Create(At("sparse")));
    ASSERT_TRUE(file.Seek(kFiveGiB));  // a hole: the test stays fast and small on disk
    ASSERT_TRUE(file.Write("xyz"));
    ASSERT_TRUE(file.Close());
  }
  TFile file;
  ASSERT_TRUE(file.OpenForReading(At("sparse")));
  int64_t size = 0;
  ASSERT_TRUE(file.Size(size));
  EXPECT_EQ(size, kFiveGiB + 3);
  ASSERT_TRUE(file.Seek(kFiveGiB - 1));
  char buffer[8] = {};
  size_t done = 0;
  ASSERT_TRUE(file.Read(buffer, sizeof buffer, done));  // stops only at the end
  EXPECT_EQ(std::string(buffer, done), std::string("\0xyz", 4));
  ASSERT_TRUE(file.Read(buffer, sizeof buffer, done));
  EXPECT_EQ(done, 0u);
}

TEST_F(FilesTest, AnExclusiveHandleKeepsEveryOtherOpenerOutUntilItCloses) {
  Put("a.bin", "contents");
  TFile first;
  ASSERT_TRUE(first.OpenForReading(At("a.bin")));

  TFile other;
  TFileResult refused = other.OpenForReading(At("a.bin"));
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.Code, EBUSY);
  EXPECT_NE(refused.Error.find("a.bin"), std::string::npos) << refused.Error;
  EXPECT_EQ(other.OpenForReading(At("a.bin"), Sharing::SharedRead).Code, EBUSY);
  EXPECT_EQ(other.Create(At("a.bin")).Code, EBUSY);
  EXPECT_EQ(Get("a.bin"), "contents");  // a refused create empties nothing
  EXPECT_FALSE(other.IsOpen());

  ASSERT_TRUE(first.Close());
  EXPECT_TRUE(other.OpenForReading(At("a.bin")));
}

TEST_F(FilesTest, SharedReadersLetEachOtherInButNotAnExclusiveOpener) {
  Put("a.ini", "x");
  TFile one, two, writer;
  ASSERT_TRUE(one.OpenForReading(At("a.ini"), Sharing::SharedRead));
  ASSERT_TRUE(two.OpenForReading(At("a.ini"), Sharing::SharedRead));
  EXPECT_EQ(writer.Create(At("a.ini")).Code, EBUSY);
}

TEST_F(FilesTest, HandlesMoveAndCloseWhatTheyReplace) {
  Put("a", "1");
  Put("b", "2");
  TFile a;
  ASSERT_TRUE(a.OpenForReading(At("a")));
  TFile moved(std::move(a));
  EXPECT_FALSE(a.IsOpen());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_EQ(moved.Path(), At("a"));

  TFile b;
  ASSERT_TRUE(b.OpenForReading(At("b")));
  moved = std::move(b);  // closes "a"
  TFile probe;
  EXPECT_TRUE(probe.OpenForReading(At("a")));
  EXPECT_EQ(probe.OpenForReading(At("b")).Code, EBUSY);  // "b" lives on in `moved`
  ASSERT_TRUE(moved.OpenForReading(At("a")));  // reopening closes "b" first
  EXPECT_FALSE(probe.IsOpen());
  EXPECT_TRUE(probe.OpenForReading(At("b")));
}

TEST_F(FilesTest, CreateEmptiesAFileButNeverFollowsALinkAtItsPlace) {
  Put("old", "old contents");
  TFile file;
  ASSERT_TRUE(file.Create(At("old")));
  ASSERT_TRUE(file.Write("new"));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(Get("old"), "new");

  Put("target", "precious");
  fs::create_symlink(At("target"), At("link"));
  fs::create_symlink(At("nowhere"), At("dangling"));
  EXPECT_EQ(file.Create(At("link")).Code, ELOOP);
  EXPECT_EQ(file.Create(At("dangling")).Code, ELOOP);
  EXPECT_EQ(Get("target"), "precious");
  EXPECT_FALSE(fs::exists(At("nowhere")));
}

// A fresh file is always a new inode: a leftover's other names keep their
// contents, one in use or a link at the place is refused and left alone.
TEST_F(FilesTest, CreateFreshTakesANewFileAndNeverWritesALeftover) {
  TFile file;
  ASSERT_TRUE(file.CreateFresh(At("new")));
  const TFileId first = file.Id();
  ASSERT_TRUE(file.Write("one"));
  ASSERT_TRUE(file.Close());

  // A leftover with a second name (a hard link): removed, not emptied.
  ASSERT_EQ(::link(At("new").c_str(), At("other name").c_str()), 0);
  ASSERT_TRUE(file.CreateFresh(At("new")));
  EXPECT_NE(file.Id(), first);
  ASSERT_TRUE(file.Write("two"));
  TFileId id;
  ASSERT_TRUE(IdOf(At("new"), id));
  EXPECT_EQ(id, file.Id());

  // Held by a handle (this one): refused, contents kept.
  TFile second;
  EXPECT_EQ(second.CreateFresh(At("new")).Code, EBUSY);
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(Get("new"), "two");
  EXPECT_EQ(Get("other name"), "one");

  Put("target", "precious");
  fs::create_symlink(At("target"), At("link"));
  EXPECT_EQ(second.CreateFresh(At("link")).Code, ELOOP);
  EXPECT_TRUE(fs::is_symlink(At("link")));
  fs::create_directory(At("folder"));
  EXPECT_EQ(second.CreateFresh(At("folder")).Code, EEXIST);
  EXPECT_EQ(Get("target"), "precious");
  EXPECT_FALSE(second.IsOpen());
}

// A name is removed only while it names the file it was given for.
TEST_F(FilesTest, DeletingByIdLeavesAnotherFileAtTheName) {
  TFile file;
  ASSERT_TRUE(file.CreateFresh(At("t")));
  const TFileId mine = file.Id();
  ASSERT_TRUE(file.Close());
  Put("elsewhere", "theirs");
  ASSERT_TRUE(RenameOver(At("elsewhere"), At("t")));
  EXPECT_TRUE(DeleteFile(At("t"), mine));
  EXPECT_EQ(Get("t"), "theirs");
  TFileId theirs;
  ASSERT_TRUE(IdOf(At("t"), theirs));
  EXPECT_TRUE(DeleteFile(At("t"), theirs));
  EXPECT_EQ(Entries(), Names{});
  EXPECT_TRUE(DeleteFile(At("t"), theirs));  // gone: no error
}

TEST_F(FilesTest, OnlyRegularFilesOpen) {
  ASSERT_EQ(::mkfifo(At("fifo").c_str(), 0600), 0);
  fs::create_directory(At("folder"));
  TFile file;
  EXPECT_EQ(file.OpenForReading(At("fifo")).Code, EINVAL);  // returns at once, no writer needed
  EXPECT_EQ(file.Create(At("fifo")).Code, EINVAL);
  EXPECT_EQ(file.OpenForReading(At("folder")).Code, EISDIR);
  EXPECT_EQ(file.OpenForReading(At("missing")).Code, ENOENT);
}

TEST_F(FilesTest, RenameReplacesTheTargetAndALinkThereIsNotFollowed) {
  Put("new", "new");
  Put("dest", "old");
  ASSERT_TRUE(RenameOver(At("new"), At("dest")));
  EXPECT_EQ(Get("dest"), "new");
  EXPECT_EQ(Entries(), (Names{"dest"}));

  Put("target", "precious");
  fs::create_symlink(At("target"), At("link"));
  Put("new", "data");
  ASSERT_TRUE(RenameOver(At("new"), At("link")));
  EXPECT_FALSE(fs::is_symlink(At("link")));
  EXPECT_EQ(Get("link"), "data");
  EXPECT_EQ(Get("target"), "precious");

  EXPECT_EQ(RenameOver(At("missing"), At("dest")).Code, ENOENT);
}

TEST_F(FilesTest, DeleteTakesFilesAndCallsAMissingFileDone) {
  Put("a", "x");
  EXPECT_TRUE(DeleteFile(At("a")));
  EXPECT_TRUE(DeleteFile(At("a")));
  fs::create_directory(At("folder"));
  EXPECT_FALSE(DeleteFile(At("folder")));
  EXPECT_TRUE(fs::is_directory(At("folder")));
}

TEST_F(FilesTest, FolderChainsAreMadeWhereverTheyAreMissing) {
  ASSERT_TRUE(MakeFolderChain(At("a/b//c/")));
  EXPECT_TRUE(fs::is_directory(At("a/b/c")));
  EXPECT_TRUE(MakeFolderChain(At("a/b/c")));  // already there
  fs::create_directory_symlink(At("a"), At("via"));
  EXPECT_TRUE(MakeFolderChain(At("via/b/d")));
  EXPECT_TRUE(fs::is_directory(At("a/b/d")));

  Put("file", "x");
  EXPECT_EQ(MakeFolderChain(At("file/sub")).Code, ENOTDIR);
  EXPECT_EQ(MakeFolderChain(At("file")).Code, ENOTDIR);
  EXPECT_EQ(FolderOf("a/b/c"), "a/b");
  EXPECT_EQ(FolderOf("c"), ".");
  EXPECT_EQ(FolderOf("/c"), "/");
}

TEST_F(FilesTest, APathWithANulIsRefusedByEveryOperation) {
  Put("a", "x");
  const std::string bad = At(std::string("a\0b", 3));  // the system would see ".../a"
  TFile file;
  std::string made;
  std::string contents;
  bool exists = false;
  const std::vector<std::pair<const char*, std::function<TFileResult()>>> cases = {
      {"open", [&] { return file.OpenForReading(bad); }},
      {"create", [&] { return file.Create(bad); }},
      {"unique", [&] { return file.CreateUnique(bad, 0600, made); }},
      {"delete", [&] { return DeleteFile(bad); }},
      {"rename from", [&] { return RenameOver(bad, At("c")); }},
      {"rename to", [&] { return RenameOver(At("a"), bad); }},
      {"folder", [&] { return MakeFolderChain(bad); }},
      {"read whole", [&] { return ReadWholeFile(bad, contents, exists); }},
      {"save", [&] { return SaveAtomically(bad, "y", 0600); }},
  };
  for (const auto& [name, call] : cases) {
    TFileResult result = call();
    EXPECT_EQ(result.Code, EINVAL) << name;
    EXPECT_EQ(result.Error.find('\0'), std::string::npos) << name;
  }
  EXPECT_EQ(Entries(), (Names{"a"}));
  EXPECT_EQ(Get("a"), "x");
}

TEST_F(FilesTest, WideNamesBecomeUtf8Paths) {
  EXPECT_EQ(PathFromWide(u"Gr\u00fc\u00dfe \u20ac.txt"), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac.txt");
  EXPECT_EQ(PathFromWide(u"\U0001F600"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(PathFromWide(std::u16string(1, char16_t{0xD800})), "\xef\xbf\xbd");  // unpaired surrogate
  TFile file;
  ASSERT_TRUE(file.Create(At(PathFromWide(u"\u00e9t\u00e9"))));
  EXPECT_TRUE(fs::exists(fs::u8path(At("\xc3\xa9t\xc3\xa9"))));
}

TEST_F(FilesTest, ReadWholeFileReadsAnySizeAndCallsAMissingFileEmpty) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  Put("big", big);
  std::string contents = "stale";
  bool exists = false;
  ASSERT_TRUE(ReadWholeFile(At("big"), contents, exists));
  EXPECT_TRUE(exists);
  EXPECT_EQ(contents, big);

  ASSERT_TRUE(ReadWholeFile(At("none"), contents, exists));
  EXPECT_FALSE(exists);
  EXPECT_TRUE(contents.empty());
  fs::create_directory(At("folder"));
  EXPECT_EQ(ReadWholeFile(At("folder"), contents, exists).Code, EISDIR);
}

TEST_F(FilesTest, SaveGivesExactlyTheModeWhateverTheUmask) {
  Put("settings.ini", "old");
  fs::permissions(At("settings.ini"), fs::perms(0644));
  mode_t saved = ::umask(077);
  TFileResult result = SaveAtomically(At("settings.ini"), "new", 0640);
  ::umask(saved);
  ASSERT_TRUE(result) << result.Error;
  EXPECT_EQ(Get("settings.ini"), "new");
  struct stat info {};
  ASSERT_EQ(::stat(At("settings.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(Entries(), (Names{"settings.ini"}));

  TFileResult missing = SaveAtomically(At("none/users.con"), "x", 0600);
  EXPECT_EQ(missing.Code, ENOENT);
  EXPECT_NE(missing.Error.find("none/users.con\""), std::string::npos) << missing.Error;
}

// Whichever step of a save fails, the old file stays whole, no temporary file
// is left, and the reason names the target with the step's error.
TEST_F(FilesTest, ASaveThatFailsAtAnyStepKeepsTheOldFile) {
  struct Case {
    const char* step;
    std::function<ScopedFault()> arm;
    int code;
  };
  const Case cases[] = {
      {"Cannot create", [] { return InjectFault(Op::Create, 1, EACCES); }, EACCES},
      {"Cannot write", [] { return InjectFault(Op::Write, 1, EIO); }, EIO},
      {"Cannot write", [] { return InjectShortWrite(1, 3); }, ENOSPC},
      {"Cannot flush", [] { return InjectFault(Op::Sync, 1, EIO); }, EIO},
      {"Cannot replace", [] { return InjectFault(Op::Rename, 1, EXDEV); }, EXDEV},
  };
  Put("users.con", "[alice]\r\nPswd=secret\r\n");
  for (const Case& c : cases) {
    ScopedFault fault = c.arm();
    TFileResult result = SaveAtomically(At("users.con"), std::string(4096, 'x'), 0600);
    EXPECT_EQ(result.Code, c.code) << c.step;
    EXPECT_EQ(result.Error.rfind(c.step, 0), 0u) << result.Error;
    EXPECT_NE(result.Error.find("users.con\""), std::string::npos) << result.Error;
    EXPECT_EQ(fault.failures(), 1) << c.step;
    EXPECT_EQ(Get("users.con"), "[alice]\r\nPswd=secret\r\n") << c.step;
    EXPECT_EQ(Entries(), (Names{"users.con"})) << c.step;
  }
}

// A file written under a temporary name replaces its target only when the
// whole commit succeeds; a failed one leaves the target as it was and the
// temporary file for the caller to remove.
TEST_F(FilesTest, ACommitReplacesTheTargetOrLeavesItAsItWas) {
  Put("dest.txt", "old");
  for (Op failing : {Op::Sync, Op::Rename}) {
    TFile temp;
    ASSERT_TRUE(temp.Create(At("dest.txt_part")));
    ASSERT_TRUE(temp.Write("new contents"));
    ScopedFault fault = InjectFault(failing, 1, EIO);
    TFileResult result = CommitOver(temp, At("dest.txt"));
    EXPECT_EQ(result.Code, EIO);
    EXPECT_NE(result.Error.find("dest.txt\""), std::string::npos) << result.Error;
    EXPECT_FALSE(temp.IsOpen());
    EXPECT_EQ(Get("dest.txt"), "old");
    EXPECT_EQ(Get("dest.txt_part"), "new contents");
  }
  TFile temp;
  ASSERT_TRUE(temp.Create(At("dest.txt_part")));
  ASSERT_TRUE(temp.Write("new contents"));
  ASSERT_TRUE(CommitOver(temp, At("dest.txt")));
  EXPECT_FALSE(temp.IsOpen());
  EXPECT_EQ(Get("dest.txt"), "new contents");
  EXPECT_EQ(Entries(), (Names{"dest.txt"}));
}

// Something else put at the temporary name is never what the commit moves.
TEST_F(FilesTest, ACommitMovesOnlyTheFileItsHandleWrote) {
  Put("dest.txt", "old");
  TFile temp;
  ASSERT_TRUE(temp.CreateFresh(At("dest.txt_part")));
  ASSERT_TRUE(temp.Write("honest"));
  Put("planted", "hostile");
  ASSERT_TRUE(RenameOver(At("planted"), At("dest.txt_part")));
  TFileResult result = CommitOver(temp, At("dest.txt"));
  EXPECT_EQ(result.Code, ESTALE);
  EXPECT_FALSE(temp.IsOpen());
  EXPECT_EQ(Get("dest.txt"), "old");
  EXPECT_EQ(Get("dest.txt_part"), "hostile");
}

// Each armed operation fails at its nth call with the given error and leaves
// the file system as it was; calls before and after it work.
TEST_F(FilesTest, AFaultFailsExactlyTheNthCallOfItsOperationAndDoesNothing) {
  Put("src", "abcdef");
  struct Case {
    Op op;
    std::function<TFileResult(TFile&)> call;  // on a handle with "src" open for reading
    std::function<void()> unchanged;
  };
  const Case cases[] = {
      {Op::Open, [&](TFile&) { TFile f; return f.OpenForReading(At("src"), Sharing::SharedRead); }, [] {}},
      {Op::Create, [&](TFile&) { TFile f; return f.Create(At("made")); },
       [&] { EXPECT_FALSE(fs::exists(At("made"))); }},
      {Op::Read,
       [&](TFile& f) {
         char b[2];
         size_t done = 9;
         TFileResult r = f.Read(b, 2, done);
         EXPECT_EQ(done, r ? 2u : 0u);
         return r;
       },
       [] {}},
      {Op::Seek, [&](TFile& f) { return f.Seek(1); }, [] {}},
      {Op::Rename, [&](TFile&) { Put("from", "1"); return RenameOver(At("from"), At("to")); },
       [&] { EXPECT_FALSE(fs::exists(At("to"))); }},
      {Op::Delete, [&](TFile&) { Put("gone", "1"); return DeleteFile(At("gone")); },
       [&] { EXPECT_TRUE(fs::exists(At("gone"))); }},
      {Op::MakeFolder, [&](TFile&) { return MakeFolderChain(At("sub/dir")); },
       [&] { EXPECT_FALSE(fs::exists(At("sub"))); }},
      {Op::Sync, [&](TFile&) { return SyncFolder(dir_); }, [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    TFile src;
    ASSERT_TRUE(src.OpenForReading(At("src"), Sharing::SharedRead));
    std::vector<int> failed;
    {
      ScopedFault fault = InjectFault(c.op, 2, EIO);
      for (int i = 1; i <= 3; ++i) {
        TFileResult r = c.call(src);
        if (!r) {
          failed.push_back(i);
          EXPECT_EQ(r.Code, EIO);
          c.unchanged();
        }
        for (const char* made : {"to", "made", "sub"}) fs::remove_all(At(made));
      }
      EXPECT_EQ(fault.failures(), 1);
    }
    EXPECT_EQ(failed, std::vector<int>{2});
    EXPECT_TRUE(c.call(src)) << "the fault went with its scope";
  }
}

TEST_F(FilesTest, AShortWriteKeepsWhatItLetThroughAndSaysHowMuch) {
  TFile file;
  ASSERT_TRUE(file.Create(At("out")));
  {
    ScopedFault fault = InjectShortWrite(2, 3, Repeat::Always);
    size_t done = 0;
    EXPECT_TRUE(file.Write("first-", 6, done));
    EXPECT_EQ(done, 6u);
    TFileResult r = file.Write("second", 6, done);
    EXPECT_EQ(r.Code, ENOSPC);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(file.Write("third", 5, done).Code, ENOSPC);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(fault.failures(), 2);
  }
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(Get("out"), "first-secthi");
}

TEST_F(FilesTest, TwoFaultsOnOneOperationCountIndependently) {
  TFile file;
  ASSERT_TRUE(file.Create(At("out")));
  ScopedFault second = InjectFault(Op::Write, 2, EIO);
  ScopedFault fourth = InjectFault(Op::Write, 4, ENOSPC);
  std::vector<int> codes;
  for (int i = 1; i <= 5; ++i) codes.push_back(file.Write("x").Code);
  EXPECT_EQ(codes, (std::vector<int>{0, EIO, 0, ENOSPC, 0}));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(Get("out"), "xxx");
}

}  // namespace
}  // namespace tw::files
