// The control shell's plumbing: the events connection point and
// the ambient UserMode of a client site.
#include "platform/com/connection.h"

#include <gtest/gtest.h>

#include "platform/com/dispatch_call.h"
#include "platform/com/ole.h"
#include "tests/support/client_site.h"

namespace tw::com {
namespace {

constexpr IID kEvents{0x6A1E0030, 0x4444, 0x4555, {0x86, 0x66, 0, 0, 0, 0, 0, 0x30}};

class Control final : public ComObject<Control, IConnectionPointContainer> {
 public:
  explicit Control(SinkPolicy policy = SinkPolicy::Many) {
    point_ = MakeComObject<ConnectionPoint>(
        this, kEvents,
        [this](IDispatch* sink) {
          sink_ = ComPtr<IDispatch>(sink);
          ++changes;
        },
        policy);
  }
  ~Control() override { point_->Detach(); }

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override {
    *points = nullptr;
    return E_NOTIMPL;
  }
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    *point = nullptr;
    if (iid != kEvents) return CONNECT_E_NOCONNECTION;
    return ComPtr<IConnectionPoint>(point_).CopyTo(point);
  }

  HRESULT Fire(LONG value) {
    if (!sink_) return S_OK;
    std::vector<Variant> args{Variant(value)};
    return InvokeDispid(sink_.Get(), 203, DISPATCH_METHOD, args).hr;
  }

  void Detach() { point_->Detach(); }  // as the destructor does

  int changes = 0;

 private:
  ComPtr<ConnectionPoint> point_;
  ComPtr<IDispatch> sink_;
};

ComPtr<IDispatch> RecordingSink(std::vector<LONG>& seen) {
  return MakeDispatchSink(kEvents, [&seen](DISPID, std::span<VARIANT> args, VARIANT*) {
    seen.push_back(args[0].lVal);
    return S_OK;
  });
}

TEST(ConnectionPoint, NewestSinkReceivesEventsUntilUnadvised) {
  ComPtr<Control> control = MakeComObject<Control>();
  ComPtr<IConnectionPointContainer> container = control.As<IConnectionPointContainer>();
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(kEvents, point.Out()), S_OK);
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.Out()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(kEvents, point.Out()), S_OK);
  IID iid{};
  point->GetConnectionInterface(&iid);
  EXPECT_EQ(iid, kEvents);
  ComPtr<IConnectionPointContainer> back;
  EXPECT_EQ(point->GetConnectionPointContainer(back.Out()), S_OK);
  EXPECT_EQ(back.Get(), container.Get());
  back.Reset();

  EXPECT_EQ(control->Fire(1), S_OK);  // no sink: nothing delivered, no failure
  std::vector<LONG> first, second;
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(point->Advise(RecordingSink(first).Get(), &c1), S_OK);
  control->Fire(2);
  ASSERT_EQ(point->Advise(RecordingSink(second).Get(), &c2), S_OK);
  EXPECT_NE(c1, c2);
  control->Fire(3);  // the newer sink replaces the first
  EXPECT_EQ(point->Unadvise(c2), S_OK);
  control->Fire(4);  // back to the remaining one
  EXPECT_EQ(point->Unadvise(c1), S_OK);
  control->Fire(5);
  EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(first, (std::vector<LONG>{2, 4}));
  EXPECT_EQ(second, (std::vector<LONG>{3}));
  EXPECT_EQ(control->changes, 4);
}

TEST(ConnectionPoint, SingleSinkPolicyReplacesTheSinkAndRefusesItsStaleCookie) {
  ComPtr<Control> control = MakeComObject<Control>(SinkPolicy::Single);
  ComPtr<IConnectionPoint> point;
  control->FindConnectionPoint(kEvents, point.Out());
  std::vector<LONG> first, second;
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(point->Advise(RecordingSink(first).Get(), &c1), S_OK);
  control->Fire(1);
  ASSERT_EQ(point->Advise(RecordingSink(second).Get(), &c2), S_OK);
  control->Fire(2);
  EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);  // stale: changes nothing
  control->Fire(3);
  EXPECT_EQ(point->Unadvise(c2), S_OK);
  control->Fire(4);  // no sink left, not the first one again
  EXPECT_EQ(first, std::vector<LONG>{1});
  EXPECT_EQ(second, (std::vector<LONG>{2, 3}));
  EXPECT_EQ(control->changes, 3);

  control->Detach();  // the control is going: no more sinks
  DWORD late = 5;
  EXPECT_EQ(point->Advise(RecordingSink(first).Get(), &late), E_UNEXPECTED);
  EXPECT_EQ(late, 0u);
}

TEST(ConnectionPoint, SinkWithoutTheEventsInterfaceIsRefused) {
  ComPtr<Control> control = MakeComObject<Control>();
  ComPtr<IConnectionPoint> point;
  control->FindConnectionPoint(kEvents, point.Out());
  std::vector<LONG> seen;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(RecordingSink(seen).Get(), &cookie), S_OK);
  ComPtr<IDispatch> plain = MakeDispatchSink(GUID_NULL, nullptr);
  DWORD refused = 7;
  EXPECT_EQ(point->Advise(plain.Get(), &refused), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(refused, 0u);
  control->Fire(9);  // the previous sink is kept
  EXPECT_EQ(seen, std::vector<LONG>{9});
  ComPtr<IEnumConnections> connections;
  EXPECT_EQ(point->EnumConnections(connections.Out()), E_NOTIMPL);
}

TEST(AmbientUserMode, DesignModeOnlyWhenTheSiteAnswersFalse) {
  using test::TFakeClientSite;
  EXPECT_TRUE(IsDesignMode(MakeComObject<TFakeClientSite>(TFakeClientSite::Design).Get()));
  EXPECT_FALSE(IsDesignMode(MakeComObject<TFakeClientSite>(TFakeClientSite::Running).Get()));
  EXPECT_FALSE(IsDesignMode(MakeComObject<TFakeClientSite>(TFakeClientSite::NoAnswer).Get()));  // running
  EXPECT_FALSE(IsDesignMode(nullptr));
}

}  // namespace
}  // namespace tw::com
