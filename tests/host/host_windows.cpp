#include "tests/host/host_windows.h"

#include <gtest/gtest.h>

// Fontconfig keeps caches that it frees only when the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace tw::test {
namespace {

std::unique_ptr<QApplication> theApp;

class AppEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { theApp.reset(); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);

}  // namespace

QApplication& OffscreenApp() {
  static int argc = 1;
  static char name[] = "host_windows_test";
  static char* argv[] = {name, nullptr};
  if (!theApp) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    theApp = std::make_unique<QApplication>(argc, argv);
  }
  return *theApp;
}

}  // namespace tw::test
