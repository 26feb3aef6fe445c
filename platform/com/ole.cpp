// Ambient properties are plain property gets on the site's IDispatch.
#include "platform/com/ole.h"

namespace tw::com {

bool IsDesignMode(IOleClientSite* site) {
  if (!site) return false;
  ComPtr<IDispatch> ambient;
  if (FAILED(site->QueryInterface(IID_IDispatch, ambient.OutVoid())) || !ambient) return false;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant userMode;
  HRESULT hr = ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_PROPERTYGET, &none, &userMode, nullptr, nullptr);
  if (FAILED(hr)) return false;
  return userMode.vt == VT_BOOL && userMode.boolVal == VARIANT_FALSE;
}

}  // namespace tw::com
