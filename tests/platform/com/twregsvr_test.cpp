// Runs the twregsvr tool against the test server library and a temporary
// registry.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "platform/com/registry.h"
#include "tests/platform/com/temp_registry.h"
#include "tests/platform/com/test_server.h"

namespace tw::com {
namespace {

using TwRegSvrTest = TempRegistryTest;

int RunTool(const std::string& args) {
  std::string command = std::string("'") + TW_REGSVR + "' " + args + " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

TEST_F(TwRegSvrTest, RegistersAndUnregistersALibrary) {
  Registry reg = Registry::Default();
  reg.SetValue("CLSID\\{Unrelated}", "", "stays");
  std::string key = "CLSID\\" + GuidToString(CLSID_TestAdder);

  ASSERT_EQ(RunTool(Quoted(TW_TEST_SERVER)), 0);
  EXPECT_EQ(reg.GetValue(key + "\\InprocServer32"), std::filesystem::canonical(TW_TEST_SERVER).string());
  EXPECT_EQ(reg.GetValue(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(reg.GetValue(key + "\\ProgID"), kTestAdderProgId);
  EXPECT_EQ(reg.GetValue(key + "\\MiscStatus\\1"), "139665");
  EXPECT_EQ(reg.GetValue(std::string(kTestAdderProgId) + "\\CLSID"), GuidToString(CLSID_TestAdder));

  ASSERT_EQ(RunTool("-u " + Quoted(TW_TEST_SERVER)), 0);
  EXPECT_EQ(reg.EnumKeys("CLSID"), std::vector<std::string>{"{Unrelated}"});
  EXPECT_FALSE(reg.GetValue(std::string(kTestAdderProgId) + "\\CLSID"));
}

TEST_F(TwRegSvrTest, FailsOnMissingLibrariesEntryPointsAndMisuse) {
  EXPECT_EQ(RunTool(Quoted((dir_ / "absent.so").string())), 1);
  EXPECT_EQ(RunTool(Quoted(TW_PLATFORM_LIBRARY)), 1);  // no DllRegisterServer there
  EXPECT_EQ(RunTool(""), 2);
  EXPECT_EQ(RunTool("-x " + Quoted(TW_TEST_SERVER)), 2);
  EXPECT_FALSE(std::filesystem::exists(file_));  // nothing was registered
}

}  // namespace
}  // namespace tw::com
