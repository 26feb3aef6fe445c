// TSampleGrabber: the graph component of the sample grabber, with its frame
// event on the streaming thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "Libraries/DSKit/FilterGraph.h"
#include "platform/bitmap/bitmap.h"

namespace tw::dskit {

// The sample grabber: accepts RGB24 VideoInfo video and fires OnBuffer for
// every sample on the streaming thread, one call at a time.
class TSampleGrabber final : public IGraphComponent {
 public:
  using TOnBuffer =
      std::function<void(TSampleGrabber& sender, double sampleTime, const uint8_t* buffer, int32_t length)>;

  // Raises EAssertionFailed("The SampleGrabber Filter is not available on
  // this system.") when the class is not registered.
  TSampleGrabber();
  ~TSampleGrabber();
  TSampleGrabber(const TSampleGrabber&) = delete;
  TSampleGrabber& operator=(const TSampleGrabber&) = delete;

  static bool SampleGrabberAvailable();

  // Set before the graph runs; read on the streaming thread.
  TOnBuffer OnBuffer;
  TMediaType& MediaType() { return mediaType_; }
  TFilterGraph* FilterGraph() const { return graph_; }
  void SetFilterGraph(TFilterGraph* graph);
  std::string Name;

  HRESULT QueryInterface(const GUID& iid, void** object);
  void UpdateMediaType();
  // Fills `bitmap` with the frame in `buffer` (or the grabber's current buffer
  // when null) in the connected format. False, and the bitmap untouched, when
  // the format is not one a bitmap can hold or the copy fails.
  bool CopyFrameToBitmap(win32::Bitmap& bitmap, const uint8_t* buffer, int32_t length);

  // The grabber callback (streaming thread): OnBuffer inside the critical
  // section; a failure of the handler drops the frame, never escapes, and is
  // reported through OnFailure.
  HRESULT BufferCB(double sampleTime, const uint8_t* buffer, int32_t length);
  // A failure of OnBuffer, on the streaming thread; set before the graph
  // runs. Unset, the exception's text goes to the layer's report hook.
  TFailureReport OnFailure;

  ComPtr<IBaseFilter> GetFilter() override { return filter_; }
  std::string GetName() override { return Name; }
  void NotifyFilter(int operation, int param) override;
  void GraphDestroyed(TFilterGraph& graph) override;

 private:
  class Callback;
  TMediaType mediaType_{dshow::MEDIATYPE_Video};
  TFilterGraph* graph_ = nullptr;
  ComPtr<IBaseFilter> filter_;
  ComPtr<dshow::ISampleGrabber> grabber_;
  ComPtr<IPin> inputPin_, outputPin_;
  com::ComPtr<Callback> callback_;
  std::mutex section_;
};

}  // namespace tw::dskit
