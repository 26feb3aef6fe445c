// Conformance of the table-driven IDispatch on a small sample interface, seen
// both through raw Invoke calls and through the container-side helpers.
#include "platform/com/dispatch_table.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/com/dispatch_call.h"

namespace tw::com {
namespace {

class IClassFactoryLike : public IUnknown {
 public:
  static constexpr IID kIid{0x6A1E0003, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 3}};
  using Base = IUnknown;

 protected:
  ~IClassFactoryLike() = default;
};

class ISample : public IDispatch {
 public:
  static constexpr IID kIid{0x6A1E0001, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 1}};
  using Base = IDispatch;
  virtual HRESULT Subtract(LONG a, LONG b, LONG* difference) = 0;
  virtual HRESULT Repeat(BSTR text, SHORT times, BSTR* result) = 0;
  virtual HRESULT Split(LONG value, LONG* high, LONG* low, VARIANT_BOOL* ok) = 0;
  virtual HRESULT get_Level(LONG* value) = 0;
  virtual HRESULT put_Level(LONG value) = 0;
  virtual HRESULT Fail(BSTR message, LONG code) = 0;
  virtual HRESULT CountBytes(VARIANT* data, LONG* count) = 0;
  virtual HRESULT Double(LONG* value) = 0;
  virtual HRESULT Throw() = 0;

 protected:
  ~ISample() = default;
};

class Sample final : public ComObject<Sample, ISample, SupportErrorInfoImpl<ISample>> {
 public:
  HRESULT Subtract(LONG a, LONG b, LONG* difference) override {
    *difference = a - b;
    return S_OK;
  }
  HRESULT Repeat(BSTR text, SHORT times, BSTR* result) override {
    std::u16string s;
    for (int i = 0; i < times; ++i) s += BstrView(text);
    *result = SysAllocString(s);
    return S_OK;
  }
  HRESULT Split(LONG value, LONG* high, LONG* low, VARIANT_BOOL* ok) override {
    *high = value / 100;
    *low = value % 100;
    *ok = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT get_Level(LONG* value) override {
    *value = level;
    return S_OK;
  }
  HRESULT put_Level(LONG value) override {
    level = value;
    return S_OK;
  }
  HRESULT Fail(BSTR message, LONG code) override {
    return GuardMember([&]() -> HRESULT { throw ComError(code, Bstr(BstrView(message)).Utf8()); },
                       ISample::kIid, u"Sample");
  }
  HRESULT CountBytes(VARIANT* data, LONG* count) override {
    auto bytes = BytesFromVariant(*data);
    *count = bytes ? static_cast<LONG>(bytes->size()) : -1;
    return S_OK;
  }
  HRESULT Double(LONG* value) override {
    *value *= 2;
    return S_OK;
  }
  HRESULT Throw() override { throw std::runtime_error("raised below the table"); }

  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return Table().GetIDsOfNames(names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) override {
    return Table().Invoke(*this, id, flags, params, result, excep, argErr);
  }

  static const DispatchTable<ISample>& Table() {
    static const DispatchTable<ISample> table(ISample::kIid, u"Sample", {
        Method(u"Subtract", 1, &ISample::Subtract),
        Method(u"Repeat", 2, &ISample::Repeat),
        Method(u"Split", 3, &ISample::Split),
        PropGet(u"Level", 4, &ISample::get_Level),
        PropPut(u"Level", 4, &ISample::put_Level),
        Method(u"Fail", 5, &ISample::Fail),
        Method(u"CountBytes", 6, &ISample::CountBytes),
        Method(u"Double", 7, &ISample::Double, {PARAMFLAG_FIN | PARAMFLAG_FOUT}),
        Method(u"Throw", 8, &ISample::Throw),
    });
    return table;
  }

  LONG level = 0;
};

class DispatchTest : public ::testing::Test {
 protected:
  HRESULT Raw(DISPID id, WORD flags, std::vector<VARIANT> reversedArgs, VARIANT* result,
              std::vector<DISPID> named = {}) {
    DISPPARAMS dp{reversedArgs.data(), named.data(), static_cast<UINT>(reversedArgs.size()),
                  static_cast<UINT>(named.size())};
    return object->Invoke(id, IID_NULL, 0, flags, &dp, result, nullptr, &argErr);
  }

  ComPtr<Sample> object = MakeComObject<Sample>();
  IDispatch* disp = object.Get();
  UINT argErr = 99;
};

TEST_F(DispatchTest, NamesMapToDispidsCaseInsensitively) {
  for (const char16_t* name : {u"Subtract", u"subtract", u"SUBTRACT", u"sUbTrAcT"}) {
    std::u16string n(name);
    LPOLESTR names[] = {n.data()};
    DISPID id = 0;
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 1);
  }
  std::u16string unknown(u"Nope");
  LPOLESTR names[] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(DispatchTest, ArgumentsArriveInReverseOrder) {
  Variant result;
  // rgvarg[0] is the last argument: Subtract(10, 3).
  ASSERT_EQ(Raw(1, DISPATCH_METHOD, {Variant(3), Variant(10)}, result.Out()), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 7);
  EXPECT_EQ(Call(disp, u"subtract", 10, 3).value.lVal, 7);
}

TEST_F(DispatchTest, PutTakesTheNamedValueAndGetReadsIt) {
  Variant value(42);
  EXPECT_EQ(Raw(4, DISPATCH_PROPERTYPUT, {value}, nullptr, {DISPID_PROPERTYPUT}), S_OK);
  EXPECT_EQ(object->level, 42);
  DispResult got = GetProperty(disp, u"level");
  EXPECT_EQ(got.hr, S_OK);
  EXPECT_EQ(got.value.lVal, 42);
  EXPECT_EQ(PutProperty(disp, u"Level", Variant(u"-5")).hr, S_OK);  // coerced from BSTR
  EXPECT_EQ(object->level, -5);
  // Other named arguments are refused.
  EXPECT_EQ(Raw(4, DISPATCH_PROPERTYPUT, {value}, nullptr, {7}), DISP_E_NONAMEDARGS);
}

TEST_F(DispatchTest, InputsAreCoercedToDeclaredTypes) {
  VARIANT times;
  VariantInit(&times);
  times.vt = VT_I2;
  times.iVal = 2;
  DispResult r = Call(disp, u"Repeat", 123, Variant(times));  // I4 -> BSTR, I2 -> I2
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(BstrView(r.value.bstrVal), u"123123");
  r = Call(disp, u"Subtract", u"42", static_cast<int32_t>(2));  // BSTR -> I4
  EXPECT_EQ(r.value.lVal, 40);
  r = Call(disp, u"Subtract", u"forty", 2);
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.argErr, 1u);  // rgvarg index of the first argument
  r = Call(disp, u"Repeat", u"x", 70000);  // does not fit SHORT
  EXPECT_EQ(r.hr, DISP_E_OVERFLOW);
}

TEST_F(DispatchTest, ByReferenceInputsAreDereferenced) {
  LONG a = 50;
  Variant inner(8);
  DispResult r = Call(disp, u"Subtract", ByRef(&a), ByRef(&inner));
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.lVal, 42);
  EXPECT_EQ(a, 50);
  std::vector<uint8_t> bytes{1, 2, 3, 4};
  Variant message;
  VariantFromBytes(bytes, &message);
  EXPECT_EQ(Call(disp, u"CountBytes", ByRef(&message)).value.lVal, 4);
  EXPECT_EQ(Call(disp, u"CountBytes", message).value.lVal, 4);
  EXPECT_EQ(Call(disp, u"CountBytes", u"text").value.lVal, -1);
}

TEST_F(DispatchTest, OutValuesAreWrittenThroughReferences) {
  LONG high = 0;
  Variant low(u"replaced");  // a variant target receives the declared type
  DispResult r = Call(disp, u"Split", 1234, ByRef(&high), ByRef(&low));
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(high, 12);
  EXPECT_EQ(low.vt, VT_I4);
  EXPECT_EQ(low.lVal, 34);
  EXPECT_EQ(r.value.vt, VT_BOOL);
  EXPECT_EQ(r.value.boolVal, VARIANT_TRUE);
  // A BSTR target is coerced to and the old string freed.
  BSTR text = SysAllocString(u"old");
  r = Call(disp, u"Split", 567, ByRef(&text), ByRef(&high));
  EXPECT_EQ(BstrView(text), u"5");
  SysFreeString(text);
  // An [out] argument passed by value is refused.
  EXPECT_EQ(Call(disp, u"Split", 1, 2, 3).hr, DISP_E_TYPEMISMATCH);
  // [in,out]: the member reads and rewrites.
  LONG value = 21;
  EXPECT_EQ(Call(disp, u"Double", ByRef(&value)).hr, S_OK);
  EXPECT_EQ(value, 42);
}

TEST_F(DispatchTest, NullResultPointerIsAllowed) {
  Variant text(u"ab");
  Variant times(3);
  EXPECT_EQ(Raw(2, DISPATCH_METHOD, {times, text}, nullptr), S_OK);  // the retval BSTR is freed
}

TEST_F(DispatchTest, UnknownDispidsKindsAndCountsAreRefused) {
  Variant result;
  EXPECT_EQ(Raw(99, DISPATCH_METHOD, {}, result.Out()), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Raw(1, DISPATCH_PROPERTYPUT, {Variant(1)}, nullptr, {DISPID_PROPERTYPUT}),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Raw(4, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, result.Out()), S_OK);
  EXPECT_EQ(Call(disp, u"Subtract", 1).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(disp, u"Subtract", 1, 2, 3).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(disp, u"Missing").hr, DISP_E_UNKNOWNNAME);
}

TEST_F(DispatchTest, FailureInsideBecomesExceptionWithMessage) {
  DispResult r = Call(disp, u"Fail", u"disk on fire", static_cast<int32_t>(E_ACCESSDENIED));
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.scode, E_ACCESSDENIED);
  EXPECT_EQ(r.description, u"disk on fire");
  EXPECT_EQ(r.source, u"Sample");
  // A failure that carries no negative HRESULT becomes E_UNEXPECTED.
  r = Call(disp, u"Fail", u"odd", 5);
  EXPECT_EQ(r.scode, E_UNEXPECTED);
  // An exception that escapes the member is caught by the table.
  r = Call(disp, u"Throw");
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.scode, E_UNEXPECTED);
  EXPECT_EQ(r.description, u"raised below the table");
}

TEST_F(DispatchTest, WithoutExcepinfoTheMemberCodeReturnsAndErrorInfoStays) {
  Variant message(u"kept");
  Variant code(static_cast<int32_t>(E_FAIL));
  EXPECT_EQ(Raw(5, DISPATCH_METHOD, {code, message}, nullptr), E_FAIL);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
  Bstr description;
  info->GetDescription(description.Out());
  EXPECT_EQ(description, u"kept");
}

TEST_F(DispatchTest, ObjectAnswersForItsInterfacesAndErrorInfoSupport) {
  ComPtr<ISupportErrorInfo> support = object.As<ISupportErrorInfo>();
  ASSERT_TRUE(support);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(ISample::kIid), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  ComPtr<IUnknown> a = object.As<IUnknown>();
  ComPtr<IUnknown> b = support.As<IUnknown>();
  EXPECT_EQ(a.Get(), b.Get());  // one identity whichever interface is asked
  EXPECT_EQ(object.As<IDispatch>().Get(), static_cast<IDispatch*>(object.Get()));
  EXPECT_FALSE(object.As<IClassFactoryLike>());
}

TEST(DispatchTableRows, InconsistentRowsAreRejected) {
  EXPECT_THROW(DispatchTable<ISample>(ISample::kIid, u"Bad",
                                      {Method(u"Split", 3, &ISample::Split,
                                              {PARAMFLAG_FIN, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL,
                                               PARAMFLAG_FOUT, PARAMFLAG_FOUT})}),
               std::invalid_argument);
  EXPECT_THROW(DispatchTable<ISample>(ISample::kIid, u"Bad", {PropPut(u"Level", 4, &ISample::get_Level)}),
               std::invalid_argument);
}

TEST(DispatchSink, HandsDispidAndArgumentsInOrderAndWritesBack) {
  static constexpr IID kEvents{0x6A1E0002, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 2}};
  std::vector<LONG> seen;
  DISPID seenId = 0;
  ComPtr<IDispatch> sink = MakeDispatchSink(kEvents, [&](DISPID id, std::span<VARIANT> args, VARIANT*) {
    seenId = id;
    for (VARIANT& a : args) {
      if (a.vt == VT_I4) seen.push_back(a.lVal);
      if (a.vt == (VT_BYREF | VT_BOOL)) *a.pboolVal = VARIANT_TRUE;
    }
    return S_OK;
  });
  ComPtr<IDispatch> asEvents;
  EXPECT_EQ(sink->QueryInterface(kEvents, asEvents.OutVoid()), S_OK);
  VARIANT_BOOL accept = VARIANT_FALSE;
  std::vector<Variant> args{Variant(1), Variant(2), ByRef(&accept)};
  EXPECT_EQ(InvokeDispid(sink.Get(), 202, DISPATCH_METHOD, args).hr, S_OK);
  EXPECT_EQ(seenId, 202);
  EXPECT_EQ(seen, (std::vector<LONG>{1, 2}));
  EXPECT_EQ(accept, VARIANT_TRUE);

  ComPtr<IDispatch> failing = MakeDispatchSink(GUID_NULL, [](DISPID, std::span<VARIANT>, VARIANT*) -> HRESULT {
    throw std::runtime_error("sink broke");
  });
  DispResult r = InvokeDispid(failing.Get(), 1, DISPATCH_METHOD, {});
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.description, u"sink broke");
}

}  // namespace
}  // namespace tw::com
