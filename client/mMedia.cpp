#include "client/mMedia.h"

#include <utility>

#include "audio/mDSAudio.h"
#include "video/mVideco.h"
#include "video/mVienco.h"
#include "video/uCapture.h"

namespace tw::cln {

namespace {

// The recorder over the sound devices; its events reach the engine's closures.
class TRealRecorder final : public IRecorder {
 public:
  TRealRecorder() {
    recorder_.OnWave = [this](TRecorder&, const int16_t* samples, size_t size) {
      if (Events.OnWave) Events.OnWave(TBytes(reinterpret_cast<const uint8_t*>(samples), size));
    };
    recorder_.OnPacket = [this](TRecorder&, const uint8_t* packet, const uint8_t*, size_t size, size_t) {
      if (Events.OnPacket) Events.OnPacket(TBytes(packet, size));
    };
    recorder_.OnTalkStart = [this](TRecorder&) { Fire(Events.OnTalkStart); };
    recorder_.OnTalkStop = [this](TRecorder&) { Fire(Events.OnTalkStop); };
    recorder_.OnLoud = [this](TRecorder&) { Fire(Events.OnLoud); };
    recorder_.OnLoudEnd = [this](TRecorder&) { Fire(Events.OnLoudEnd); };
    recorder_.OnFailure = [this](const std::string& reason) {
      if (Events.OnFailure) Events.OnFailure(reason);
    };
  }
  bool Start() override { return recorder_.Start(); }
  bool Stop() override { return recorder_.Stop(); }
  int32_t GetDeviceIndex() const override { return recorder_.GetDeviceIndex(); }
  void SetDeviceIndex(int32_t index) override { recorder_.SetDeviceIndex(index); }
  int32_t DeviceCount() override { return recorder_.DeviceCount(); }
  std::string DeviceName(int32_t index) override { return recorder_.DeviceName(index); }
  bool GetMuted() const override { return recorder_.Muted(); }
  void SetMuted(bool muted) override { recorder_.SetMuted(muted); }
  int32_t GetThreshold() const override { return recorder_.Threshold(); }
  void SetThreshold(int32_t threshold) override { recorder_.SetThreshold(threshold); }
  double VoiceLevel() const override { return recorder_.Mean500(); }

 private:
  static void Fire(const std::function<void()>& event) {
    if (event) event();
  }
  TRecorder recorder_;
};

// What a player's ducking reads: the level of whatever recorder it was given.
class TLevelOf final : public VoiceLevelSource {
 public:
  IRecorder* recorder = nullptr;
  double Mean500() const override { return recorder ? recorder->VoiceLevel() : 0.0; }
};

class TRealPlayer final : public IPlayer {
 public:
  TRealPlayer() {
    player_.OnPlayed = [this](TPlayer&, const uint8_t* bytes, size_t size) {
      if (OnPlayed) OnPlayed(TBytes(bytes, size));
    };
    player_.SetRecorder(&level_);
    player_.OnFailure = [this](const std::string& reason) {
      if (OnFailure) OnFailure(reason);
    };
  }
  bool Start() override { return player_.Start(); }
  bool Stop() override { return player_.Stop(); }
  void PlayPacket(TBytes packet) override { player_.PlayPacket(packet.data(), packet.size()); }
  int32_t GetDeviceIndex() const override { return player_.GetDeviceIndex(); }
  void SetDeviceIndex(int32_t index) override { player_.SetDeviceIndex(index); }
  int32_t DeviceCount() override { return player_.DeviceCount(); }
  std::string DeviceName(int32_t index) override { return player_.DeviceName(index); }
  bool GetMuted() const override { return player_.Muted(); }
  void SetMuted(bool muted) override { player_.SetMuted(muted); }
  void SetRecorder(IRecorder* recorder) override { level_.recorder = recorder; }

 private:
  TLevelOf level_;  // before the player, which reads it
  TPlayer player_;
};

// The capture form; frames go on to OnFrame on the streaming thread.
class TRealCapture final : public ICaptureSource {
 public:
  TRealCapture() {
    capture_.OnFrame = [this](video::TCapture&, win32::Bitmap& frame) {
      if (OnFrame) OnFrame(frame);
    };
    capture_.OnFailure = [this](const std::string& reason) {
      if (OnFailure) OnFailure(reason);
    };
  }
  bool StartCapture() override { return capture_.StartCapture(); }
  bool StopCapture() override { return capture_.StopCapture(); }
  void EnumerateDevices() override { capture_.EnumerateDevices(); }
  int32_t DeviceCount() override { return capture_.DeviceCount(); }
  std::string DeviceName(int32_t index) override { return capture_.DeviceName(index); }
  bool SetDeviceIndex(int32_t index) override { return capture_.SetDeviceIndex(index); }
  int32_t FormatCount() override { return capture_.FormatCount(); }
  bool GetFormatSize(int32_t index, int32_t& width, int32_t& height) override {
    return capture_.GetFormatSize(index, width, height);
  }
  bool SetFormatIndex(int32_t index) override { return capture_.SetFormatIndex(index); }

 private:
  video::TCapture capture_;
};

class TRealEncoder final : public IVideoEncoder {
 public:
  void SetQuality(int32_t quality) override { codec_.SetQuality(quality); }
  std::span<const uint8_t> Encode(win32::Bitmap& bitmap, bool allowSkip) override {
    return codec_.Encode(bitmap, allowSkip);
  }

 private:
  CVienco codec_;
};

class TRealDecoder final : public IVideoDecoder {
 public:
  void Decode(win32::Bitmap& bitmap, TBytes frame) override { codec_.Decode(bitmap, frame); }

 private:
  CVideco codec_;
};

}  // namespace

std::unique_ptr<IRecorder> TMediaFactory::CreateRecorder() { return std::make_unique<TRealRecorder>(); }
std::unique_ptr<IPlayer> TMediaFactory::CreatePlayer() { return std::make_unique<TRealPlayer>(); }
std::unique_ptr<ICaptureSource> TMediaFactory::CreateCapture() { return std::make_unique<TRealCapture>(); }
std::unique_ptr<IVideoEncoder> TMediaFactory::CreateEncoder() { return std::make_unique<TRealEncoder>(); }
std::unique_ptr<IVideoDecoder> TMediaFactory::CreateDecoder() { return std::make_unique<TRealDecoder>(); }

}  // namespace tw::cln
