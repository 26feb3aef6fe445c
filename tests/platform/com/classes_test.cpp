#include "platform/com/classes.h"

#include <dlfcn.h>

#include <optional>

#include "platform/com/dispatch_call.h"
#include "platform/com/registry.h"
#include "tests/platform/com/temp_registry.h"
#include "tests/platform/com/test_server.h"

namespace tw::com {
namespace {

constexpr CLSID kLocalClass{0x6A1E0020, 0x3333, 0x4444, {0x85, 0x55, 0, 0, 0, 0, 0, 0x20}};

class Thing final : public ComObject<Thing, WithoutTypeInfo<IDispatch>> {
 public:
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

class ThingFactory final : public ComObject<ThingFactory, IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ++created;
    return MakeComObject<Thing>()->QueryInterface(iid, object);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
  int created = 0;
};

using ClassesTest = TempRegistryTest;

TEST(ClassFactory, KeepsTheLibraryLoadedWhileReferencedOrLockedEitherLifetime) {
  for (auto lifetime : {ClassFactory::Lifetime::Counted, ClassFactory::Lifetime::Static}) {
    const bool isStatic = lifetime == ClassFactory::Lifetime::Static;
    ModuleLockCount module;
    std::optional<ClassFactory> staticOne;  // a library's static: lives on without references
    ComPtr<IClassFactory> factory;
    if (isStatic) {
      staticOne.emplace(module, CreateAs<Thing>, lifetime);
      EXPECT_TRUE(module.CanUnload());
      ASSERT_EQ(staticOne->QueryInterface(IID_IClassFactory, factory.OutVoid()), S_OK);
    } else {
      factory = MakeComObject<ClassFactory>(module, CreateAs<Thing>, lifetime);
    }
    ComPtr<IDispatch> thing;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, thing.OutVoid()), S_OK);
    ComPtr<IDispatch> inner;
    EXPECT_EQ(factory->CreateInstance(thing.Get(), IID_IDispatch, inner.OutVoid()), CLASS_E_NOAGGREGATION);
    thing.Reset();
    EXPECT_FALSE(module.CanUnload());
    factory->LockServer(TRUE);
    factory->LockServer(FALSE);
    factory.Reset();  // the counted one is deleted, the static one stays
    EXPECT_TRUE(module.CanUnload());
    if (isStatic) {
      staticOne->LockServer(TRUE);
      EXPECT_FALSE(module.CanUnload());
      staticOne->LockServer(FALSE);
      EXPECT_TRUE(module.CanUnload());
    }
  }
}

TEST_F(ClassesTest, InProcessClassIsFoundUntilRevoked) {
  ComPtr<ThingFactory> factory = MakeComObject<ThingFactory>();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kLocalClass, factory->Identity(), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie), S_OK);
  ComPtr<IDispatch> thing;
  ASSERT_EQ(CoCreateInstance(kLocalClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, thing.OutVoid()), S_OK);
  EXPECT_TRUE(thing);
  EXPECT_EQ(factory->created, 1);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(CoCreateInstance(kLocalClass, thing.Get(), CLSCTX_ALL, IID_IUnknown, unknown.OutVoid()),
            CLASS_E_NOAGGREGATION);
  ComPtr<IClassFactory> same;
  EXPECT_EQ(CoGetClassObject(kLocalClass, CLSCTX_ALL, nullptr, IID_IClassFactory, same.OutVoid()), S_OK);
  EXPECT_EQ(same.Get(), static_cast<IClassFactory*>(factory.Get()));

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(kLocalClass, nullptr, CLSCTX_ALL, IID_IDispatch, thing.OutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(thing);
}

TEST_F(ClassesTest, RegisteredLibraryIsLoadedCalledAndUnloadedWhenUnused) {
  Registry::Default().SetValue("CLSID\\" + GuidToString(CLSID_TestAdder) + "\\InprocServer32", "",
                               TW_TEST_SERVER);
  ComPtr<IDispatch> adder;
  ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, adder.OutVoid()),
            S_OK);
  EXPECT_EQ(LoadedLibraryCount(), 1u);
  DispResult sum = Call(adder.Get(), u"Add", 40, 2);
  ASSERT_EQ(sum.hr, S_OK);
  EXPECT_EQ(sum.value.lVal, 42);
  DispResult failed = Call(adder.Get(), u"Divide", 1, 0);
  EXPECT_EQ(failed.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(failed.scode, E_INVALIDARG);  // the library's ComError, caught by the platform's guard
  EXPECT_EQ(failed.description, u"division by zero");

  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, adder.Get(), CLSCTX_ALL, IID_IUnknown, aggregated.OutVoid()),
            CLASS_E_NOAGGREGATION);
  ComPtr<IDispatch> second;  // the library is loaded once
  ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_ALL, IID_IDispatch, second.OutVoid()), S_OK);
  EXPECT_EQ(LoadedLibraryCount(), 1u);
  second.Reset();

  CoFreeUnusedLibraries();  // an object is alive: DllCanUnloadNow says S_FALSE
  EXPECT_EQ(LoadedLibraryCount(), 1u);
  adder.Reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(LoadedLibraryCount(), 0u);
  EXPECT_EQ(::dlopen(TW_TEST_SERVER, RTLD_NOW | RTLD_NOLOAD), nullptr);  // really unloaded
}

TEST_F(ClassesTest, ServerLockKeepsTheLibraryLoaded) {
  Registry::Default().SetValue("CLSID\\" + GuidToString(CLSID_TestAdder) + "\\InprocServer32", "",
                               TW_TEST_SERVER);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_TestAdder, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.OutVoid()), S_OK);
  factory->LockServer(TRUE);
  factory.Reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(LoadedLibraryCount(), 1u);
  ASSERT_EQ(CoGetClassObject(CLSID_TestAdder, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.OutVoid()), S_OK);
  factory->LockServer(FALSE);
  factory.Reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(LoadedLibraryCount(), 0u);
}

TEST_F(ClassesTest, MissingClassesAndLibrariesAreReported) {
  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_ALL, IID_IUnknown, object.OutVoid()),
            REGDB_E_CLASSNOTREG);
  std::string key = "CLSID\\" + GuidToString(CLSID_TestAdder) + "\\InprocServer32";
  Registry::Default().SetValue(key, "", (dir_ / "absent.so").string());
  EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_ALL, IID_IUnknown, object.OutVoid()),
            CO_E_DLLNOTFOUND);
  Registry::Default().SetValue(key, "", ModulePathOf(reinterpret_cast<const void*>(&CoCreateInstance)));
  EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_ALL, IID_IUnknown, object.OutVoid()),
            CO_E_ERRORINDLL);  // the platform library exports no DllGetClassObject
  EXPECT_EQ(LoadedLibraryCount(), 0u);
}

TEST_F(ClassesTest, ProgIdsAndClassStringsResolve) {
  Registry::Default().SetValue("twParley.Thing\\CLSID", "", GuidToString(kLocalClass));
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"twParley.Thing", &clsid), S_OK);
  EXPECT_EQ(clsid, kLocalClass);
  EXPECT_EQ(CLSIDFromProgID(u"twParley.Nothing", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(clsid, GUID_NULL);
  EXPECT_EQ(CLSIDFromString(u"{6A1E0020-3333-4444-8555-000000000020}", &clsid), S_OK);
  EXPECT_EQ(clsid, kLocalClass);
  EXPECT_EQ(CLSIDFromString(u"{6A1E0020}", &clsid), CO_E_CLASSSTRING);
}

TEST(CoInitialize, CountsPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

}  // namespace
}  // namespace tw::com
