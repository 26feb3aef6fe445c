// A miniature control assembled from the layer the way the real controls are:
// a dual interface served by a table, an events connection point, a client
// site and error info; driven by a container through names and an event sink.
// It checks that the building blocks fit, including in-out event arguments written by
// the container and read back by the control.
#include <gtest/gtest.h>

#include "platform/com/connection.h"
#include "platform/com/dispatch_call.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/ole.h"
#include "tests/support/client_site.h"

namespace tw::com {
namespace {

constexpr IID kEventsIid{0x6A1E0050, 0x6666, 0x4777, {0x88, 0x88, 0, 0, 0, 0, 0, 0x50}};
constexpr DISPID kOnConnectionRequest = 202;

class IMiniControl : public IDispatch {
 public:
  static constexpr IID kIid{0x6A1E0051, 0x6666, 0x4777, {0x88, 0x88, 0, 0, 0, 0, 0, 0x51}};
  using Base = IDispatch;
  virtual HRESULT Admit(BSTR aUsername, VARIANT_BOOL* Value) = 0;
  virtual HRESULT get_Password(BSTR* Value) = 0;
  virtual HRESULT get_DesignMode(VARIANT_BOOL* Value) = 0;

 protected:
  ~IMiniControl() = default;
};

class MiniControl final
    : public ComObject<MiniControl, DispatchImpl<MiniControl, IMiniControl>, IConnectionPointContainer,
                       IOleObject, SupportErrorInfoImpl<IMiniControl>> {
 public:
  MiniControl()
      : point_(MakeComObject<ConnectionPoint>(this, kEventsIid,
                                              [this](IDispatch* sink) { sink_ = ComPtr<IDispatch>(sink); })) {}
  ~MiniControl() override { point_->Detach(); }

  static const DispatchTable<IMiniControl>& DispTable() {
    static const DispatchTable<IMiniControl> table(IMiniControl::kIid, u"MiniControl", {
        Method(u"Admit", 201, &IMiniControl::Admit),
        PropGet(u"Password", 202, &IMiniControl::get_Password),
        PropGet(u"DesignMode", 203, &IMiniControl::get_DesignMode),
    });
    return table;
  }

  // Fires OnConnectionRequest(aHandle, aUsername, [in,out] aPassword, [in,out] aAccept).
  HRESULT Admit(BSTR aUsername, VARIANT_BOOL* Value) override {
    return GuardMember([&] {
      VARIANT_BOOL accept = VARIANT_FALSE;
      if (ComPtr<IDispatch> sink = sink_) {
        std::vector<Variant> args{Variant(7), Variant(BstrView(aUsername)), ByRef(password_.Out()),
                                  ByRef(&accept)};
        DispResult r = InvokeDispid(sink.Get(), kOnConnectionRequest, DISPATCH_METHOD, args);
        if (FAILED(r.hr)) {
          throw ComError(FAILED(r.scode) ? r.scode : r.hr, "event sink failed: " + Bstr(r.description).Utf8());
        }
      }
      *Value = ToVariantBool(accept != VARIANT_FALSE);
    }, IMiniControl::kIid, u"MiniControl");
  }
  HRESULT get_Password(BSTR* Value) override {
    *Value = SysAllocString(password_.View());
    return S_OK;
  }
  HRESULT get_DesignMode(VARIANT_BOOL* Value) override {
    *Value = ToVariantBool(IsDesignMode(site_.Get()));
    return S_OK;
  }

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override {
    if (points) *points = nullptr;
    return E_NOTIMPL;
  }
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (iid != kEventsIid) return CONNECT_E_NOCONNECTION;
    return ComPtr<IConnectionPoint>(point_).CopyTo(point);
  }

  HRESULT SetClientSite(IOleClientSite* site) override {
    site_ = ComPtr<IOleClientSite>(site);
    return S_OK;
  }
  HRESULT GetClientSite(IOleClientSite** site) override { return site_.CopyTo(site); }
  HRESULT Close(DWORD) override {
    site_.Reset();
    return S_OK;
  }
  HRESULT GetUserClassID(CLSID* clsid) override {
    *clsid = GUID_NULL;
    return S_OK;
  }
  HRESULT GetMiscStatus(DWORD, DWORD* status) override {
    *status = OLEMISC_ACTSLIKELABEL | OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE |
              OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
    return S_OK;
  }

 private:
  ComPtr<ConnectionPoint> point_;
  ComPtr<IDispatch> sink_;
  ComPtr<IOleClientSite> site_;
  Bstr password_;
};

struct Container {
  ComPtr<IDispatch> control;
  DWORD cookie = 0;
  ComPtr<IConnectionPoint> point;

  void Connect(ComPtr<IDispatch> sink) {
    ComPtr<IConnectionPointContainer> cpc = control.As<IConnectionPointContainer>();
    ASSERT_TRUE(cpc);
    ASSERT_EQ(cpc->FindConnectionPoint(kEventsIid, point.Out()), S_OK);
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
  }
};

TEST(ControlModel, ContainerAnswersInOutEventArgumentsTheControlReads) {
  Container host{MakeComObject<MiniControl>().As<IDispatch>()};
  std::u16string seenUser;
  host.Connect(MakeDispatchSink(kEventsIid, [&](DISPID id, std::span<VARIANT> args, VARIANT*) {
    EXPECT_EQ(id, kOnConnectionRequest);
    EXPECT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0].lVal, 7);
    seenUser = BstrView(args[1].bstrVal);
    SysReAllocString(args[2].pbstrVal, u"secret");
    *args[3].pboolVal = VARIANT_TRUE;
    return S_OK;
  }));
  DispResult admitted = Call(host.control.Get(), u"admit", u"alice");
  ASSERT_EQ(admitted.hr, S_OK);
  EXPECT_EQ(admitted.value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(seenUser, u"alice");
  EXPECT_EQ(GetProperty(host.control.Get(), u"Password").value.ToString(), u"secret");
  EXPECT_EQ(host.point->Unadvise(host.cookie), S_OK);
  // Without a sink the request is refused and nothing is reported.
  EXPECT_EQ(Call(host.control.Get(), u"Admit", u"bob").value.boolVal, VARIANT_FALSE);
}

TEST(ControlModel, FailingSinkEndsInTheMembersGuard) {
  Container host{MakeComObject<MiniControl>().As<IDispatch>()};
  host.Connect(MakeDispatchSink(kEventsIid, [](DISPID, std::span<VARIANT>, VARIANT*) { return E_ACCESSDENIED; }));
  DispResult r = Call(host.control.Get(), u"Admit", u"carol");
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.scode, E_ACCESSDENIED);  // the sink's own failure, carried through
  EXPECT_EQ(r.description.rfind(u"event sink failed", 0), 0u);
  ComPtr<ISupportErrorInfo> support = host.control.As<ISupportErrorInfo>();
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IMiniControl::kIid), S_OK);
}

TEST(ControlModel, SiteDecidesDesignModeAndMiscStatusIsTheShells) {
  ComPtr<IDispatch> control = MakeComObject<MiniControl>().As<IDispatch>();
  ComPtr<IOleObject> ole = control.As<IOleObject>();
  ASSERT_TRUE(ole);
  EXPECT_EQ(GetProperty(control.Get(), u"DesignMode").value.boolVal, VARIANT_FALSE);  // no site
  ole->SetClientSite(MakeComObject<test::TFakeClientSite>(test::TFakeClientSite::Design).As<IOleClientSite>().Get());
  EXPECT_EQ(GetProperty(control.Get(), u"DesignMode").value.boolVal, VARIANT_TRUE);
  ole->Close(OLECLOSE_NOSAVE);
  EXPECT_EQ(GetProperty(control.Get(), u"DesignMode").value.boolVal, VARIANT_FALSE);
  DWORD status = 0;
  ole->GetMiscStatus(DVASPECT_CONTENT, &status);
  EXPECT_EQ(status, 0x22191u);
}

}  // namespace
}  // namespace tw::com
