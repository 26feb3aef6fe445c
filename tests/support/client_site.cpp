#include "tests/support/client_site.h"

#include "platform/com/variant.h"

namespace tw::test {

com::HRESULT TFakeClientSite::Invoke(com::DISPID id, com::REFIID, com::LCID, com::WORD flags, com::DISPPARAMS*,
                                     com::VARIANT* result, com::EXCEPINFO*, com::UINT*) {
  if (id != com::DISPID_AMBIENT_USERMODE || !(flags & com::DISPATCH_PROPERTYGET) || mode == NoAnswer || !result)
    return com::DISP_E_MEMBERNOTFOUND;
  if (mode == NotBoolean) {
    result->vt = com::VT_I4;
    result->lVal = 0;
    return com::S_OK;
  }
  result->vt = com::VT_BOOL;
  result->boolVal = mode == Design ? com::VARIANT_FALSE : com::VARIANT_TRUE;
  return com::S_OK;
}

}  // namespace tw::test
