// The server control's per-call costs: a property get through the vtable
// and through IDispatch::Invoke, and the delivery of binary messages from a
// loopback client to the container's event sink.
#include <benchmark/benchmark.h>

#include "tests/server/control_container.h"

using namespace tw;
using namespace tw::com;
using namespace tw::test;

namespace {

// One registered, created control for the whole run.
struct Container {
  TempRegistryDir registry;
  ComPtr<ItwParleySrvX> ctl;
  Container() {
    CallExport("DllRegisterServer");
    CoCreateInstance(CLSID_twParleySrvX, nullptr, CLSCTX_INPROC_SERVER, IID_ItwParleySrvX, ctl.OutVoid());
  }
};

Container& TheContainer() {
  static Container c;
  return c;
}

void BM_LastErrorThroughVtable(benchmark::State& state) {
  ItwParleySrvX* ctl = TheContainer().ctl.Get();
  LONG v = 0;
  for (auto _ : state) {
    ctl->get_LastError(&v);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_LastErrorThroughVtable);

void BM_LastErrorThroughInvoke(benchmark::State& state) {
  ItwParleySrvX* ctl = TheContainer().ctl.Get();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (auto _ : state) {
    Variant result;
    ctl->Invoke(DISPID_SRV_LASTERROR, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                nullptr);
    benchmark::DoNotOptimize(result.lVal);
  }
}
BENCHMARK(BM_LastErrorThroughInvoke);

// A client sends a burst of `range(0)`-byte messages; the time until the
// sink has seen all of them.
void BM_BinaryMessagesToTheSink(benchmark::State& state) {
  Container& c = TheContainer();
  TSink sink;
  size_t received = 0;
  sink.react[DISPID_SRV_ONCONNECTIONREQUEST] = Admit(u"");
  sink.react[DISPID_SRV_ONBINARYMESSAGE] = [&](std::span<VARIANT>) {
    ++received;
    return S_OK;
  };
  ComPtr<IConnectionPoint> point;
  c.ctl.As<IConnectionPointContainer>()->FindConnectionPoint(DIID_ItwParleySrvXEvents, point.Out());
  point->Advise(sink.dispatch.Get(), &sink.cookie);
  VARIANT_BOOL ok;
  c.ctl->put_ListeningPort(0);
  c.ctl->Start(&ok);
  const uint16_t port = ListeningPorts().at(0);
  TClient client;
  client.pipe = client.mill->OpenSession(u"127.0.0.1", port, kParleyAppId, u"", u"");
  win32::RunUntil([&] { return client.State() == psSession; }, 3000);
  const std::string body = StrToField(std::string(static_cast<size_t>(state.range(0)), 'x'));
  constexpr int kBurst = 200;
  for (auto _ : state) {
    const size_t target = received + kBurst;
    for (int i = 0; i < kBurst; ++i) client.Send(CMD_BINARY, body);
    if (!win32::RunUntil([&] { return received >= target; }, 10000)) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.SetBytesProcessed(state.iterations() * kBurst * state.range(0));
  point->Unadvise(sink.cookie);
  c.ctl->Stop(&ok);
}
BENCHMARK(BM_BinaryMessagesToTheSink)->Arg(64)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
