// Cameras: the sources behind the video input device category. Each camera is
// a named class behind the one interface `Camera`: `SyntheticCamera` (a
// deterministic moving test pattern, listed on every machine) and
// `V4l2Camera` (a capture device under /dev/video*). The device enumerator
// lists the cameras of `ListCameras` (V4L2 devices first, then the synthetic
// ones), and binding a device's moniker opens a fresh `Camera` for it.
//
// A camera delivers frames on a streaming thread of its own between Start and
// Stop; Stop joins that thread, so no frame arrives after it returns. A camera
// may be stopped or destroyed from its own sink's calls: the streaming thread
// then calls the sink no more and ends by itself, releasing the device.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/dshow/dshow.h"

namespace tw::dshow {

// Receives what a camera's streaming thread produces.
class FrameSink {
 public:
  // One frame: its start and stop times (stop = start + frame time) and its bytes.
  virtual void Deliver(REFERENCE_TIME start, REFERENCE_TIME stop, std::span<const uint8_t> frame) = 0;
  // The device went away; nothing is delivered after this call.
  virtual void Lost() = 0;

 protected:
  ~FrameSink() = default;
};

class Camera {
 public:
  virtual ~Camera() = default;
  // The media types of the capture pin, in order; the first is the default format.
  virtual std::vector<MediaType> MediaTypes() = 0;
  // Starts delivering frames of `type` (one of MediaTypes, with the frame time
  // of its block) to `sink` on a new streaming thread.
  virtual HRESULT Start(const MediaType& type, FrameSink& sink) = 0;
  // Stops delivering and joins the streaming thread. Nothing when stopped.
  // From the streaming thread (a sink's call) it only asks the thread to end.
  virtual void Stop() = 0;
};

// ---- Synthetic camera -----------------------------------------------------------

class SyntheticCamera final : public Camera {
 public:
  struct Options {
    std::string name = "twParley Test Pattern";
    std::string path = "synthetic:0";  // unique among the synthetic cameras
    // Media types offered; empty: RGB24 then RGB32 at 160x120, 176x144,
    // 320x240 and 640x480, all at 16 frames per second.
    std::vector<MediaType> types;
    // Real time between frames; negative: the format's AvgTimePerFrame.
    // Sample times always step by AvgTimePerFrame.
    std::chrono::microseconds interval{-1};
    bool failStart = false;       // Start answers VFW_E_NO_CAPTURE_HARDWARE
    int vanishAfterFrames = -1;   // after this many frames the device is lost
  };

  explicit SyntheticCamera(Options options);
  ~SyntheticCamera() override;

  std::vector<MediaType> MediaTypes() override;
  HRESULT Start(const MediaType& type, FrameSink& sink) override;
  void Stop() override;

  // Frame `n` of the pattern in `type` (what the n-th delivered frame holds).
  static std::vector<uint8_t> RenderFrame(const AM_MEDIA_TYPE& type, uint64_t n);
  static std::vector<MediaType> DefaultTypes();

 private:
  struct Stream;
  Options options_;
  std::shared_ptr<Stream> stream_;  // shared with the streaming thread
};

// The process's synthetic cameras (by default one with the default Options).
void SetSyntheticCameras(std::vector<SyntheticCamera::Options> cameras);
void ResetSyntheticCameras();

// ---- V4L2 camera ------------------------------------------------------------------

// The device calls a V4L2 camera makes, so tests can stand in for a device.
// Results follow the system calls: -1 with errno set on failure.
class V4l2Io {
 public:
  virtual ~V4l2Io() = default;
  virtual std::vector<std::string> DevicePaths() = 0;  // candidates, e.g. /dev/video0
  virtual int Open(const std::string& path) = 0;
  virtual int Close(int fd) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual void* Map(int fd, size_t length, int64_t offset) = 0;  // MAP_FAILED on failure
  virtual int Unmap(void* address, size_t length) = 0;
  // Waits up to `timeoutMs` for a frame: 1 ready, 0 timeout, -1 error (errno).
  virtual int WaitFrame(int fd, int timeoutMs) = 0;
};

// The real device calls (open, ioctl, mmap, poll).
std::shared_ptr<V4l2Io> SystemV4l2Io();
// The device layer the enumerator uses; null lists no V4L2 camera.
void SetV4l2Io(std::shared_ptr<V4l2Io> io);
std::shared_ptr<V4l2Io> CurrentV4l2Io();

class V4l2Camera final : public Camera {
 public:
  V4l2Camera(std::shared_ptr<V4l2Io> io, std::string path);
  ~V4l2Camera() override;

  // The device's card name when it is a capture device offering YUYV; empty otherwise.
  static std::string Probe(V4l2Io& io, const std::string& path);

  // RGB24 VideoInfo types (bottom-up, converted from YUYV) for every YUYV
  // frame size, then the same sizes as YUY2; 16 frames per second. The sizes
  // are the device's listed ones (of a range, the common sizes it holds), or
  // its current size when it lists none.
  std::vector<MediaType> MediaTypes() override;
  HRESULT Start(const MediaType& type, FrameSink& sink) override;
  void Stop() override;

 private:
  struct Stream;
  std::shared_ptr<V4l2Io> io_;
  std::string path_;
  std::shared_ptr<Stream> stream_;  // shared with the streaming thread
};

// ---- Pixel conversion ---------------------------------------------------------------

// YUYV (4:2:2, BT.601 limited range) to 24-bit BGR. `dst` rows are written
// bottom-up when `bottomUp` (a DIB), else top-down. Width must be even.
void ConvertYuyvToRgb24(const uint8_t* src, size_t srcStride, int width, int height, uint8_t* dst,
                        size_t dstStride, bool bottomUp);

// ---- The list the enumerator shows --------------------------------------------------------

struct CameraEntry {
  std::string friendlyName;
  std::string path;  // the moniker's key
  std::function<std::unique_ptr<Camera>()> open;
};
std::vector<CameraEntry> ListCameras();

}  // namespace tw::dshow
