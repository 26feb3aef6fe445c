// The control shell carries a second control as well as the server control:
// a tiny control with its own identifiers, events interface and member
// table, made by its own module's factory, keeps one event sink and fires at
// it, and counts towards its module's unload check.
#include <gtest/gtest.h>

#include "control/cControlModule.h"
#include "platform/com/dispatch_call.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

using namespace tw::com;

constexpr GUID kLibid{0x7E110000, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 1}};
constexpr IID kDualIid{0x7E110000, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 2}};
constexpr IID kEventsIid{0x7E110000, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 3}};
constexpr CLSID kClsid{0x7E110000, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 4}};
constexpr DISPID kDispidEcho = 301;
constexpr DISPID kDispidOnEcho = 401;

class IEchoX : public IDispatch {
 public:
  static constexpr IID kIid = kDualIid;
  using Base = IDispatch;
  virtual HRESULT Echo(LONG value) = 0;

 protected:
  ~IEchoX() = default;
};

// Echo fires OnEcho with the value at the container's sink.
class TEchoX final : public TControlObject<TEchoX, IEchoX> {
 public:
  static const TControlClass& Class() {
    static const TControlClass cls{kClsid,         kDualIid, kEventsIid, kLibid,
                                   "twTest.EchoX", "twTest", "1.0",      "IEchoX",
                                   "IEchoXEvents", u"Echo",  u"A second control on the shell",
                                   nullptr};
    return cls;
  }
  static const DispatchTable<IEchoX>& DispTable() {
    static const DispatchTable<IEchoX> table(kDualIid, u"twTest.EchoX",
                                             {Method(u"Echo", kDispidEcho, &IEchoX::Echo)});
    return table;
  }
  static TControlShell* Create(ModuleLockCount& module) { return new TEchoX(module); }

  HRESULT Echo(LONG value) override {
    return Member([&] {
      std::vector<Variant> args{Variant(value)};
      Fire(kDispidOnEcho, args);
    });
  }

 private:
  explicit TEchoX(ModuleLockCount& module) : TControlObject(Class(), module) {}
  void WireEvents() override {}
};

ComPtr<IDispatch> EchoSink(std::vector<LONG>& seen) {
  return MakeDispatchSink(kEventsIid, [&seen](DISPID id, std::span<VARIANT> args, VARIANT*) {
    if (id == kDispidOnEcho) seen.push_back(args[0].lVal);
    return S_OK;
  });
}

TEST(ControlShell, ASecondControlGetsItsFactorySingleSinkEventsAndModuleCount) {
  TControlModule module(TEchoX::Class(), &TEchoX::Create);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(module.GetClassObject(GUID_NULL, IID_IClassFactory, factory.OutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(module.GetClassObject(kClsid, IID_IClassFactory, factory.OutVoid()), S_OK);
  ComPtr<IEchoX> echo;
  ASSERT_EQ(factory->CreateInstance(nullptr, kDualIid, echo.OutVoid()), S_OK);
  factory.Reset();
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);  // the control is alive

  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(echo.As<IConnectionPointContainer>()->FindConnectionPoint(kEventsIid, point.Out()), S_OK);
  std::vector<LONG> first, second;
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(point->Advise(EchoSink(first).Get(), &c1), S_OK);
  EXPECT_EQ(echo->Echo(1), S_OK);
  ASSERT_EQ(point->Advise(EchoSink(second).Get(), &c2), S_OK);  // replaces the first
  EXPECT_EQ(echo->Echo(2), S_OK);
  EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);
  // Through IDispatch, by the control's own DISPID.
  std::vector<Variant> args{Variant(LONG{3})};
  EXPECT_EQ(InvokeDispid(echo.Get(), kDispidEcho, DISPATCH_METHOD, args).hr, S_OK);
  EXPECT_EQ(first, std::vector<LONG>{1});
  EXPECT_EQ(second, (std::vector<LONG>{2, 3}));

  point.Reset();
  echo.Reset();
  win32::RunUntil([&] { return module.CanUnloadNow() == S_OK; }, 2000);
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

TEST(ControlShell, ASecondControlRegistersItsOwnClassAndInterfaces) {
  test::TempRegistry registry;
  TControlModule module(TEchoX::Class(), &TEchoX::Create);
  ASSERT_EQ(module.Register(), S_OK);
  const std::string text = registry.Text();
  for (const char* expected : {"twTest.EchoX", "IEchoX", "IEchoXEvents", "twTest Library"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
  EXPECT_NE(text.find(GuidToString(kClsid)), std::string::npos);
  ASSERT_EQ(module.Unregister(), S_OK);
  EXPECT_EQ(registry.Text().find("twTest.EchoX"), std::string::npos);
}

}  // namespace
}  // namespace tw
