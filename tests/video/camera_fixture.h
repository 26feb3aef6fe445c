// Shared by the capture tests: synthetic cameras set up for one test (no
// V4L2 device listed), and a frame recorder that waits without polling.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bitmap/bitmap.h"
#include "platform/dshow/camera.h"

namespace tw::testing {

inline dshow::SyntheticCamera::Options Camera(std::string name, std::vector<dshow::MediaType> types,
                                              std::string path = {}) {
  dshow::SyntheticCamera::Options o;
  o.path = path.empty() ? "synthetic:" + name : path;
  o.name = std::move(name);
  o.types = std::move(types);
  o.interval = std::chrono::milliseconds(2);
  return o;
}

inline dshow::MediaType Video(const com::GUID& subtype, int width, int height, int bits) {
  return dshow::MediaType::Video(subtype, width, height, bits, 333'333);
}

class CameraFixture : public ::testing::Test {
 protected:
  void SetUp() override { dshow::SetV4l2Io(nullptr); }
  void TearDown() override {
    dshow::ResetSyntheticCameras();
    dshow::SetV4l2Io(dshow::SystemV4l2Io());
  }
  static void UseCameras(std::vector<dshow::SyntheticCamera::Options> cameras) {
    dshow::SetSyntheticCameras(std::move(cameras));
  }
};

// What reached a frame handler, and on which thread.
class FrameLog {
 public:
  void Add(const win32::Bitmap& frame) {
    std::lock_guard lock(mutex_);
    frames_.push_back(frame);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  // Waits (without polling) until `n` frames arrived or the timeout passed.
  bool WaitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  win32::Bitmap Frame(size_t i) {
    std::lock_guard lock(mutex_);
    return frames_.at(i);
  }
  std::thread::id Thread(size_t i) {
    std::lock_guard lock(mutex_);
    return threads_.at(i);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<win32::Bitmap> frames_;
  std::vector<std::thread::id> threads_;
};

// The synthetic camera's frame `n` as a 24-bit bottom-up bitmap.
inline win32::Bitmap ExpectedFrame(int width, int height, uint64_t n) {
  const dshow::MediaType rgb24 = dshow::MediaType::Video(dshow::MEDIASUBTYPE_RGB24, width, height, 24, 333'333);
  const std::vector<uint8_t> bits = dshow::SyntheticCamera::RenderFrame(rgb24.Get(), n);
  win32::Bitmap bmp(width, height, win32::PixelFormat::pf24bit);
  std::copy(bits.begin(), bits.end(), bmp.Bits().begin());
  return bmp;
}

inline bool SamePixels(const win32::Bitmap& a, const win32::Bitmap& b) {
  return a.Width() == b.Width() && a.Height() == b.Height() && a.Format() == b.Format() &&
         std::equal(a.Bits().begin(), a.Bits().end(), b.Bits().begin(), b.Bits().end());
}

}  // namespace tw::testing
