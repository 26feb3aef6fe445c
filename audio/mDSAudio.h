// The voice pipeline above the sound devices: the voice PCM format; TLooker,
// a fixed-size history of values stamped with the millisecond tick that
// answers the largest value and the mean over a recent time window; TWave,
// the base of the recorder and the player (an FFT, a work block and a hidden
// owner window); TRecorder, which captures, detects voice, and hands out the
// processed frames and their voice packets; and TPlayer, which decodes one
// talker's packets and queues them in its playback buffer.
//
// Everything runs on the thread that created the objects. Events are
// std::function members, called only when set; a handler may stop or destroy
// the object that called it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/mDSound.h"
#include "audio/mFFT.h"
#include "audio/mVodec.h"
#include "platform/win32/window.h"

namespace tw {

// VoicePcmFormat: linear PCM, 16,000 Hz, 16-bit signed little-endian, mono.
struct VoicePcmFormat {
  static constexpr uint32_t kSampleRate = 16000;
  static constexpr uint16_t kBitsPerSample = 16;
  static constexpr uint16_t kChannels = 1;
  static constexpr uint32_t kBytesPerSecond = 32000;
  static constexpr size_t kFrameSamples = 512;  // 32 ms: codec and analysis
  static constexpr size_t kFrameBytes = 1024;
  static constexpr size_t kPlayStepSamples = 256;  // 16 ms: player output step
};

// A ring of `capacity` (value, tick) entries. Ticks come from
// tw::win32::GetTickCount and ages are wrap-safe 32-bit differences.
class TLooker {
 public:
  // Every entry starts as (initial, tick 0). `capacity` must be at least 1.
  TLooker(size_t capacity, double initial);

  // Overwrites the oldest entry with (value, current tick).
  void Add(double value);

  // Largest value among entries at most `windowMs` old (0: all entries), never
  // below 0.0; 0.0 when none qualifies.
  double MaxWithin(uint32_t windowMs) const;
  // Mean of the same entries; 0.0 when none qualifies.
  double MeanWithin(uint32_t windowMs) const;

 private:
  struct Entry {
    double value;
    uint32_t tick;
    bool written;  // entries never added to count only for window 0
  };
  template <typename Visit>
  void ForEachWithin(uint32_t windowMs, Visit visit) const;

  std::vector<Entry> entries_;
  size_t position_ = 0;
};

// Base of TRecorder and TPlayer.
class TWave {
 public:
  static constexpr size_t kBlock = 512;

  TWave();
  virtual ~TWave();
  TWave(const TWave&) = delete;
  TWave& operator=(const TWave&) = delete;

  // The hidden owner window handed to the sound devices; it answers every
  // message with 1.
  win32::HWND Window() const { return window_.Handle(); }
  bool Muted() const { return muted_; }
  void SetMuted(bool muted) { muted_ = muted; }

 protected:
  TFFT fft_{kBlock};
  std::array<int16_t, kBlock> work_{};
  bool started_ = false;
  bool muted_ = false;
  LifeToken life_;

 private:
  win32::HiddenWindow window_;
};

// What a player's ducking reads: the local voice level, the mean band
// energy ratio of the last 500 ms (0 while nothing is heard).
class VoiceLevelSource {
 public:
  virtual double Mean500() const = 0;

 protected:
  ~VoiceLevelSource() = default;
};

// The capture pipeline: frames of 512 samples, voice detection with a
// hangover of three frames, software gain, encoding, talk and overload events.
class TRecorder : public TWave, public VoiceLevelSource {
 public:
  static constexpr int32_t kLoudPeak = 16000;
  static constexpr double kGainCap = 20.0;
  static constexpr int kHangoverFrames = 3;

  using Event = std::function<void(TRecorder& sender)>;
  // (sender, samples, size in bytes: always 1,024)
  using WaveEvent = std::function<void(TRecorder& sender, const int16_t* samples, size_t size)>;
  // (sender, packet, raw PCM, packet size, PCM size)
  using PacketEvent = std::function<void(TRecorder& sender, const uint8_t* packet, const uint8_t* pcm,
                                         size_t packetSize, size_t pcmSize)>;

  TRecorder();
  ~TRecorder() override;

  int GetDeviceIndex() const { return capture_->DeviceIndex(); }
  void SetDeviceIndex(int index) { capture_->SetDeviceIndex(index); }
  int DeviceCount() const { return capture_->DeviceCount(); }
  std::string DeviceName(int i) const { return capture_->DeviceName(i); }

  // True when already running. Otherwise starts afresh (history, gain 1.0)
  // and returns whether the capture started; running stays set either way.
  bool Start();
  // False when not running; stops the capture. Talk state, gain and the
  // silent-frame counter carry over to the next start.
  bool Stop();
  // The capture callback: processes every whole frame of the bytes so far.
  void DoData(const uint8_t* bytes, size_t length);

  int Threshold() const { return threshold_; }
  void SetThreshold(int threshold) { threshold_ = threshold; }

  bool Running() const { return running_; }
  bool Talking() const { return talking_; }
  bool Loud() const { return loud_; }
  double Gain() const { return gain_; }
  int SilentFrames() const { return silentFrames_; }
  // Results of the most recent analysed frame.
  int32_t Peak() const { return peak_; }
  double Level() const { return level_; }
  size_t PeakBinIndex() const { return bin_; }
  double Energy() const { return energy_; }
  double Max500() const { return max500_; }
  double Mean500() const override { return mean500_; }
  CDSRecord& Capture() { return *capture_; }

  WaveEvent OnWave;
  PacketEvent OnPacket;
  Event OnTalkStart;
  Event OnTalkStop;
  Event OnLoud;
  Event OnLoudEnd;
  // What failed and why, for the error log: a capture that did not start,
  // or a capture device that failed while running. The latter stops the
  // recorder as a talk's end does (the end-of-talk marker through OnPacket,
  // then OnTalkStop, when it was talking); a later Start opens the device
  // afresh. Also a capture tick that raised ("CDSRecord.Poll: <what>"),
  // after which the recorder goes on.
  std::function<void(const std::string& reason)> OnFailure;

 private:
  bool Analyse(std::span<int16_t, kBlock> frame);
  // False when a handler stopped or destroyed the recorder.
  bool Hangover(bool voice);
  // The marker, then OnTalkStop; false when a handler stopped or destroyed
  // the recorder.
  bool EndTalk();
  void DeviceFailed(DeviceFailure kind, const std::string& reason);
  bool EncodeFrame(const std::array<int16_t, kBlock>& raw);
  bool Fire(const Event& event);

  std::unique_ptr<CVodec> codec_;
  std::unique_ptr<CDSRecord> capture_;
  std::unique_ptr<TLooker> history_;
  std::vector<uint8_t> pending_;
  std::array<uint8_t, vodec::kMaxPacketBytes> packet_{};
  double gain_ = 1.0;
  bool running_ = false;
  bool talking_ = false;
  bool loud_ = false;
  int silentFrames_ = 0;
  int threshold_ = 2;
  int32_t peak_ = 0;
  double level_ = 0.0;
  size_t bin_ = 0;
  double energy_ = 0.0;
  double max500_ = 0.0;
  double mean500_ = 0.0;
};

// The playback pipeline of one remote talker.
class TPlayer : public TWave {
 public:
  // (sender, samples as bytes, size in bytes)
  using PlayedEvent = std::function<void(TPlayer& sender, const uint8_t* bytes, size_t size)>;

  TPlayer();
  ~TPlayer() override;

  int GetDeviceIndex() const { return playback_->DeviceIndex(); }
  void SetDeviceIndex(int index) { playback_->SetDeviceIndex(index); }
  int DeviceCount() const { return playback_->DeviceCount(); }
  std::string DeviceName(int i) const { return playback_->DeviceName(i); }

  // False when already started; otherwise the result of the playback start
  // (started stays set either way).
  bool Start();
  bool Stop();
  bool Started() const { return started_; }
  // Decodes one packet and queues the result; a 4-byte packet ends a talk.
  // Never throws.
  void PlayPacket(const uint8_t* packet, size_t length);

  // The local recorder whose recent voice energy lowers this talker's level:
  // a block is divided by Mean500 / 10 when that is at least 2. Not owned:
  // it must outlive the player or be reset to null first.
  void SetRecorder(const VoiceLevelSource* recorder) { recorder_ = recorder; }
  CDSPlay& Playback() { return *playback_; }

  PlayedEvent OnPlayed;
  // What failed and why, for the error log: a playback that did not start,
  // or a playback device that failed while playing, which stops the player
  // (it takes no more packets until the next Start); and what the player
  // caught and went on after ("<step>: <what>": a start or a playback tick
  // that raised, the first packet of a start that could not be played).
  std::function<void(const std::string& reason)> OnFailure;

 private:
  void ProcessBlock();
  void DeviceFailed(DeviceFailure kind, const std::string& reason);

  std::unique_ptr<CVodec> codec_;
  std::unique_ptr<CDSPlay> playback_;
  std::array<int16_t, kBlock> decoded_{};
  std::vector<int16_t> pending_;
  std::vector<int16_t> output_;
  std::array<int16_t, kBlock> block_{};
  std::array<int16_t, kBlock> current_{};
  std::array<int16_t, kBlock> previous_{};
  const VoiceLevelSource* recorder_ = nullptr;
  bool packetFailureReported_ = false;  // since the last Start
};

}  // namespace tw
