#include "host/mDataFolder.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/win32/system.h"

namespace tw {
namespace {

TEST(DataFolder, TheEnvironmentNamesTheFolderElseItIsTheProgramsOwn) {
  unsetenv("TWPARLEY_HOST_DIR");
  EXPECT_EQ(HostDataFolder(), win32::ExeFolder());
  setenv("TWPARLEY_HOST_DIR", "", 1);
  EXPECT_EQ(HostDataFolder(), win32::ExeFolder());
  setenv("TWPARLEY_HOST_DIR", "/srv/parley", 1);
  EXPECT_EQ(HostDataFolder(), "/srv/parley/");
  setenv("TWPARLEY_HOST_DIR", "/srv/parley/", 1);
  EXPECT_EQ(HostDataFolder(), "/srv/parley/");
  unsetenv("TWPARLEY_HOST_DIR");
}

TEST(DataFolder, FileInFolderJoinsWithOneSlash) {
  EXPECT_EQ(FileInFolder("/a/", "users.con"), "/a/users.con");
  EXPECT_EQ(FileInFolder("/a", "users.con"), "/a/users.con");
  EXPECT_EQ(FileInFolder("", "users.con"), "./users.con");
}

}  // namespace
}  // namespace tw
