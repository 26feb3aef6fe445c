#include "host/mUserAccess.h"

#include <gtest/gtest.h>

#include "platform/win32/text.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

std::vector<std::string> Names(const TUserAccessEditor& editor) {
  std::vector<std::string> names;
  for (const TUser& user : editor.Users()) names.push_back(user.Name);
  return names;
}

TEST(UserAccess, StartsFromACopyWithTheFirstRowSelected) {
  TUserAccessEditor empty({});
  EXPECT_EQ(empty.Selected(), std::nullopt);
  EXPECT_FALSE(empty.PasswordEnabled());
  EXPECT_FALSE(empty.RemoveEnabled());
  EXPECT_EQ(empty.PasswordText(), u"");

  TUserAccessEditor editor(TUsers{{"alice", "pw"}, {"bob", ""}});
  EXPECT_EQ(editor.Selected(), 0u);
  EXPECT_TRUE(editor.PasswordEnabled());
  EXPECT_TRUE(editor.RemoveEnabled());
  EXPECT_EQ(editor.PasswordText(), u"pw");
  editor.Select(std::nullopt);
  EXPECT_FALSE(editor.PasswordEnabled());
  EXPECT_EQ(editor.PasswordText(), u"");
  editor.Select(5);
  EXPECT_EQ(editor.Selected(), std::nullopt);
}

TEST(UserAccess, RowsOfTheSameNameEditTheirOwnUser) {
  TUserAccessEditor editor(TUsers{{"bob", "one"}, {"bob", "two"}});
  EXPECT_EQ(editor.PasswordText(), u"one");
  ASSERT_TRUE(editor.SetPassword(u"changed"));
  EXPECT_EQ(editor.Users(), (TUsers{{"bob", "changed"}, {"bob", "two"}}));
}

TEST(UserAccess, AddNamesTheSmallestFreeNewUserNumber) {
  TUserAccessEditor editor({});
  EXPECT_EQ(editor.AddUser(), 0u);
  EXPECT_EQ(editor.AddUser(), 1u);
  EXPECT_EQ(editor.AddUser(), 2u);
  EXPECT_EQ(Names(editor), (std::vector<std::string>{"NewUser1", "NewUser2", "NewUser3"}));
  EXPECT_EQ(editor.Selected(), 2u);
  EXPECT_EQ(editor.PasswordText(), u"");
  EXPECT_TRUE(editor.PasswordEnabled());

  TUserAccessEditor withOne(TUsers{{"newuser1", "x"}, {"NEWUSER3", "y"}});
  withOne.AddUser();
  withOne.AddUser();
  EXPECT_EQ(Names(withOne), (std::vector<std::string>{"newuser1", "NEWUSER3", "NewUser2", "NewUser4"}));

  TUsers all;
  for (int n = 1; n <= 999; ++n) all.push_back({"NewUser" + std::to_string(n), ""});
  TUserAccessEditor full(all);
  EXPECT_EQ(full.AddUser(), 999u);
  EXPECT_EQ(full.Users().back().Name, "NewUser999");
}

TEST(UserAccess, RenamingToGuestInAnyCaseAddsAnUnderscore) {
  struct Case {
    std::u16string typed;
    std::string stored;
  };
  const Case cases[] = {{u"GUEST", "_GUEST"}, {u"guest", "_guest"}, {u"Guest", "_Guest"},
                        {u"guests", "guests"}, {u"_guest", "_guest"}, {u"\u00C9mile", "\xC9mile"}};
  for (const Case& c : cases) {
    TUserAccessEditor editor(TUsers{{"old", ""}});
    ASSERT_TRUE(editor.RenameSelected(c.typed)) << c.stored;
    EXPECT_EQ(editor.Users()[0].Name, c.stored);
    EXPECT_EQ(editor.RowText(0), win32::AnsiToWide(c.stored));
  }
}

TEST(UserAccess, RefusesNamesThatWouldNotSurviveAReload) {
  const std::u16string refused[] = {u"", u" bob", u"bob ", u"a]b", u"a\nb", u"a\r\nb",
                                    std::u16string(u"a\0b", 3), u"\u65E5\u672C"};
  for (const std::u16string& name : refused) {
    TUserAccessEditor editor(TUsers{{"old", "pw"}});
    EXPECT_FALSE(editor.RenameSelected(name));
    EXPECT_EQ(editor.Users()[0].Name, "old");
  }
  TUserAccessEditor none({});
  EXPECT_FALSE(none.RenameSelected(u"bob"));
}

TEST(UserAccess, PasswordsAreStoredWithoutOuterBlanksAndControls) {
  struct Case {
    std::u16string typed;
    std::string stored;
  };
  const Case cases[] = {{u"  secret  ", "secret"}, {u"\tpw\r\n", "pw"}, {u"in ner", "in ner"},
                        {u"   ", ""}, {u"\u20AC5", "\x80" "5"}};
  for (const Case& c : cases) {
    TUserAccessEditor editor(TUsers{{"bob", "old"}});
    ASSERT_TRUE(editor.SetPassword(c.typed)) << c.stored;
    EXPECT_EQ(editor.Users()[0].Password, c.stored);
  }
  for (const std::u16string& typed : {std::u16string(u"a\nb"), std::u16string(u"\u0416")}) {
    TUserAccessEditor editor(TUsers{{"bob", "old"}});
    EXPECT_FALSE(editor.SetPassword(typed));
    EXPECT_EQ(editor.Users()[0].Password, "old");
  }
}

TEST(UserAccess, RemoveSelectsTheNextRowTheFirstAfterTheLastOrNone) {
  TUserAccessEditor editor(TUsers{{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}});
  editor.Select(1);
  EXPECT_EQ(editor.RemovePrompt(), u"b will be deleted! Are you sure?");
  editor.RemoveSelected();  // middle
  EXPECT_EQ(Names(editor), (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(editor.Selected(), 1u);

  editor.Select(2);
  editor.RemoveSelected();  // last
  EXPECT_EQ(Names(editor), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(editor.Selected(), 0u);

  TUserAccessEditor only(TUsers{{"solo", "pw"}});
  only.RemoveSelected();
  EXPECT_TRUE(only.Users().empty());
  EXPECT_EQ(only.Selected(), std::nullopt);
  EXPECT_FALSE(only.PasswordEnabled());
  EXPECT_FALSE(only.RemoveEnabled());
  only.RemoveSelected();  // nothing selected: nothing happens
  EXPECT_TRUE(only.Users().empty());
}

TEST(UserAccess, OkSavesTheWorkingCopyAndCancelLeavesEverythingAsItWas) {
  test::TempFolder folder;
  ASSERT_TRUE(SaveUsers(folder.Path(), {{"alice", "a"}}));
  TUserDirectory directory;
  TUsers saved;
  ASSERT_TRUE(LoadUsers(folder.Path(), saved));
  directory.Assign(saved);
  EXPECT_EQ(directory.GetPassword(u"alice"), u"a");

  {  // Cancel: the editor goes away unapplied.
    TUserAccessEditor editor(directory.Users());
    ASSERT_TRUE(editor.SetPassword(u"changed"));
  }
  EXPECT_EQ(directory.GetPassword(u"alice"), u"a");
  EXPECT_EQ(folder.Read("users.con"), "[alice]\r\nPswd=a\r\n");

  TUserAccessEditor editor(directory.Users());
  ASSERT_TRUE(editor.SetPassword(u"changed"));
  editor.AddUser();
  ASSERT_TRUE(editor.RenameSelected(u"bob"));
  ASSERT_TRUE(editor.SetPassword(u"b"));
  ASSERT_TRUE(ApplyUserEdits(editor, directory, folder.Path()));
  EXPECT_EQ(directory.GetPassword(u"alice"), u"changed");
  EXPECT_EQ(directory.GetPassword(u"bob"), u"b");
  EXPECT_EQ(folder.Read("users.con"), "[alice]\r\nPswd=changed\r\n[bob]\r\nPswd=b\r\n");

  EXPECT_FALSE(ApplyUserEdits(editor, directory, folder.File("missing")));
}

}  // namespace
}  // namespace tw
