// Inside the media-graph layer: the base of its filters and pins, which the
// graph manager and the capture builder reach through a private interface id
// to connect pins and pass samples.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/camera.h"
#include "platform/dshow/dshow.h"

namespace tw::dshow::detail {

// Private identities: QueryInterface with them yields the C++ object itself.
inline constexpr GUID kIidPinBase{0x3F0A61D2, 0x11C4, 0x4E0B, {0x9B, 0x6A, 0x2C, 0x71, 0x0E, 0x55, 0xA1, 0x01}};
inline constexpr GUID kIidFilterBase{0x3F0A61D2, 0x11C4, 0x4E0B, {0x9B, 0x6A, 0x2C, 0x71, 0x0E, 0x55, 0xA1, 0x02}};
inline constexpr GUID CLSID_CaptureSource{0x3F0A61D2, 0x11C4, 0x4E0B, {0x9B, 0x6A, 0x2C, 0x71, 0x0E, 0x55, 0xA1, 0x03}};

struct Sample {
  REFERENCE_TIME start;
  REFERENCE_TIME stop;
  const uint8_t* data;
  size_t length;
};

class FilterBase;

// A pin; its references are its filter's.
class PinBase : public IPin {
 public:
  PinBase(FilterBase& filter, PIN_DIRECTION direction, const GUID* category = nullptr);
  virtual ~PinBase() = default;

  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Disconnect() override;
  HRESULT ConnectedTo(IPin** pin) override;
  HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
  HRESULT QueryDirection(PIN_DIRECTION* direction) override;
  HRESULT QueryFilter(IBaseFilter** filter) override;
  HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;

  // What EnumMediaTypes lists.
  virtual std::vector<MediaType> ListedTypes() { return {}; }
  // Output pins: the types a connection may take, in preference order.
  virtual std::vector<MediaType> ProposedTypes() { return ListedTypes(); }
  // Input pins: whether a connection with `mt` is welcome.
  virtual bool Accepts(const AM_MEDIA_TYPE&) { return false; }
  // Input pins: one sample, on the streaming thread.
  virtual void Receive(const Sample&) {}
  virtual void Connected() {}
  virtual void Disconnected() {}
  // Extra interfaces of the pin (IAMStreamConfig).
  virtual void* QueryExtra(const GUID&) { return nullptr; }

  PIN_DIRECTION Direction() const { return direction_; }
  const GUID* Category() const { return category_; }
  FilterBase& Filter() { return filter_; }
  bool IsConnected();
  MediaType ConnectedType();

  // Joins this output pin to `input` with `mt` (both unconnected).
  static void Link(PinBase& output, PinBase& input, const MediaType& mt);
  // Output pins: hands a sample to the connected input (nothing when none).
  void Deliver(const Sample& sample);

 private:
  void Unlink();

  FilterBase& filter_;
  PIN_DIRECTION direction_;
  const GUID* category_;
  // Guards peer_ and type_. An output pin holds it while it delivers, so a
  // disconnection waits for the sample in flight; locks go output first.
  std::mutex mutex_;
  PinBase* peer_ = nullptr;
  MediaType type_;
};

// A filter with its pins, state and graph; reference counted.
class FilterBase : public IBaseFilter {
 public:
  explicit FilterBase(const GUID& clsid) : clsid_(clsid) {}
  virtual ~FilterBase() = default;
  FilterBase(const FilterBase&) = delete;
  FilterBase& operator=(const FilterBase&) = delete;

  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override;
  HRESULT GetClassID(GUID* clsid) override;
  HRESULT Stop() override;
  HRESULT Pause() override;
  HRESULT Run(REFERENCE_TIME start) override;
  HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) override;
  HRESULT EnumPins(IEnumPins** pins) override;
  HRESULT JoinFilterGraph(IFilterGraph* graph, const char16_t* name) override;
  HRESULT QueryFilterInfo(FILTER_INFO* info) override;

  virtual void* QueryExtra(const GUID&) { return nullptr; }
  // Sources start and stop their streaming thread here.
  virtual HRESULT OnRun() { return S_OK; }
  virtual void OnStop() {}
  virtual bool IsSource() const { return false; }

  std::vector<PinBase*> Pins();
  FILTER_STATE State() const { return state_.load(); }
  // Raises a graph event through the graph the filter is in (nothing outside a graph).
  void NotifyGraph(LONG code, LONG_PTR param1, LONG_PTR param2);

 protected:
  void AddPin(std::unique_ptr<PinBase> pin) { pins_.push_back(std::move(pin)); }

 private:
  GUID clsid_;
  std::atomic<ULONG> refs_{0};
  std::atomic<FILTER_STATE> state_{State_Stopped};
  std::mutex graphMutex_;
  IFilterGraph* graph_ = nullptr;  // not counted: the graph holds the filter
  std::u16string name_;             // as added to the graph
  std::vector<std::unique_ptr<PinBase>> pins_;
};

PinBase* PinOf(IPin* pin);
FilterBase* FilterOf(IUnknown* filter);

// Object factories for the class objects and the graph.
ComPtr<IBaseFilter> MakeCaptureFilter(std::unique_ptr<Camera> camera);
ComPtr<IBaseFilter> MakeColourConverter();
ComPtr<IBaseFilter> MakeSampleGrabber();
ComPtr<IBaseFilter> MakeVideoRenderer();
ComPtr<IBaseFilter> MakeAudioRenderer();
ComPtr<IBaseFilter> MakeMixingRenderer();
ComPtr<IUnknown> MakeDvdGraphBuilder();
ComPtr<IUnknown> MakeFilterGraph();
ComPtr<IUnknown> MakeCaptureGraphBuilder();
ComPtr<IUnknown> MakeSystemDeviceEnum();
ComPtr<IMoniker> MakeDeviceMoniker(const std::string& path);
// The moniker of one of the layer's own filter classes: its bag gives
// "CLSID" and "FriendlyName", binding it makes a new filter.
ComPtr<IMoniker> MakeClassMoniker(const GUID& clsid, const std::string& friendlyName);

// A media-type enumerator over a copy of `types`.
ComPtr<IEnumMediaTypes> MakeMediaTypeEnum(std::vector<MediaType> types);

// Marks the calling thread as a streaming thread while alive.
class StreamingThreadMark {
 public:
  StreamingThreadMark();
  ~StreamingThreadMark();
};

// Whether a colour converter takes `mt` as input.
bool ConverterAccepts(const AM_MEDIA_TYPE& mt);
// RGB24 VideoInfo, bottom-up, of the size and frame time of `mt`.
MediaType Rgb24Like(const AM_MEDIA_TYPE& mt);

}  // namespace tw::dshow::detail
