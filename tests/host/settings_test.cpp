#include "host/mSettings.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace tw {
namespace {

TEST(Settings, WithoutAFileEverythingHasItsDefault) {
  test::TempFolder folder;
  THostSettings settings;
  settings.Mode = 2;
  settings.Port = "1";
  EXPECT_TRUE(settings.Load(folder.Path()));
  EXPECT_EQ(settings.Mode, 0);
  EXPECT_EQ(settings.SecretKey, "");
  EXPECT_EQ(settings.PublicKey, "");
  EXPECT_EQ(settings.PrivateKey, "");
  EXPECT_TRUE(settings.RemoteFingerprints.empty());
  EXPECT_EQ(settings.LocalFingerprint, "");
  EXPECT_EQ(settings.Port, "2222");
  EXPECT_EQ(settings.ServerAddress, "0.0.0.0");
  EXPECT_EQ(settings.Left, 328);
  EXPECT_EQ(settings.Top, 105);
}

TEST(Settings, LoadsEveryKeyAndKeepsAnUnknownModeAsItIs) {
  test::TempFolder folder;
  folder.Write("settings.ini",
               "[Security]\r\nMode=7\r\nSecretKey=\" s e c r e t \"\r\nPublicKey=PUB\r\n"
               "PrivateKey=PRIV\r\nRemoteFingerprints=aaa==,\"b b\"\r\nLocalFingerprint=own==\r\n"
               "[Options]\r\nPort=abc\r\nServerAddress=127.0.0.1\r\n[Last]\r\nLeft=-20\r\nTop=40\r\n");
  THostSettings settings;
  ASSERT_TRUE(settings.Load(folder.Path()));
  EXPECT_EQ(settings.Mode, 7);
  EXPECT_EQ(settings.SecretKey, " s e c r e t ");
  EXPECT_EQ(settings.PublicKey, "PUB");
  EXPECT_EQ(settings.PrivateKey, "PRIV");
  EXPECT_EQ(settings.RemoteFingerprints, (std::vector<std::string>{"aaa==", "b b"}));
  EXPECT_EQ(settings.FingerprintsText(), "aaa==,\"b b\"");
  EXPECT_EQ(settings.LocalFingerprint, "own==");
  EXPECT_EQ(settings.Port, "abc");
  EXPECT_EQ(settings.PortNumber(), 0);
  EXPECT_EQ(settings.ServerAddress, "127.0.0.1");
  EXPECT_EQ(settings.Left, -20);
  EXPECT_EQ(settings.Top, 40);
}

TEST(Settings, SavesTheKeysInOrderAsAFileOnlyTheOwnerReads) {
  test::TempFolder folder;
  THostSettings settings;
  settings.Mode = 2;
  settings.PublicKey = "PUB";
  settings.PrivateKey = "PRIV";
  settings.RemoteFingerprints = {"AAAAAAAAAAAAAAAAAAAAAA==", "BBBBBBBBBBBBBBBBBBBBBB=="};
  settings.LocalFingerprint = "CCCCCCCCCCCCCCCCCCCCCC==";
  ASSERT_TRUE(settings.Save(folder.Path()));
  EXPECT_EQ(folder.Read("settings.ini"),
            "[Security]\r\nMode=2\r\nSecretKey=\r\nPublicKey=PUB\r\nPrivateKey=PRIV\r\n"
            "RemoteFingerprints=AAAAAAAAAAAAAAAAAAAAAA==,BBBBBBBBBBBBBBBBBBBBBB==\r\n"
            "LocalFingerprint=CCCCCCCCCCCCCCCCCCCCCC==\r\n"
            "[Options]\r\nPort=2222\r\nServerAddress=0.0.0.0\r\n");
  struct stat info{};
  ASSERT_EQ(stat(folder.File("settings.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(Settings, RoundTripsAwkwardValues) {
  test::TempFolder folder;
  THostSettings saved;
  saved.Mode = 7;
  saved.SecretKey = "  'blank edged'  ";
  saved.RemoteFingerprints = {"", "with blank", "\"q\"", ""};
  saved.Port = " 2223";
  ASSERT_TRUE(saved.Save(folder.Path()));
  THostSettings loaded;
  ASSERT_TRUE(loaded.Load(folder.Path()));
  EXPECT_EQ(loaded.Mode, 7);
  EXPECT_EQ(loaded.SecretKey, saved.SecretKey);
  EXPECT_EQ(loaded.RemoteFingerprints, saved.RemoteFingerprints);
  EXPECT_EQ(loaded.Port, " 2223");
  EXPECT_EQ(loaded.PortNumber(), 2223);
}

TEST(Settings, SavingKeepsTheWindowPositionAndUnknownLinesAndViceVersa) {
  test::TempFolder folder;
  folder.Write("settings.ini", "[Last]\r\nLeft=10\r\nTop=20\r\n[Mine]\r\nx=1\r\n");
  THostSettings settings;
  ASSERT_TRUE(settings.Load(folder.Path()));
  settings.Mode = 1;
  settings.SecretKey = "k";
  ASSERT_TRUE(settings.Save(folder.Path()));
  settings.Left = 30;
  ASSERT_TRUE(settings.SaveWindowPosition(folder.Path()));

  THostSettings loaded;
  ASSERT_TRUE(loaded.Load(folder.Path()));
  EXPECT_EQ(loaded.Mode, 1);
  EXPECT_EQ(loaded.SecretKey, "k");
  EXPECT_EQ(loaded.Left, 30);
  EXPECT_EQ(loaded.Top, 20);
  EXPECT_NE(folder.Read("settings.ini").find("[Mine]\r\nx=1\r\n"), std::string::npos);
}

TEST(Settings, AFailedSaveIsReportedAndTheOldFileStays) {
  test::TempFolder folder;
  THostSettings settings;
  EXPECT_FALSE(settings.Save(folder.File("no/such/folder")));

  folder.Write("settings.ini", "[Security]\r\nMode=1\r\n");
  settings.SecretKey = "two\nlines";  // would break the file
  TFileResult result = settings.Save(folder.Path());
  EXPECT_FALSE(result);
  EXPECT_NE(result.Error.find("SecretKey"), std::string::npos) << result.Error;
  EXPECT_EQ(folder.Read("settings.ini"), "[Security]\r\nMode=1\r\n");
}

TEST(Settings, AFileThatCannotBeReadGivesTheDefaultsAndIsNotOverwritten) {
  test::TempFolder folder;
  std::filesystem::create_directory(folder.File("settings.ini"));  // opens, but reads fail
  THostSettings settings;
  settings.Port = "1";
  EXPECT_FALSE(settings.Load(folder.Path()));
  EXPECT_EQ(settings.Port, "2222");
  EXPECT_FALSE(settings.Save(folder.Path()));
  EXPECT_FALSE(settings.SaveWindowPosition(folder.Path()));
  EXPECT_TRUE(std::filesystem::is_directory(folder.File("settings.ini")));
}

TEST(Settings, PortNumberIsTheDecimalTextOrZero) {
  struct Case {
    const char* port;
    int number;
  };
  const Case cases[] = {{"2222", 2222}, {"0", 0}, {"", 0}, {"22a", 0}, {"abc", 0}, {"65536", 65536}};
  for (const Case& c : cases) {
    THostSettings settings;
    settings.Port = c.port;
    EXPECT_EQ(settings.PortNumber(), c.number) << c.port;
  }
}

}  // namespace
}  // namespace tw
