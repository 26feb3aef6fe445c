#include "platform/com/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/files/files.h"
#include "tests/platform/com/temp_registry.h"

namespace tw::com {
namespace {

using RegistryTest = TempRegistryTest;

TEST_F(RegistryTest, DefaultPathFollowsTheEnvironment) {
  EXPECT_EQ(Registry::DefaultPath(), file_);
  const char* home = std::getenv("HOME");
  std::string oldHome = home ? home : "";
  ::unsetenv("TW_COM_REGISTRY");
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(Registry::DefaultPath(), std::filesystem::path("/xdg/twparley/registry.ini"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(Registry::DefaultPath(), std::filesystem::path("/home/someone/.config/twparley/registry.ini"));
  ::setenv("HOME", oldHome.c_str(), 1);
}

TEST_F(RegistryTest, ValuesAreWrittenAndReadBackCaseInsensitively) {
  Registry reg(dir_ / "sub" / "registry.ini");  // missing folders are created
  EXPECT_FALSE(reg.GetValue("CLSID\\{X}\\InprocServer32"));
  ASSERT_EQ(reg.SetValue("CLSID\\{X}\\InprocServer32", "", "/opt/lib/libx.so"), S_OK);
  ASSERT_EQ(reg.SetValue("CLSID\\{X}\\InprocServer32", "ThreadingModel", "Apartment"), S_OK);
  ASSERT_EQ(reg.SetValue("clsid\\{x}\\inprocserver32", "threadingmodel", "Both"), S_OK);
  Registry again(reg.Path());
  EXPECT_EQ(again.GetValue("CLSID\\{X}\\InprocServer32"), "/opt/lib/libx.so");
  EXPECT_EQ(again.GetValue("\\Clsid\\{x}\\\\InprocServer32\\", "THREADINGMODEL"), "Both");
  auto values = again.EnumValues("CLSID\\{X}\\InprocServer32");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1].first, "ThreadingModel");  // first spelling kept
  EXPECT_EQ(again.EnumKeys(""), std::vector<std::string>{"CLSID"});
}

TEST_F(RegistryTest, AwkwardNamesAndValuesRoundTrip) {
  const std::pair<std::string, std::string> cases[] = {
      {"@", "at sign as a name"},        {"a=b", "x=y"},     {";comment", "not a comment"},
      {"[bracket", "line\nbreak\r"},     {"pct", "100%25"},  {"spaces", "  kept  "},
  };
  Registry reg(file_);
  for (const auto& [name, value] : cases) ASSERT_EQ(reg.SetValue("Odd\\Key]", name, value), S_OK);
  ASSERT_EQ(reg.SetValue("Odd\\Key]", "", "default"), S_OK);
  for (const auto& [name, value] : cases) EXPECT_EQ(reg.GetValue("Odd\\Key]", name), value) << name;
  EXPECT_EQ(reg.GetValue("Odd\\Key]"), "default");
}

TEST_F(RegistryTest, WritesReplaceTheFileAtomically) {
  Registry reg(file_);
  ASSERT_EQ(reg.SetValue("A", "", "1"), S_OK);
  struct stat before {};
  ::stat(file_.c_str(), &before);
  ASSERT_EQ(reg.SetValue("B", "", "2"), S_OK);
  struct stat after {};
  ::stat(file_.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file was renamed into place
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "registry.ini" || name == "registry.ini.lock") << "left over: " << name;
  }
}

// Whichever step of the rewrite fails, the call says so and the old file
// stays whole, with no temporary file beside it.
TEST_F(RegistryTest, AFailedWriteKeepsTheOldFile) {
  Registry reg(file_);
  ASSERT_EQ(reg.SetValue("A", "", "1"), S_OK);
  for (files::Op step : {files::Op::Create, files::Op::Write, files::Op::Sync, files::Op::Rename}) {
    auto fault = files::InjectFault(step, 1, EIO, files::Repeat::Always);
    EXPECT_EQ(reg.SetValue("B", "", "2"), REGDB_E_WRITEREGDB);
    EXPECT_EQ(reg.DeleteTree("A"), REGDB_E_WRITEREGDB);
    EXPECT_EQ(reg.GetValue("A"), "1");
    EXPECT_EQ(reg.GetValue("B"), std::nullopt);
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "registry.ini" || name == "registry.ini.lock") << "left over: " << name;
  }
}

TEST_F(RegistryTest, DeleteRemovesOnlyTheGivenTree) {
  Registry reg(file_);
  ASSERT_EQ(reg.Update([](RegistryTree& t) {
    t.SetValue("CLSID\\{A}", "", "a");
    t.SetValue("CLSID\\{A}\\InprocServer32", "", "liba.so");
    t.SetValue("CLSID\\{A}\\MiscStatus\\1", "", "139665");
    t.SetValue("CLSID\\{A}x", "", "sibling with a longer name");
    t.SetValue("CLSID\\{B}\\InprocServer32", "", "libb.so");
    t.SetValue("Other", "", "kept");
  }), S_OK);
  EXPECT_EQ(reg.EnumKeys("CLSID"), (std::vector<std::string>{"{A}", "{A}x", "{B}"}));
  EXPECT_EQ(reg.DeleteTree("clsid\\{a}"), S_OK);
  EXPECT_EQ(reg.DeleteTree("CLSID\\{A}"), S_FALSE);
  EXPECT_FALSE(reg.GetValue("CLSID\\{A}\\InprocServer32"));
  EXPECT_FALSE(reg.GetValue("CLSID\\{A}\\MiscStatus\\1"));
  EXPECT_EQ(reg.GetValue("CLSID\\{A}x"), "sibling with a longer name");
  EXPECT_EQ(reg.GetValue("CLSID\\{B}\\InprocServer32"), "libb.so");
  EXPECT_EQ(reg.GetValue("Other"), "kept");
  EXPECT_EQ(reg.EnumKeys("CLSID"), (std::vector<std::string>{"{A}x", "{B}"}));
}

TEST(RegistryTreeParse, SkipsMalformedLinesAndKeepsEmptyKeys) {
  RegistryTree t = RegistryTree::Parse(
      "stray=before any key\n[Good]\r\n@=x\nno equals sign\n[broken\n"
      "lost=value\n[Empty]\n[]\nalso=lost\n");
  EXPECT_EQ(t.GetValue("Good"), "x");
  EXPECT_FALSE(t.GetValue("broken", "lost"));
  EXPECT_TRUE(t.KeyExists("Empty"));
  EXPECT_EQ(t.EnumKeys(""), (std::vector<std::string>{"Empty", "Good"}));
  EXPECT_EQ(RegistryTree::Parse(t.Serialize()).Serialize(), t.Serialize());
}

}  // namespace
}  // namespace tw::com
