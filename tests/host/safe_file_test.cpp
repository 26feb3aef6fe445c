#include "host/mSafeFile.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host/mIniFile.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

unsigned ModeOf(const std::string& path) {
  struct stat info{};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(SafeFile, ReplacesTheFileWithModeOwnerOnly) {
  test::TempFolder folder;
  folder.Write("settings.ini", "old");
  chmod(folder.File("settings.ini").c_str(), 0644);
  ASSERT_TRUE(ReplaceFileAtomically(folder.File("settings.ini"), "new", 0600));
  EXPECT_EQ(folder.Read("settings.ini"), "new");
  EXPECT_EQ(ModeOf(folder.File("settings.ini")), 0600u);
  EXPECT_EQ(folder.EntryCount(), 1u);  // no temporary file left
}

TEST(SafeFile, SavingIntoAMissingFolderFailsWithAReason) {
  test::TempFolder folder;
  TFileResult result = ReplaceFileAtomically(folder.File("missing/users.con"), "x", 0600);
  EXPECT_FALSE(result);
  EXPECT_NE(result.Error.find("users.con"), std::string::npos) << result.Error;
}

TEST(SafeFile, AWriteThatFailsHalfWayKeepsTheOldFile) {
  test::TempFolder folder;
  folder.Write("users.con", "[alice]\r\nPswd=secret\r\n");
  // Files may not grow past 16 bytes: the write of the new contents fails
  // with EFBIG, whoever runs the test.
  struct sigaction ignore{};
  struct sigaction old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TFileResult result = ReplaceFileAtomically(folder.File("users.con"), std::string(4096, 'x'), 0600);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old, nullptr);

  EXPECT_FALSE(result);
  EXPECT_FALSE(result.Error.empty());
  EXPECT_EQ(folder.Read("users.con"), "[alice]\r\nPswd=secret\r\n");
  EXPECT_EQ(folder.EntryCount(), 1u);
}

TEST(SafeFile, SavingIntoAFolderWithoutWriteAccessKeepsTheOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
  test::TempFolder folder;
  folder.Write("settings.ini", "old");
  chmod(folder.Path().c_str(), 0500);
  EXPECT_FALSE(ReplaceFileAtomically(folder.File("settings.ini"), "new", 0600));
  chmod(folder.Path().c_str(), 0700);
  EXPECT_EQ(folder.Read("settings.ini"), "old");
}

TEST(SafeFile, AMissingFileReadsAsNothingAndIsNoError) {
  test::TempFolder folder;
  std::string contents = "stale";
  bool exists = true;
  EXPECT_TRUE(ReadWholeFile(folder.File("none.ini"), contents, exists));
  EXPECT_FALSE(exists);
  EXPECT_TRUE(contents.empty());

  TIniFile ini = TIniFile::FromText("[S]\nk=v\n");
  EXPECT_TRUE(TIniFile::Load(folder.File("none.ini"), ini));
  EXPECT_EQ(ini.SectionCount(), 0u);
  EXPECT_FALSE(TIniFile::Load(folder.Path(), ini));  // a folder cannot be read as a file
}

}  // namespace
}  // namespace tw
