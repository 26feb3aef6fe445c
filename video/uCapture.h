// TCapture: the client engine's door to the camera. It lists the video
// capture devices and, for the selected one, the uncompressed RGB formats of
// its first pin; it builds and runs a capture graph (device, sample grabber,
// video renderer) at 16 frames per second and hands each frame to OnFrame as a
// 24-bit bitmap, on the streaming thread.
//
// Every operation runs on the thread that created the object, never raises
// and answers False on failure; what it caught goes to OnFailure. OnFrame runs on the streaming thread with the
// object's own bitmap, which the next frame overwrites: the handler copies
// what it keeps. Stopping joins the streaming thread, so no OnFrame runs once
// StopCapture has returned; StopCapture is refused (False) from inside OnFrame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Libraries/DSKit/DSKit.h"
#include "Libraries/DSKit/DSUtil.h"
#include "platform/bitmap/bitmap.h"
#include "platform/win32/window.h"

namespace tw::video {

using com::ComPtr;
using com::GUID;

// One usable format: a media type of the device's first pin and its width.
struct TFormat {
  int32_t MediaTypeIndex;
  int32_t Width;
};

// One usable capture device.
struct TDevice {
  std::string Name;       // friendly name, at most 255 characters
  int32_t EnumIndex = 0;  // position in the enumeration of the device category
  std::vector<TFormat> Formats;       // sorted by ascending width
  dskit::TEnumMediaType MediaTypes;   // every media type of the first pin
};

class TCapture {
 public:
  using TOnFrame = std::function<void(TCapture& sender, win32::Bitmap& frame)>;

  TCapture();
  // Stops capture; when the stop fails the graph is torn down all the same.
  ~TCapture();
  TCapture(const TCapture&) = delete;
  TCapture& operator=(const TCapture&) = delete;

  // Set before StartCapture; called on the streaming thread.
  TOnFrame OnFrame;
  // A failure the form caught (and answered False for, or dropped the frame
  // for), as "<component>.<step>: <what>", always on the creating thread: a
  // frame's failure on the streaming thread is handed over through the form's
  // window, the first one of each capture run only (a failing handler fails
  // every frame). Unset, failures are not reported.
  std::function<void(const std::string& text)> OnFailure;

  // Rebuilds the device list and every device's formats; True at once while running.
  bool EnumerateDevices();
  int32_t DeviceCount() const { return static_cast<int32_t>(devices_.size()); }
  // Empty outside 0 .. DeviceCount-1.
  std::string DeviceName(int32_t index) const;
  int32_t DeviceIndex() const { return deviceIndex_; }
  // Ignored (True) for the current index or one at or above the count; a
  // running capture restarts on the new device with the same format index.
  // A negative index is refused with False.
  bool SetDeviceIndex(int32_t index);
  // Formats of the selected device; 0 when no device is selected.
  int32_t FormatCount() const;
  // The size of format `index` of the selected device (height negative for a
  // top-down format); False for an index outside the list.
  bool GetFormatSize(int32_t index, int32_t& width, int32_t& height) const;
  int32_t FormatIndex() const { return formatIndex_; }
  // Stored without an upper check (a start then keeps the device's own
  // format); restarts a running capture. A negative index is refused with False.
  bool SetFormatIndex(int32_t index);

  bool StartCapture();
  bool StopCapture();
  bool Running() const { return running_; }
  int32_t FrameRate() const { return kFrameRate; }
  // The hidden window the video renderer is placed in. It is never shown:
  // closing it only hides it, so Close leaves the capture as it is.
  win32::HWND Handle() const { return window_.Handle(); }
  static constexpr const char* kCaption = "Video Capture Devices";
  void Close() { visible_ = false; }
  bool Visible() const { return visible_; }
  // The window's log lines; enumerating a device's formats clears them and
  // nothing else writes them.
  const std::vector<std::string>& Log() const { return log_; }
  const TDevice* Device(int32_t index) const;

  // Building blocks, public for their tests.
  static constexpr int32_t kFrameRate = 16;
  // The first subtype of RGB24, RGB32, RGB555, RGB565, RGB8 that any type carries.
  static std::optional<GUID> ChooseRgbSubtype(dskit::TEnumMediaType& types);
  // biWidth / biHeight of a VideoInfo or VideoInfo2 block; 0 for anything else.
  static int32_t MediaTypeWidth(const dskit::TMediaType& type);
  static int32_t MediaTypeHeight(const dskit::TMediaType& type);
  // Sets AvgTimePerFrame to 10,000,000 div the frame rate (625,000) in place.
  static void ApplyFrameRate(dskit::TMediaType& type);
  static void SortFormats(std::vector<TFormat>& formats);

 private:
  bool CreateGraphComponents();
  bool FreeGraphComponents();
  void ListDevices();
  bool LoadSelectedDevice();
  void EnumerateFormats(TDevice* device);
  bool ApplyFormatQuiet();
  bool ApplyFormat();
  ComPtr<dshow::IBaseFilter> SourceBaseFilter();
  void SampleGrabberBuffer(dskit::TSampleGrabber& grabber, double sampleTime, const uint8_t* buffer, int32_t length);
  void TearDown();
  // `step` failed with the exception being handled (call inside a catch).
  void ReportCaught(const char* step);
  void Report(const std::string& text);
  void ReportFromStream(const std::string& text);
  void DeliverStreamReport();

  // Declared first, so it goes last: it is the parent of the video window,
  // which goes before it. Nothing is dispatched while the members go.
  win32::HiddenWindow window_;
  std::mutex streamReportMutex_;
  std::optional<std::string> streamReport_;  // waiting for the creating thread
  bool streamReported_ = false;              // this capture run's one report was taken
  bool visible_ = false;
  std::vector<std::string> log_;
  win32::Bitmap frameBitmap_{0, 0, win32::PixelFormat::pf16bit};
  std::unique_ptr<dskit::TSysDevEnum> deviceEnum_;
  std::vector<std::unique_ptr<TDevice>> devices_;
  TDevice* currentDevice_ = nullptr;
  int32_t deviceIndex_ = 0;
  int32_t formatIndex_ = 0;
  bool running_ = false;
  // The graph components exist together or not at all.
  std::unique_ptr<dskit::TFilterGraph> graph_;
  std::unique_ptr<dskit::TFilter> sourceFilter_;
  std::unique_ptr<dskit::TSampleGrabber> grabber_;
  std::unique_ptr<dskit::TVideoWindow> videoWindow_;
};

}  // namespace tw::video
