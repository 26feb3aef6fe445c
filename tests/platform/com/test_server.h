// Identifiers of the test server library (test_server.cpp).
#pragma once

#include "platform/com/guid.h"

namespace tw::com {

inline constexpr CLSID CLSID_TestAdder{0x6A1E0010, 0x2222, 0x4333, {0x84, 0x44, 0, 0, 0, 0, 0, 0x10}};
inline constexpr IID IID_ITestAdder{0x6A1E0011, 0x2222, 0x4333, {0x84, 0x44, 0, 0, 0, 0, 0, 0x11}};
inline constexpr const char* kTestAdderProgId = "twParley.TestAdder";

}  // namespace tw::com
