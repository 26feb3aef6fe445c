#include "video/uCapture.h"

#include <algorithm>
#include <cstring>

#include "platform/com/errorinfo.h"

namespace tw::video {

using namespace tw::dshow;
using dskit::EDirectShowException;
using dskit::RaiseOnFailure;
using dskit::TEnumMediaType;
using dskit::TMediaType;
using dskit::TPinList;

namespace {

const GUID* const kSubtypePreference[] = {&MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_RGB555,
                                          &MEDIASUBTYPE_RGB565, &MEDIASUBTYPE_RGB8};

int32_t ReadInt32(const AM_MEDIA_TYPE& mt, size_t offset) {
  int32_t v = 0;
  std::memcpy(&v, mt.pbFormat + offset, sizeof v);
  return v;
}

// Offset of biWidth in the block, or 0 when the type has no video block.
size_t WidthOffset(const AM_MEDIA_TYPE& mt) {
  if (!mt.pbFormat || mt.cbFormat == 0) return 0;
  if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER)) return 52;
  if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2)) return 76;
  return 0;
}

// Posted to the form's window when a frame's failure waits to be reported.
constexpr win32::UINT kStreamFailure = win32::WM_APP + 1;

template <class C, class I>
ComPtr<I> TakeFrom(C& component) {
  ComPtr<I> p;
  RaiseOnFailure(component.QueryInterface(I::kIid, p.OutVoid()));
  if (!p) RaiseOnFailure(com::E_NOINTERFACE);
  return p;
}

}  // namespace

TCapture::TCapture()
    : window_([this](win32::HWND, win32::UINT message, win32::WPARAM, win32::LPARAM) {
        if (message == kStreamFailure) DeliverStreamReport();
        return win32::LRESULT{0};
      }) {}

TCapture::~TCapture() {
  if (!StopCapture()) TearDown();
}

// ---- Queries ---------------------------------------------------------------------------

std::string TCapture::DeviceName(int32_t index) const {
  const TDevice* d = Device(index);
  return d ? d->Name : std::string();
}

const TDevice* TCapture::Device(int32_t index) const {
  if (index < 0 || index >= DeviceCount()) return nullptr;
  return devices_[static_cast<size_t>(index)].get();
}

int32_t TCapture::FormatCount() const {
  const TDevice* d = Device(deviceIndex_);
  return d ? static_cast<int32_t>(d->Formats.size()) : 0;
}

bool TCapture::GetFormatSize(int32_t index, int32_t& width, int32_t& height) const {
  const TDevice* d = Device(deviceIndex_);
  if (!d || index < 0 || index >= static_cast<int32_t>(d->Formats.size())) return false;
  const int32_t mtIndex = d->Formats[static_cast<size_t>(index)].MediaTypeIndex;
  const TEnumMediaType& types = d->MediaTypes;
  if (mtIndex < 0 || mtIndex >= types.Count()) return false;
  width = MediaTypeWidth(types.Items(mtIndex));
  height = MediaTypeHeight(types.Items(mtIndex));
  return true;
}

std::optional<GUID> TCapture::ChooseRgbSubtype(TEnumMediaType& types) {
  for (const GUID* subtype : kSubtypePreference) {
    for (int i = 0; i < types.Count(); ++i) {
      if (types.Items(i).Subtype() == *subtype) return *subtype;
    }
  }
  return std::nullopt;
}

int32_t TCapture::MediaTypeWidth(const TMediaType& type) {
  const size_t offset = WidthOffset(type.AMMediaType());
  return offset ? ReadInt32(type.AMMediaType(), offset) : 0;
}

int32_t TCapture::MediaTypeHeight(const TMediaType& type) {
  const size_t offset = WidthOffset(type.AMMediaType());
  return offset ? ReadInt32(type.AMMediaType(), offset + 4) : 0;
}

void TCapture::ApplyFrameRate(TMediaType& type) {
  AM_MEDIA_TYPE& mt = type.AMMediaType();
  if (!WidthOffset(mt)) return;
  const REFERENCE_TIME frameTime = 10'000'000 / kFrameRate;
  std::memcpy(mt.pbFormat + 40, &frameTime, sizeof frameTime);
}

void TCapture::SortFormats(std::vector<TFormat>& formats) {
  std::sort(formats.begin(), formats.end(), [](const TFormat& a, const TFormat& b) { return a.Width < b.Width; });
}

// ---- Graph components -------------------------------------------------------------------

bool TCapture::CreateGraphComponents() {
  try {
    sourceFilter_ = std::make_unique<dskit::TFilter>();
    grabber_ = std::make_unique<dskit::TSampleGrabber>();
    grabber_->OnBuffer = [this](dskit::TSampleGrabber& g, double t, const uint8_t* b, int32_t n) {
      SampleGrabberBuffer(g, t, b, n);
    };
    grabber_->OnFailure = [this](const std::string& text) { ReportFromStream(text); };
    graph_ = std::make_unique<dskit::TFilterGraph>();
    graph_->OnFailure = [this](const std::string& text) { Report(text); };
    graph_->SetMode(dskit::gmCapture);
    videoWindow_ = std::make_unique<dskit::TVideoWindow>(window_.Handle());
    videoWindow_->VMROptions().SetMode(dskit::vmrRenderless);
    grabber_->SetFilterGraph(graph_.get());
    sourceFilter_->SetFilterGraph(graph_.get());
    videoWindow_->SetFilterGraph(graph_.get());
    return true;
  } catch (...) {
    ReportCaught("CreateGraphComponents");
    FreeGraphComponents();
    return false;
  }
}

bool TCapture::FreeGraphComponents() {
  // Each component leaves the graph as it goes; none of them raises on the way.
  sourceFilter_.reset();
  grabber_.reset();
  videoWindow_.reset();
  graph_.reset();
  return true;
}

ComPtr<IBaseFilter> TCapture::SourceBaseFilter() { return TakeFrom<dskit::TFilter, IBaseFilter>(*sourceFilter_); }

// ---- Devices and formats ------------------------------------------------------------------

void TCapture::ListDevices() {
  devices_.clear();
  currentDevice_ = nullptr;
  deviceEnum_.reset();
  deviceEnum_ = std::make_unique<dskit::TSysDevEnum>(CLSID_VideoInputDeviceCategory);
  for (int i = 0; i < deviceEnum_->FilterCount(); ++i) {
    auto device = std::make_unique<TDevice>();
    device->Name = deviceEnum_->FilterRecord(i).FriendlyName;
    device->EnumIndex = i;
    devices_.push_back(std::move(device));
  }
}

bool TCapture::LoadSelectedDevice() {
  currentDevice_ = nullptr;
  if (deviceIndex_ < 0 || deviceIndex_ >= DeviceCount() || !deviceEnum_) return false;
  currentDevice_ = devices_[static_cast<size_t>(deviceIndex_)].get();
  try {
    deviceEnum_->SelectCategory(CLSID_VideoInputDeviceCategory);
    // A camera plugged in or out since the listing moves the others: find
    // the device by its name when its position now names another one.
    int position = currentDevice_->EnumIndex;
    if (position >= deviceEnum_->FilterCount() ||
        deviceEnum_->FilterRecord(position).FriendlyName != currentDevice_->Name) {
      for (int i = 0; i < deviceEnum_->FilterCount(); ++i) {
        if (deviceEnum_->FilterRecord(i).FriendlyName == currentDevice_->Name) {
          position = i;
          break;
        }
      }
    }
    graph_->ResetGraph();
    graph_->SetActive(false);
    ComPtr<IMoniker> moniker = deviceEnum_->MonikerAt(position);
    sourceFilter_->BaseFilter().StoreMoniker(moniker.Get());
    return true;
  } catch (...) {
    ReportCaught("LoadSelectedDevice");
    return false;
  }
}

void TCapture::EnumerateFormats(TDevice* device) {
  if (!device) return;
  log_.clear();
  device->Formats.clear();
  formatIndex_ = 0;
  graph_->SetActive(true);
  {
    TPinList pins(SourceBaseFilter().Get());
    device->MediaTypes.LoadFromPin(pins.FirstPin().Get());
  }
  if (std::optional<GUID> subtype = ChooseRgbSubtype(device->MediaTypes)) {
    for (int i = 0; i < device->MediaTypes.Count(); ++i) {
      const TMediaType& t = device->MediaTypes.Items(i);
      if (t.Subtype() == *subtype) device->Formats.push_back({i, MediaTypeWidth(t)});
    }
  }
  graph_->SetActive(false);
  SortFormats(device->Formats);
}

bool TCapture::EnumerateDevices() {
  if (running_) return true;
  if (!CreateGraphComponents()) return false;
  bool ok = true;
  try {
    ListDevices();
    for (int32_t n = DeviceCount() - 1; n >= 0; --n) {
      deviceIndex_ = n;
      LoadSelectedDevice();
      EnumerateFormats(devices_[static_cast<size_t>(n)].get());
      if (devices_[static_cast<size_t>(n)]->Formats.empty()) devices_.erase(devices_.begin() + n);
    }
  } catch (...) {
    ReportCaught("EnumerateDevices");
    ok = false;
  }
  if (!FreeGraphComponents()) ok = false;
  currentDevice_ = nullptr;
  if (deviceIndex_ >= DeviceCount()) deviceIndex_ = 0;
  return ok;
}

bool TCapture::SetDeviceIndex(int32_t index) {
  if (index < 0) return false;
  if (index == deviceIndex_ || index >= DeviceCount()) return true;
  deviceIndex_ = index;
  if (running_) {
    StopCapture();
    StartCapture();
  }
  return true;
}

bool TCapture::SetFormatIndex(int32_t index) {
  if (index < 0) return false;
  if (index == formatIndex_) return true;
  formatIndex_ = index;
  if (running_) {
    StopCapture();
    StartCapture();
  }
  return true;
}

// ---- Capture -----------------------------------------------------------------------------------

bool TCapture::ApplyFormat() {
  if (!currentDevice_) return false;
  if (formatIndex_ < 0 || formatIndex_ >= static_cast<int32_t>(currentDevice_->Formats.size())) return false;
  const int32_t mtIndex = currentDevice_->Formats[static_cast<size_t>(formatIndex_)].MediaTypeIndex;
  if (mtIndex >= currentDevice_->MediaTypes.Count()) return false;
  graph_->SetActive(true);
  TPinList pins(SourceBaseFilter().Get());
  TMediaType& type = currentDevice_->MediaTypes.Items(mtIndex);
  ApplyFrameRate(type);
  ComPtr<IAMStreamConfig> config = pins.FirstPin().As<IAMStreamConfig>();
  if (!config) RaiseOnFailure(com::E_NOINTERFACE);
  config->SetFormat(&type.AMMediaType());
  return true;
}

bool TCapture::ApplyFormatQuiet() {
  try {
    return ApplyFormat();
  } catch (...) {
    ReportCaught("ApplyFormat");
    return false;
  }
}

bool TCapture::StartCapture() {
  if (running_) return true;
  {
    std::lock_guard lock(streamReportMutex_);
    streamReported_ = false;  // each run may report its first failing frame
  }
  if (!CreateGraphComponents()) return false;
  try {
    // The graph is activated as soon as the device is loaded, so a format
    // index outside the list leaves the device on its own format.
    if (LoadSelectedDevice()) graph_->SetActive(true);
    ApplyFormatQuiet();
    ApplyFormat();
    ComPtr<IBaseFilter> renderer = TakeFrom<dskit::TVideoWindow, IBaseFilter>(*videoWindow_);
    ComPtr<IBaseFilter> grabber = TakeFrom<dskit::TSampleGrabber, IBaseFilter>(*grabber_);
    ComPtr<IBaseFilter> source = SourceBaseFilter();
    ComPtr<ICaptureGraphBuilder2> builder = graph_->As<ICaptureGraphBuilder2>();
    if (!builder) RaiseOnFailure(com::E_NOINTERFACE);
    // Not examined: a stream that cannot be connected runs without frames.
    builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), grabber.Get(), renderer.Get());
    if (!graph_->RunGraph()) RaiseOnFailure(com::E_UNEXPECTED);
    running_ = true;
    return true;
  } catch (...) {
    ReportCaught("StartCapture");
    TearDown();
    return false;
  }
}

bool TCapture::StopCapture() {
  // From the streaming thread the stop would wait for itself.
  if (OnStreamingThread()) return false;
  if (!running_) return true;
  try {
    graph_->StopGraph();
  } catch (...) {
    ReportCaught("StopCapture");
    return false;
  }
  try {
    graph_->SetActive(false);
  } catch (...) {
    ReportCaught("StopCapture.Deactivate");
  }
  FreeGraphComponents();
  running_ = false;
  return true;
}

void TCapture::TearDown() {
  if (graph_) {
    try {
      graph_->StopGraph();
    } catch (...) {
      ReportCaught("TearDown.Stop");
    }
    try {
      graph_->SetActive(false);
    } catch (...) {
      ReportCaught("TearDown.Deactivate");
    }
  }
  FreeGraphComponents();
  running_ = false;
}

void TCapture::SampleGrabberBuffer(dskit::TSampleGrabber& grabber, double, const uint8_t* buffer, int32_t length) {
  if (!OnFrame) return;
  grabber.CopyFrameToBitmap(frameBitmap_, buffer, length);
  if (frameBitmap_.Width() == 0 || frameBitmap_.Height() == 0) return;  // no picture yet
  if (frameBitmap_.Format() != win32::PixelFormat::pf24bit) frameBitmap_.SetPixelFormat(win32::PixelFormat::pf24bit);
  OnFrame(*this, frameBitmap_);
}

// ---- Failure reports -----------------------------------------------------------------------------

void TCapture::ReportCaught(const char* step) {
  Report(std::string("TCapture.") + step + ": " + com::CaughtExceptionText());
}

void TCapture::Report(const std::string& text) {
  if (OnFailure) {
    const auto handler = OnFailure;
    handler(text);
  }
}

// Streaming thread: the report waits for the creating thread, which the
// posted message wakes.
void TCapture::ReportFromStream(const std::string& text) {
  {
    std::lock_guard lock(streamReportMutex_);
    if (streamReported_) return;
    streamReported_ = true;
    streamReport_ = text;
  }
  win32::PostMessageA(window_.Handle(), kStreamFailure, 0, 0);
}

void TCapture::DeliverStreamReport() {
  std::optional<std::string> text;
  {
    std::lock_guard lock(streamReportMutex_);
    text.swap(streamReport_);
  }
  if (text) Report(*text);
}

}  // namespace tw::video
