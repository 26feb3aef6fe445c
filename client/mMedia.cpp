#include "client/mMedia.h"

#include <utility>

#include "video/mVienco.h"

namespace tw::cln {

namespace {

// Stand-ins used until real devices are plugged in: they keep their settings
// and succeed without producing anything.
class TSilentRecorder final : public IRecorder {
 public:
  bool Start() override {
    running_ = true;
    return true;
  }
  bool Stop() override { return std::exchange(running_, false); }
  int32_t GetDeviceIndex() const override { return device_; }
  void SetDeviceIndex(int32_t index) override { device_ = index; }
  int32_t DeviceCount() override { return 0; }
  std::string DeviceName(int32_t) override { return {}; }
  bool GetMuted() const override { return muted_; }
  void SetMuted(bool muted) override { muted_ = muted; }
  int32_t GetThreshold() const override { return threshold_; }
  void SetThreshold(int32_t threshold) override { threshold_ = threshold; }

 private:
  bool running_ = false;
  bool muted_ = false;
  int32_t device_ = 0;
  int32_t threshold_ = 0;
};

class TSilentPlayer final : public IPlayer {
 public:
  bool Start() override { return !std::exchange(started_, true); }
  bool Stop() override { return std::exchange(started_, false); }
  void PlayPacket(TBytes) override {}
  int32_t GetDeviceIndex() const override { return device_; }
  void SetDeviceIndex(int32_t index) override { device_ = index; }
  int32_t DeviceCount() override { return 0; }
  std::string DeviceName(int32_t) override { return {}; }
  bool GetMuted() const override { return muted_; }
  void SetMuted(bool muted) override { muted_ = muted; }
  void SetRecorder(IRecorder*) override {}

 private:
  bool started_ = false;
  bool muted_ = false;
  int32_t device_ = 0;
};

class TNoCapture final : public ICaptureSource {
 public:
  bool StartCapture() override { return true; }
  bool StopCapture() override { return true; }
  void EnumerateDevices() override {}
  int32_t DeviceCount() override { return 0; }
  std::string DeviceName(int32_t) override { return {}; }
  void SetDeviceIndex(int32_t) override {}
  int32_t FormatCount() override { return 0; }
  bool GetFormatSize(int32_t, int32_t&, int32_t&) override { return false; }
  void SetFormatIndex(int32_t) override {}
};

class TViencoEncoder final : public IVideoEncoder {
 public:
  void SetQuality(int32_t quality) override { codec_.SetQuality(quality); }
  std::span<const uint8_t> Encode(win32::Bitmap& bitmap, bool allowSkip) override {
    return codec_.Encode(bitmap, allowSkip);
  }

 private:
  CVienco codec_;
};

}  // namespace

std::unique_ptr<IRecorder> TMediaFactory::CreateRecorder() { return std::make_unique<TSilentRecorder>(); }
std::unique_ptr<IPlayer> TMediaFactory::CreatePlayer() { return std::make_unique<TSilentPlayer>(); }
std::unique_ptr<ICaptureSource> TMediaFactory::CreateCapture() { return std::make_unique<TNoCapture>(); }
std::unique_ptr<IVideoEncoder> TMediaFactory::CreateEncoder() { return std::make_unique<TViencoEncoder>(); }

}  // namespace tw::cln
