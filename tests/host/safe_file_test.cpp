#include "host/mSafeFile.h"

#include <sys/stat.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "host/mIniFile.h"
#include "platform/files/files.h"
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
  auto diskFull = files::InjectShortWrite(1, 16);
  TFileResult result = ReplaceFileAtomically(folder.File("users.con"), std::string(4096, 'x'), 0600);
  EXPECT_FALSE(result);
  EXPECT_NE(result.Error.find("users.con"), std::string::npos) << result.Error;
  EXPECT_EQ(folder.Read("users.con"), "[alice]\r\nPswd=secret\r\n");
  EXPECT_EQ(folder.EntryCount(), 1u);  // the temporary file is gone
}

TEST(SafeFile, SavingIntoAFolderWithoutWriteAccessKeepsTheOldFile) {
  test::TempFolder folder;
  folder.Write("settings.ini", "old");
  auto denied = files::InjectFault(files::Op::Create, 1, EACCES);
  TIniFile ini = TIniFile::FromText("[S]\nk=v\n");
  TFileResult result = ini.Save(folder.File("settings.ini"), 0600);
  EXPECT_FALSE(result);
  EXPECT_NE(result.Error.find("settings.ini"), std::string::npos) << result.Error;
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
