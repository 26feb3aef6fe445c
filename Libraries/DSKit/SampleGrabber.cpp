#include "Libraries/DSKit/SampleGrabber.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Libraries/DSKit/DSKitInternal.h"
#include "platform/com/errorinfo.h"

namespace tw::dskit {

using namespace tw::dshow;

// The grabber's callback object: forwards to its component until the component goes.
class TSampleGrabber::Callback final : public com::ComObject<Callback, ISampleGrabberCB> {
 public:
  explicit Callback(TSampleGrabber* owner) : owner_(owner) {}
  void Forget() {
    std::lock_guard lock(mutex_);
    owner_ = nullptr;
  }
  HRESULT SampleCB(double, IUnknown*) override { return com::S_OK; }
  HRESULT BufferCB(double time, BYTE* buffer, LONG length) override {
    std::lock_guard lock(mutex_);
    return owner_ ? owner_->BufferCB(time, buffer, length) : com::S_OK;
  }

 private:
  std::mutex mutex_;
  TSampleGrabber* owner_;
};

bool TSampleGrabber::SampleGrabberAvailable() {
  ComPtr<IBaseFilter> filter;
  const HRESULT hr =
      com::CoCreateInstance(CLSID_SampleGrabber, nullptr, com::CLSCTX_INPROC, IBaseFilter::kIid, filter.OutVoid());
  return hr == com::S_OK;
}

TSampleGrabber::TSampleGrabber() {
  if (!SampleGrabberAvailable()) throw EAssertionFailed("The SampleGrabber Filter is not available on this system.");
  mediaType_.SetSubtype(MEDIASUBTYPE_RGB24);
  mediaType_.SetFormatType(FORMAT_VideoInfo);
  callback_ = com::MakeComObject<Callback>(this);
}

TSampleGrabber::~TSampleGrabber() {
  SetFilterGraph(nullptr);
  callback_->Forget();
}

void TSampleGrabber::SetFilterGraph(TFilterGraph* graph) { MoveToGraph(*this, graph_, graph); }

HRESULT TSampleGrabber::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (iid == ISampleGrabberCB::kIid) return callback_->QueryInterface(iid, object);
  if (!filter_) return com::E_NOINTERFACE;
  return filter_->QueryInterface(iid, object);
}

void TSampleGrabber::NotifyFilter(int operation, int) {
  switch (operation) {
    case foAdding: {
      filter_.Reset();
      // The constructor found the class; a failure here leaves the component
      // without a filter, which makes the caller's use of it fail cleanly.
      com::CoCreateInstance(CLSID_SampleGrabber, nullptr, com::CLSCTX_INPROC, IBaseFilter::kIid, filter_.OutVoid());
      break;
    }
    case foAdded: {
      if (!filter_) break;
      grabber_ = filter_.As<ISampleGrabber>();
      TPinList pins(filter_.Get());
      if (!grabber_ || pins.Count() < 2) {
        grabber_.Reset();
        break;
      }
      inputPin_ = pins.Pins(0);
      outputPin_ = pins.Pins(1);
      UpdateMediaType();
      grabber_->SetBufferSamples(com::TRUE);
      grabber_->SetCallback(callback_.Get(), 1);
      break;
    }
    case foRemoving:
      if (filter_) filter_->Stop();
      if (inputPin_) inputPin_->Disconnect();
      if (outputPin_) outputPin_->Disconnect();
      break;
    case foRemoved:
      if (grabber_) {
        grabber_->SetCallback(nullptr, 1);
        grabber_->SetBufferSamples(com::FALSE);
      }
      filter_.Reset();
      grabber_.Reset();
      inputPin_.Reset();
      outputPin_.Reset();
      break;
    case foRefresh:
      UpdateMediaType();
      break;
    default:
      break;
  }
}

void TSampleGrabber::UpdateMediaType() {
  if (!grabber_) return;
  filter_->Stop();
  inputPin_->Disconnect();
  grabber_->SetMediaType(&mediaType_.AMMediaType());
}

void TSampleGrabber::GraphDestroyed(TFilterGraph& graph) {
  if (&graph == graph_) graph_ = nullptr;
}

HRESULT TSampleGrabber::BufferCB(double sampleTime, const uint8_t* buffer, int32_t length) {
  if (!OnBuffer) return com::S_OK;
  std::lock_guard lock(section_);
  try {
    OnBuffer(*this, sampleTime, buffer, length);
  } catch (...) {
    // The frame is dropped: nothing may unwind into the streaming thread.
    const std::string what = com::CaughtExceptionText();
    if (OnFailure)
      OnFailure("TSampleGrabber.OnBuffer: " + what);
    else
      ReportError(what);
  }
  return com::S_OK;
}

bool TSampleGrabber::CopyFrameToBitmap(win32::Bitmap& bitmap, const uint8_t* buffer, int32_t length) {
  if (buffer && length <= 0) return false;
  if (!grabber_) return false;
  AM_MEDIA_TYPE mt{};
  if (grabber_->GetConnectedMediaType(&mt) != com::S_OK) return false;
  struct Release {
    AM_MEDIA_TYPE& mt;
    ~Release() { ReleaseMediaTypeRecord(mt); }
  } release{mt};
  if (mt.majortype != MEDIATYPE_Video) return false;
  const BITMAPINFOHEADER* h = nullptr;
  if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat == sizeof(VIDEOINFOHEADER))
    h = &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
  else if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat == sizeof(VIDEOINFOHEADER2))
    h = &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
  if (!h) return false;

  win32::PixelFormat format;
  switch (h->biBitCount) {
    case 15:
    case 16:
      format = win32::PixelFormat::pf16bit;
      break;
    case 24:
      format = win32::PixelFormat::pf24bit;
      break;
    case 32:
      format = win32::PixelFormat::pf32bit;
      break;
    default:
      return false;
  }
  if (h->biCompression != BI_RGB || h->biWidth <= 0 || h->biHeight == 0 || h->biWidth > 16384) return false;
  // Top-down frames (negative height) have |height| rows, the top row first.
  const bool topDown = h->biHeight < 0;
  const int32_t rows = topDown ? -h->biHeight : h->biHeight;
  if (rows > 16384) return false;
  const int32_t stride = DibStride(h->biBitCount, h->biWidth);
  const int64_t computed = static_cast<int64_t>(stride) * rows * std::max<int32_t>(h->biPlanes, 1);
  const int64_t image = h->biSizeImage != 0 ? std::min<int64_t>(h->biSizeImage, computed) : computed;

  std::vector<uint8_t> pulled;
  if (!buffer) {
    com::LONG size = 0;
    if (grabber_->GetCurrentBuffer(&size, nullptr) != com::S_OK || size < 1) return false;
    pulled.resize(static_cast<size_t>(size));
    if (grabber_->GetCurrentBuffer(&size, reinterpret_cast<com::LONG*>(pulled.data())) != com::S_OK) return false;
    buffer = pulled.data();
    length = size;
  }
  const size_t n = static_cast<size_t>(std::min<int64_t>(length, image));

  // Reuse the bitmap's pixels when the size and format stay (the usual case).
  if (bitmap.Width() != h->biWidth || bitmap.Height() != rows || bitmap.Format() != format) {
    bitmap = win32::Bitmap(h->biWidth, rows, format);
  }
  std::span<uint8_t> bits = bitmap.Bits();
  if (!topDown) {
    std::memcpy(bits.data(), buffer, std::min(n, bits.size()));
    if (n < bits.size()) std::memset(bits.data() + n, 0, bits.size() - n);
  } else {
    const size_t rowBytes = static_cast<size_t>(stride);
    for (int32_t y = 0; y < rows; ++y) {
      uint8_t* dst = bitmap.ScanLine(y);
      const size_t offset = static_cast<size_t>(y) * rowBytes;
      const size_t take = offset < n ? std::min(rowBytes, n - offset) : 0;
      if (take) std::memcpy(dst, buffer + offset, take);
      if (take < rowBytes) std::memset(dst + take, 0, rowBytes - take);
    }
  }
  return true;
}

}  // namespace tw::dskit
