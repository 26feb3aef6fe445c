#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include <vector>

namespace tw::com {
namespace {

TEST(Variant, CopyDuplicatesStringsAndArrays) {
  Variant s(u"text");
  Variant sc(s);
  EXPECT_EQ(sc.vt, VT_BSTR);
  EXPECT_NE(sc.bstrVal, s.bstrVal);
  EXPECT_EQ(BstrView(sc.bstrVal), u"text");

  const std::vector<uint8_t> bytes{1, 2, 3};
  Variant a;
  ASSERT_EQ(VariantFromBytes(bytes, &a), S_OK);
  Variant ac;
  ASSERT_EQ(VariantCopy(&ac, &a), S_OK);
  EXPECT_NE(ac.parray, a.parray);
  static_cast<uint8_t*>(a.parray->pvData)[0] = 99;
  EXPECT_EQ(BytesFromVariant(ac), bytes);
}

TEST(Variant, CopyOfReferenceIsShallowAndCopyIndDereferences) {
  BSTR target = SysAllocString(u"ref");
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BYREF | VT_BSTR;
  r.pbstrVal = &target;
  Variant shallow;
  VariantCopy(&shallow, &r);
  EXPECT_EQ(shallow.pbstrVal, &target);
  Variant deep;
  ASSERT_EQ(VariantCopyInd(&deep, &r), S_OK);
  EXPECT_EQ(deep.vt, VT_BSTR);
  EXPECT_NE(deep.bstrVal, target);
  EXPECT_EQ(BstrView(deep.bstrVal), u"ref");
  SysFreeString(target);
}

TEST(Variant, ClearRefusesLockedArrayAndUnknownTypes) {
  Variant a;
  VariantFromBytes(std::vector<uint8_t>{5}, &a);
  SafeArrayLock(a.parray);
  EXPECT_EQ(VariantClear(&a), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(a.vt, VT_ARRAY | VT_UI1);
  SafeArrayUnlock(a.parray);
  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(a.vt, VT_EMPTY);
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

struct Coercion {
  const char* name;
  Variant from;
  VARTYPE to;
  HRESULT hr;
  Variant expected;  // compared by type and text when hr is S_OK
};

VARIANT Make(VARTYPE vt, int64_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  switch (vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(value); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(value); break;
    case VT_I2: v.iVal = static_cast<SHORT>(value); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(value); break;
    case VT_BOOL: v.boolVal = static_cast<VARIANT_BOOL>(value); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(value); break;
    default: v.lVal = static_cast<LONG>(value); break;
  }
  return v;
}

TEST(Variant, ChangeTypeFollowsTheCoercionTable) {
  const Coercion table[] = {
      {"I2 to I4", Make(VT_I2, -7), VT_I4, S_OK, Variant(-7)},
      {"UI1 to I4", Make(VT_UI1, 200), VT_I4, S_OK, Variant(200)},
      {"BSTR 42 to I4", Variant(u"42"), VT_I4, S_OK, Variant(42)},
      {"BSTR with blanks and sign", Variant(u" -13 "), VT_I4, S_OK, Variant(-13)},
      {"BSTR not a number", Variant(u"4x"), VT_I4, DISP_E_TYPEMISMATCH, {}},
      {"empty BSTR to I4", Variant(u""), VT_I4, DISP_E_TYPEMISMATCH, {}},
      {"BSTR too large for I4", Variant(u"2147483648"), VT_I4, DISP_E_OVERFLOW, {}},
      {"BSTR too large for anything", Variant(u"99999999999999999999"), VT_I4, DISP_E_OVERFLOW, {}},
      {"I4 to I2 overflow", Variant(40000), VT_I2, DISP_E_OVERFLOW, {}},
      {"I4 to UI1 overflow", Variant(256), VT_UI1, DISP_E_OVERFLOW, {}},
      {"negative I4 to UI4", Variant(-1), VT_UI4, DISP_E_OVERFLOW, {}},
      {"I4 to UI1", Variant(255), VT_UI1, S_OK, Make(VT_UI1, 255)},
      {"I4 nonzero to BOOL", Variant(5), VT_BOOL, S_OK, Variant(true)},
      {"I4 zero to BOOL", Variant(0), VT_BOOL, S_OK, Variant(false)},
      {"BOOL true to I4", Variant(true), VT_I4, S_OK, Variant(-1)},
      {"BOOL true to I2", Variant(true), VT_I2, S_OK, Make(VT_I2, -1)},
      {"BSTR True to BOOL", Variant(u"True"), VT_BOOL, S_OK, Variant(true)},
      {"BSTR 0 to BOOL", Variant(u"0"), VT_BOOL, S_OK, Variant(false)},
      {"BOOL to BSTR", Variant(true), VT_BSTR, S_OK, Variant(u"-1")},
      {"I4 to BSTR", Variant(-2147483647 - 1), VT_BSTR, S_OK, Variant(u"-2147483648")},
      {"UI4 to I4 overflow", Make(VT_UI4, 0x80000000u), VT_I4, DISP_E_OVERFLOW, {}},
      {"EMPTY to I4", Variant(), VT_I4, S_OK, Variant(0)},
      {"EMPTY to BSTR", Variant(), VT_BSTR, S_OK, Variant(u"")},
      {"NULL to I4", Make(VT_NULL, 0), VT_I4, DISP_E_TYPEMISMATCH, {}},
      {"array to I4", {}, VT_I4, DISP_E_TYPEMISMATCH, {}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    Variant from = c.from;
    if (std::string_view(c.name) == "array to I4") VariantFromBytes(std::vector<uint8_t>{1}, &from);
    Variant to(u"untouched");
    HRESULT hr = VariantChangeType(&to, &from, 0, c.to);
    EXPECT_EQ(hr, c.hr);
    if (hr != S_OK) {
      EXPECT_EQ(BstrView(to.bstrVal), u"untouched");  // unchanged on failure
      continue;
    }
    EXPECT_EQ(to.vt, c.to);
    EXPECT_EQ(to.ToString(), c.expected.ToString());
    if (c.to == VT_BOOL) {
      EXPECT_EQ(to.boolVal, c.expected.boolVal);
    }
  }
}

TEST(Variant, ChangeTypeDereferencesAndWorksInPlace) {
  SHORT value = 12;
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BYREF | VT_I2;
  r.piVal = &value;
  Variant out;
  ASSERT_EQ(VariantChangeType(&out, &r, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(out.bstrVal), u"12");
  ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_I4), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 12);
  Variant alpha(true);
  ASSERT_EQ(VariantChangeType(&alpha, &alpha, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(alpha.bstrVal), u"True");
}

TEST(Variant, HolderConstructorsPickTheAutomationTypes) {
  EXPECT_EQ(Variant(VARIANT_TRUE).vt, VT_BOOL);
  EXPECT_EQ(Variant(VARIANT_TRUE).boolVal, VARIANT_TRUE);
  EXPECT_EQ(Variant(true).boolVal, VARIANT_TRUE);
  EXPECT_EQ(Variant(7).vt, VT_I4);
  EXPECT_EQ(Variant(u"s").vt, VT_BSTR);
  Variant moved(Variant(u"moved"));
  Variant target;
  target = std::move(moved);
  EXPECT_EQ(moved.vt, VT_EMPTY);
  EXPECT_EQ(target.ToString(), u"moved");
  EXPECT_EQ(Variant(u"12").ToInt(), 12);
  EXPECT_EQ(Variant(u"x").ToInt(), std::nullopt);
}

TEST(Variant, BytesRoundTripAndRefuseOtherValues) {
  const std::vector<uint8_t> bytes{0, 255, 7};
  Variant a;
  ASSERT_EQ(VariantFromBytes(bytes, &a), S_OK);
  EXPECT_EQ(a.vt, VT_ARRAY | VT_UI1);
  LONG lo = -1, hi = -1;
  SafeArrayGetLBound(a.parray, 1, &lo);
  SafeArrayGetUBound(a.parray, 1, &hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 2);
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_VARIANT;
  byRef.pvarVal = &a;
  EXPECT_EQ(BytesFromVariant(byRef), bytes);
  EXPECT_FALSE(BytesFromVariant(Variant(u"not bytes")));
  Variant empty;
  VariantFromBytes({}, &empty);
  EXPECT_EQ(BytesFromVariant(empty), std::vector<uint8_t>{});
}

}  // namespace
}  // namespace tw::com
