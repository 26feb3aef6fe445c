// A temporary folder holding the registry file for one test; TW_COM_REGISTRY
// points at it while the fixture lives.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace tw::com {

class TempRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "twcom.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    file_ = dir_ / "registry.ini";
    ::setenv("TW_COM_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TW_COM_REGISTRY");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::filesystem::path dir_;
  std::filesystem::path file_;
};

}  // namespace tw::com
