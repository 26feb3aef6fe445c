#include "platform/com/safearray.h"

#include <gtest/gtest.h>

#include "platform/com/variant.h"

namespace tw::com {
namespace {

TEST(SafeArray, VectorHasBoundsZeroToCountMinusOne) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, 5);
  ASSERT_NE(a, nullptr);
  LONG lo = -1, hi = -1;
  EXPECT_EQ(SafeArrayGetLBound(a, 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(a, 1, &hi), S_OK);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 4);
  EXPECT_EQ(SafeArrayGetDim(a), 1u);
  EXPECT_EQ(SafeArrayGetElemsize(a), 1u);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
  EXPECT_EQ(vt, VT_UI1);
  EXPECT_EQ(SafeArrayGetLBound(a, 2, &lo), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(a, 0, &hi), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

TEST(SafeArray, EmptyVectorHasBoundsZeroToMinusOne) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, 0);
  ASSERT_NE(a, nullptr);
  LONG lo = 7, hi = 7;
  SafeArrayGetLBound(a, 1, &lo);
  SafeArrayGetUBound(a, 1, &hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, -1);
  void* data = reinterpret_cast<void*>(1);
  EXPECT_EQ(SafeArrayAccessData(a, &data), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

TEST(SafeArray, CreateWithBoundAndElementSizes) {
  SAFEARRAYBOUND bound{3, -1};
  SAFEARRAY* a = SafeArrayCreate(VT_I4, 1, &bound);
  ASSERT_NE(a, nullptr);
  LONG hi = 0;
  SafeArrayGetUBound(a, 1, &hi);
  EXPECT_EQ(hi, 1);
  EXPECT_EQ(SafeArrayGetElemsize(a), 4u);
  SafeArrayDestroy(a);
  SAFEARRAYBOUND two[2] = {{1, 0}, {1, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, two), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 1), nullptr);
  // The upper bound must fit a LONG.
  EXPECT_EQ(SafeArrayCreateVector(VT_UI1, 0x7FFFFFFF, 2), nullptr);
}

TEST(SafeArray, DestroyRefusedWhileLockedOrAccessed) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 2);
  static_cast<BSTR*>(a->pvData)[0] = SysAllocString(u"owned");
  EXPECT_EQ(SafeArrayLock(a), S_OK);
  EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(a, &data), S_OK);
  EXPECT_EQ(data, a->pvData);
  EXPECT_EQ(SafeArrayUnlock(a), S_OK);
  EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
  EXPECT_EQ(SafeArrayUnlock(a), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);  // frees the BSTR element too
}

TEST(SafeArray, CopyIsDeepForStringsAndVariants) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 1, 2);
  auto* items = static_cast<VARIANT*>(a->pvData);
  items[0].vt = VT_BSTR;
  items[0].bstrVal = SysAllocString(u"inner");
  items[1].vt = VT_I4;
  items[1].lVal = 9;
  SAFEARRAY* c = nullptr;
  ASSERT_EQ(SafeArrayCopy(a, &c), S_OK);
  auto* copied = static_cast<VARIANT*>(c->pvData);
  EXPECT_NE(copied[0].bstrVal, items[0].bstrVal);
  EXPECT_EQ(BstrView(copied[0].bstrVal), u"inner");
  EXPECT_EQ(copied[1].lVal, 9);
  EXPECT_EQ(c->rgsabound[0].lLbound, 1);
  EXPECT_EQ(c->cLocks, 0u);
  SafeArrayDestroy(a);
  SafeArrayDestroy(c);
}

}  // namespace
}  // namespace tw::com
