// The program's command line.
#include "host/mHostProgram.h"

#include <gtest/gtest.h>

#include <vector>

namespace tw {
namespace {

std::optional<THostOptions> Parse(std::vector<std::string> args, std::string& error) {
  args.insert(args.begin(), "twParleySrv");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseHostOptions(static_cast<int>(args.size()), argv.data(), error);
}

TEST(HostProgram, ReadsEveryOption) {
  std::string error;
  auto o = Parse({"--data-dir", "/srv/parley", "--exit-after", "3000"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->DataFolder, "/srv/parley");
  EXPECT_EQ(o->ExitAfterMs, 3000);

  auto none = Parse({}, error);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->ExitAfterMs, std::nullopt);
  EXPECT_TRUE(none->DataFolder.empty());
}

TEST(HostProgram, RefusesWhatItDoesNotUnderstand) {
  const std::vector<std::vector<std::string>> bad = {
      {"--exit-after"}, {"--exit-after", "soon"}, {"--exit-after", "-5"}, {"--data-dir", ""}, {"--frobnicate"},
      // The program runs over the real control only; pictures come from a developer tool.
      {"--stand-in"}, {"--screenshots", "shots"}};
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(Parse(args, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace tw
