// A test whose registry is a fresh temporary file; TW_COM_REGISTRY points at
// it while the test runs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_folder.h"

namespace tw::com {

class TempRegistryTest : public ::testing::Test {
 protected:
  test::TempRegistry registry_;
  std::filesystem::path dir_ = registry_.Dir();
  std::filesystem::path file_ = registry_.File();
};

}  // namespace tw::com
