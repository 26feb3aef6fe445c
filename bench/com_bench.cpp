#include <benchmark/benchmark.h>

#include <vector>

#include "platform/com/dispatch_call.h"
#include "platform/com/dispatch_table.h"

namespace tw::com {
namespace {

class IBench : public IDispatch {
 public:
  static constexpr IID kIid{0x6A1E0040, 0x5555, 0x4666, {0x87, 0x77, 0, 0, 0, 0, 0, 0x40}};
  using Base = IDispatch;
  virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;
  virtual HRESULT Echo(BSTR text, BSTR* copy) = 0;
};

class Bench final : public ComObject<Bench, DispatchImpl<Bench, IBench>> {
 public:
  HRESULT Add(LONG a, LONG b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  HRESULT Echo(BSTR text, BSTR* copy) override {
    *copy = SysAllocStringLen(text, SysStringLen(text));
    return S_OK;
  }
  static const DispatchTable<IBench>& DispTable() {
    static const DispatchTable<IBench> table(IBench::kIid, u"Bench",
                                             {Method(u"Add", 1, &IBench::Add), Method(u"Echo", 2, &IBench::Echo)});
    return table;
  }
};

void BM_BstrAllocFree(benchmark::State& state) {
  std::u16string text(static_cast<size_t>(state.range(0)), u'x');
  for (auto _ : state) {
    BSTR s = SysAllocString(text);
    benchmark::DoNotOptimize(s);
    SysFreeString(s);
  }
}
BENCHMARK(BM_BstrAllocFree)->Arg(16)->Arg(1024);

void BM_VariantFromBytes(benchmark::State& state) {
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 7);
  for (auto _ : state) {
    Variant v;
    VariantFromBytes(bytes, &v);
    benchmark::DoNotOptimize(v.parray);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VariantFromBytes)->Arg(1024)->Arg(65536);

void BM_InvokeByDispid(benchmark::State& state) {
  ComPtr<Bench> object = MakeComObject<Bench>();
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = args[1].vt = VT_I4;
  args[0].lVal = 2;
  args[1].lVal = 40;
  DISPPARAMS dp{args, nullptr, 2, 0};
  for (auto _ : state) {
    VARIANT result;
    VariantInit(&result);
    object->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &dp, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result.lVal);
  }
}
BENCHMARK(BM_InvokeByDispid);

void BM_CallByNameWithString(benchmark::State& state) {
  ComPtr<Bench> object = MakeComObject<Bench>();
  for (auto _ : state) {
    DispResult r = Call(object.Get(), u"echo", u"a chat message of some length");
    benchmark::DoNotOptimize(r.value.bstrVal);
  }
}
BENCHMARK(BM_CallByNameWithString);

}  // namespace
}  // namespace tw::com

BENCHMARK_MAIN();
