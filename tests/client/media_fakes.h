// Fakes behind the engine's media seams for talk tests: they write down what
// the engine asked of them in one log per engine, can be told to fail their
// start, and let a test hand frames over as the capture's streaming thread
// would. The video codec stays the real one unless a test asks otherwise.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "client/mMedia.h"

namespace tw::test {

// Media for the tests to hand over: `size` bytes of `fill`, their span, and
// a 24-bit picture of one shade (as the capture hands it over).
inline std::string Str(size_t size, char fill = 'v') { return std::string(size, fill); }
inline cln::TBytes Bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
inline win32::Bitmap Picture(int width, int height, uint8_t shade) {
  win32::Bitmap bmp(width, height, win32::PixelFormat::pf24bit);
  std::fill(bmp.Bits().begin(), bmp.Bits().end(), shade);
  return bmp;
}

struct TMediaLog {
  std::vector<std::string> lines;
  bool failPlayer = false, failRecorder = false, failCapture = false;
  bool failEncoder = false;  // with the logging encoder
  bool recording = false, capturing = false;  // the shared media run
  int players = 0;           // players alive, the engine's own included
  int decoders = 0;
  std::vector<size_t> played;  // sizes of the packets given to any player
  std::vector<bool> allowSkip;  // per encoded frame (logging encoder)
  void Add(std::string line) { lines.push_back(std::move(line)); }
  size_t Count(const std::string& line) const {
    size_t n = 0;
    for (auto& l : lines) n += l == line;
    return n;
  }
};

class TFakeRecorder final : public cln::IRecorder {
 public:
  explicit TFakeRecorder(TMediaLog& log) : log_(log) {}
  bool Start() override {
    log_.Add("recorder start");
    log_.recording = true;  // as the real one, running even when its device failed
    return !log_.failRecorder;
  }
  bool Stop() override {
    log_.Add("recorder stop");
    return std::exchange(log_.recording, false);
  }
  int32_t GetDeviceIndex() const override { return device_; }
  void SetDeviceIndex(int32_t index) override { device_ = index; }
  int32_t DeviceCount() override { return 2; }
  std::string DeviceName(int32_t index) override { return index == 1 ? "Fake microphone" : ""; }
  bool GetMuted() const override { return muted_; }
  void SetMuted(bool muted) override { muted_ = muted; }
  int32_t GetThreshold() const override { return threshold_; }
  void SetThreshold(int32_t threshold) override { threshold_ = threshold; }

 private:
  TMediaLog& log_;
  int32_t device_ = 0;
  int32_t threshold_ = 0;
  bool muted_ = false;
};

class TFakePlayer final : public cln::IPlayer {
 public:
  explicit TFakePlayer(TMediaLog& log) : log_(log) { ++log_.players; }
  ~TFakePlayer() override { --log_.players; }
  bool Start() override {
    log_.Add("player start " + std::to_string(device_));
    return !log_.failPlayer;
  }
  bool Stop() override { return true; }
  void PlayPacket(cln::TBytes packet) override {
    log_.played.push_back(packet.size());
    if (OnPlayed) OnPlayed(packet);
  }
  int32_t GetDeviceIndex() const override { return device_; }
  void SetDeviceIndex(int32_t index) override { device_ = index; }
  int32_t DeviceCount() override { return 3; }
  std::string DeviceName(int32_t index) override { return index == 2 ? "Fake speaker" : ""; }
  bool GetMuted() const override { return muted_; }
  void SetMuted(bool muted) override { muted_ = muted; }
  void SetRecorder(cln::IRecorder*) override {}

 private:
  TMediaLog& log_;
  int32_t device_ = 0;
  bool muted_ = false;
};

class TFakeCapture final : public cln::ICaptureSource {
 public:
  explicit TFakeCapture(TMediaLog& log) : log_(log) {}
  ~TFakeCapture() override { log_.Add("capture freed"); }
  bool StartCapture() override {
    log_.Add("capture start");
    log_.capturing = !log_.failCapture;
    return log_.capturing;
  }
  bool StopCapture() override {
    log_.Add("capture stop");
    log_.capturing = false;
    return true;
  }
  void EnumerateDevices() override { log_.Add("enumerate"); }
  int32_t DeviceCount() override { return 1; }
  std::string DeviceName(int32_t index) override { return index == 0 ? "Fake camera" : ""; }
  bool SetDeviceIndex(int32_t index) override {
    log_.Add("device " + std::to_string(index));
    return index >= 0;
  }
  int32_t FormatCount() override { return 1; }
  bool GetFormatSize(int32_t index, int32_t& width, int32_t& height) override {
    if (index != 0) return false;
    width = 64;
    height = 48;
    return true;
  }
  bool SetFormatIndex(int32_t index) override {
    log_.Add("format " + std::to_string(index));
    return index >= 0;
  }

 private:
  TMediaLog& log_;
};

// Writes down whether each frame may skip blocks; fails when told to.
class TLoggingEncoder final : public cln::IVideoEncoder {
 public:
  explicit TLoggingEncoder(TMediaLog& log) : log_(log) {}
  void SetQuality(int32_t) override {}
  std::span<const uint8_t> Encode(win32::Bitmap&, bool allowSkip) override {
    if (log_.failEncoder) throw std::runtime_error("Too small image!");
    log_.allowSkip.push_back(allowSkip);
    return frame_;
  }

 private:
  TMediaLog& log_;
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(16, 7);
};

class TCountedDecoder final : public cln::IVideoDecoder {
 public:
  TCountedDecoder(TMediaLog& log, std::unique_ptr<cln::IVideoDecoder> real) : log_(log), real_(std::move(real)) {
    ++log_.decoders;
  }
  ~TCountedDecoder() override { --log_.decoders; }
  void Decode(win32::Bitmap& bitmap, cln::TBytes frame) override { real_->Decode(bitmap, frame); }

 private:
  TMediaLog& log_;
  std::unique_ptr<cln::IVideoDecoder> real_;
};

class TFakeMedia final : public cln::TMediaFactory {
 public:
  explicit TFakeMedia(TMediaLog& log, bool loggingEncoder = false) : log_(log), loggingEncoder_(loggingEncoder) {}
  std::unique_ptr<cln::IRecorder> CreateRecorder() override { return std::make_unique<TFakeRecorder>(log_); }
  std::unique_ptr<cln::IPlayer> CreatePlayer() override { return std::make_unique<TFakePlayer>(log_); }
  std::unique_ptr<cln::ICaptureSource> CreateCapture() override { return std::make_unique<TFakeCapture>(log_); }
  std::unique_ptr<cln::IVideoEncoder> CreateEncoder() override {
    if (loggingEncoder_) return std::make_unique<TLoggingEncoder>(log_);
    return TMediaFactory::CreateEncoder();
  }
  std::unique_ptr<cln::IVideoDecoder> CreateDecoder() override {
    return std::make_unique<TCountedDecoder>(log_, TMediaFactory::CreateDecoder());
  }

 private:
  TMediaLog& log_;
  bool loggingEncoder_;
};

}  // namespace tw::test
