#include "host/mUsers.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace tw {
namespace {

TEST(Users, RoundTripThroughUsersConIncludingAnEmptyPassword) {
  test::TempFolder folder;
  const TUsers users = {{"alice", "wonder land"}, {"bob", ""}, {"\xC9mile", "\"quoted\""}};
  ASSERT_TRUE(SaveUsers(folder.Path(), users));
  EXPECT_EQ(folder.Read("users.con"),
            "[alice]\r\nPswd=wonder land\r\n[bob]\r\nPswd=\r\n[\xC9mile]\r\nPswd=\"\"quoted\"\"\r\n");
  struct stat info{};
  ASSERT_EQ(stat(folder.File("users.con").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  TUsers loaded = {{"stale", "x"}};
  ASSERT_TRUE(LoadUsers(folder.Path(), loaded));
  EXPECT_EQ(loaded, users);
}

TEST(Users, LoadsSectionBySectionSoNamesDifferingInCaseKeepTheirPasswords) {
  test::TempFolder folder;
  folder.Write("users.con",
               "[Alice]\nPswd=upper\nOther=ignored\n[alice]\nPswd=lower\n[nopass]\nx=1\n[]\nPswd=e\n");
  TUsers users;
  ASSERT_TRUE(LoadUsers(folder.Path(), users));
  EXPECT_EQ(users, (TUsers{{"Alice", "upper"}, {"alice", "lower"}, {"nopass", ""}, {"", "e"}}));

  ASSERT_TRUE(SaveUsers(folder.Path(), users));
  TUsers again;
  ASSERT_TRUE(LoadUsers(folder.Path(), again));
  EXPECT_EQ(again, users);  // other keys are gone, everything else stays
  EXPECT_EQ(folder.Read("users.con").find("Other"), std::string::npos);
}

TEST(Users, UsersOfTheSameNameShareOneSectionWithTheLaterPassword) {
  test::TempFolder folder;
  ASSERT_TRUE(SaveUsers(folder.Path(), {{"bob", "first"}, {"carol", "c"}, {"bob", "later"}}));
  EXPECT_EQ(folder.Read("users.con"), "[bob]\r\nPswd=later\r\n[carol]\r\nPswd=c\r\n");
}

TEST(Users, AMissingFileMeansNoUsers) {
  test::TempFolder folder;
  TUsers users = {{"stale", "x"}};
  EXPECT_TRUE(LoadUsers(folder.Path(), users));
  EXPECT_TRUE(users.empty());
}

TEST(Users, AFailedSaveIsReportedAndTheOldFileStays) {
  test::TempFolder folder;
  EXPECT_FALSE(SaveUsers(folder.File("missing"), {{"a", "b"}}));

  folder.Write("users.con", "[a]\r\nPswd=b\r\n");
  EXPECT_FALSE(SaveUsers(folder.Path(), {{"a", "b"}, {"x]y", "z"}}));
  EXPECT_FALSE(SaveUsers(folder.Path(), {{"a", "new\r\n[admin]\r\nPswd=x"}}));
  EXPECT_EQ(folder.Read("users.con"), "[a]\r\nPswd=b\r\n");
}

TEST(Users, StorableNames) {
  EXPECT_TRUE(IsStorableUserName("bob"));
  EXPECT_TRUE(IsStorableUserName("in ner"));
  EXPECT_TRUE(IsStorableUserName("[x"));
  for (std::string_view bad : {"", " bob", "bob\t", "a]b", "a\nb", "a\rb"})
    EXPECT_FALSE(IsStorableUserName(bad)) << bad;
  EXPECT_FALSE(IsStorableUserName(std::string_view("a\0b", 3)));
}

TEST(UserDirectory, PasswordLookUpForLoginRequests) {
  TUserDirectory directory;
  directory.Assign({{"alice", "a1"}, {"bob", ""}, {"carol", "first"}, {"carol", "later"},
                    {"\xE9mile", "e"}, {"?", "question"}});
  struct Case {
    std::u16string name;
    std::u16string password;
  };
  const Case cases[] = {
      {u"alice", u"a1"},       // known
      {u"dave", u""},          // unknown
      {u"", u""},              // empty name
      {u"Alice", u""},         // letter case counts
      {u"ALICE", u""},
      {u"alice", u"a1"},       // from the cache
      {u"bob", u""},           // known, empty password
      {u"carol", u"later"},    // the later of two
      {u"\u00E9mile", u"e"},   // 8-bit names match their UTF-16 form
      {u"\u0416", u""},        // no 8-bit form: never the '?' user
  };
  for (const Case& c : cases)
    EXPECT_EQ(directory.GetPassword(c.name), c.password) << std::string(c.name.begin(), c.name.end());
}

TEST(UserDirectory, AssigningNewUsersEmptiesTheCache) {
  TUserDirectory directory;
  directory.Assign({{"alice", "old"}});
  EXPECT_EQ(directory.GetPassword(u"alice"), u"old");
  directory.Assign({{"bob", "b"}, {"alice", "new"}});
  EXPECT_EQ(directory.GetPassword(u"alice"), u"new");
  directory.Assign({});
  EXPECT_EQ(directory.GetPassword(u"alice"), u"");
}

}  // namespace
}  // namespace tw
