// Coercing any string to every supported type either fails cleanly or gives a
// value whose text coerces back to the same value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/com/variant.h"

using namespace tw::com;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
  Variant from(std::u16string_view{text});
  static const VARTYPE kTypes[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_BOOL, VT_BSTR};
  for (VARTYPE vt : kTypes) {
    Variant to;
    HRESULT hr = VariantChangeType(&to, &from, 0, vt);
    if (FAILED(hr)) {
      if (hr != DISP_E_TYPEMISMATCH && hr != DISP_E_OVERFLOW) std::abort();
      continue;
    }
    if (to.vt != vt) std::abort();
    Variant asText;
    if (FAILED(VariantChangeType(&asText, &to, 0, VT_BSTR))) std::abort();
    Variant back;
    if (FAILED(VariantChangeType(&back, &asText, 0, vt))) std::abort();
    if (back.ToString() != asText.ToString()) std::abort();
  }
  return 0;
}
