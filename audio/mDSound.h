// Sound devices of the voice pipeline: the device lists (TSoundDrivers of
// TDirectXDriver items), capture into a looping 5 s ring that hands new
// bytes to its owner every 10 ms (CDSRecord), and the playback buffer of one
// talker with its adaptive prebuffer (CDSPlay). Both own their device list,
// their device interfaces while active, and a 10 ms timer on the creating
// thread. Devices come from platform/dsound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dsound/dsound.h"
#include "platform/win32/window.h"

namespace tw {

using WaveFormat = dsound::WAVEFORMATEX;

// PCM with the given rate, bits per sample and channels; block alignment
// channels x (bits div 8), average bytes per second alignment x rate.
void FillWaveFormat(WaveFormat& format, uint32_t rate, uint16_t bits, uint16_t channels);

// One enumerated device; the default device has no GUID.
class TDirectXDriver {
 public:
  // Copies the GUID when one is given; keeps "none" otherwise.
  void SetGuid(const dsound::GUID* guid);
  const dsound::GUID* Guid() const { return guid_ ? &*guid_ : nullptr; }

  std::string description;
  std::string module;

 private:
  std::optional<dsound::GUID> guid_;
};

// The enumerated devices in enumeration order; entry 0 is the default.
class TSoundDrivers {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Entry i; std::out_of_range for a negative or too large index.
  const TDirectXDriver& Item(int i) const;
  void Add(std::unique_ptr<TDirectXDriver> driver) { items_.push_back(std::move(driver)); }
  // Empty when i >= Count(); std::out_of_range when i < 0.
  std::string Name(int i) const;
  // The GUID a start uses for device index i: entry i's when 1 <= i < Count(),
  // otherwise none (the default device).
  const dsound::GUID* GuidForIndex(int i) const;

 private:
  std::vector<std::unique_ptr<TDirectXDriver>> items_;
};

// Enumeration callback: adds a driver to the TSoundDrivers in `context`.
bool EnumDriversCallback(const dsound::GUID* guid, const char* description, const char* module, void* context);

// Watches an object's lifetime from inside its own callbacks: a handler may
// destroy the object that called it, so the caller checks Alive() on a copy
// of the token taken before the call.
class LifeToken {
 public:
  using Watch = std::weak_ptr<const int>;
  Watch Get() const { return token_; }
  static bool Alive(const Watch& watch) { return !watch.expired(); }

 private:
  std::shared_ptr<const int> token_ = std::make_shared<const int>(0);
};

// A repeating timer on the creating thread, with a hidden window of its own.
// An exception from the handler never leaves it: it is counted, its text
// kept and handed to OnFailure, and the timer goes on.
class WaveTimer {
 public:
  WaveTimer(uint32_t intervalMs, std::function<void()> handler);
  ~WaveTimer();
  WaveTimer(const WaveTimer&) = delete;
  WaveTimer& operator=(const WaveTimer&) = delete;

  unsigned Failures() const { return failures_; }
  const std::string& LastFailure() const { return lastFailure_; }
  // The text of a failure of the handler, once for a run of the same text
  // (set by the timer's owner).
  std::function<void(const std::string& what)> OnFailure;

 private:
  void Fire();
  void Failed(const std::string& what);

  std::function<void()> handler_;
  LifeToken life_;
  win32::HiddenWindow window_;
  win32::WindowTimer timer_;  // of window_
  unsigned failures_ = 0;
  std::string lastFailure_;
};

// A device failure the user must be told of: a start that failed, or a
// device that failed while active (unplugged, gone), which leaves the
// object stopped.
enum class DeviceFailure { Start, Lost };
// (kind, what failed and why: the step, its code and the device's own words)
using FailureHandler = std::function<void(DeviceFailure kind, const std::string& reason)>;

// "<step> failed ($XXXXXXXX)", then ": " and the device's reason when it gave one.
std::string DeviceFailureText(const char* step, dsound::HRESULT hr);

// Capture of VoicePcmFormat audio from the chosen capture device.
class CDSRecord {
 public:
  static constexpr uint32_t kRingBytes = 5 * 32000;
  // (sender, bytes, length): the bytes captured since the last delivery, in
  // one contiguous block; valid during the call only.
  using DataHandler = std::function<void(CDSRecord& sender, const uint8_t* bytes, size_t length)>;

  explicit CDSRecord(win32::HWND owner);
  ~CDSRecord();
  CDSRecord(const CDSRecord&) = delete;
  CDSRecord& operator=(const CDSRecord&) = delete;

  // False when already active or when the device does not start (everything
  // created on the way is released again).
  bool Start();
  // False when not active or when the device refuses to stop (still active).
  bool Stop();
  // One timer tick: delivers what was captured since the last one. A device
  // that failed (DSERR_NODRIVER) stops the capture and is reported through
  // OnFailure; other failures retry at the next tick.
  void Poll();

  int DeviceCount() const { return drivers_.Count(); }
  std::string DeviceName(int i) const { return drivers_.Name(i); }
  int DeviceIndex() const { return deviceIndex_; }
  void SetDeviceIndex(int i) { deviceIndex_ = i; }
  bool Active() const { return active_; }
  const WaveTimer& Timer() const { return *timer_; }
  WaveTimer& Timer() { return *timer_; }

  DataHandler OnData;
  // Fires for a failed start (with Start's false result) and for a device
  // lost while capturing; the handler may stop or destroy this object.
  FailureHandler OnFailure;

 private:
  void Release();
  void Failed(DeviceFailure kind, const std::string& reason);
  static uint32_t Distance(uint32_t from, uint32_t to) { return to >= from ? to - from : to + kRingBytes - from; }

  WaveFormat format_{};
  std::vector<uint8_t> scratch_;
  std::unique_ptr<dsound::IDirectSoundCapture> capture_;
  std::unique_ptr<dsound::IDirectSoundCaptureBuffer> buffer_;
  uint32_t lastRead_ = 0;
  bool active_ = false;
  TSoundDrivers drivers_;
  int deviceIndex_ = 0;
  LifeToken life_;
  std::unique_ptr<WaveTimer> timer_;
};

// The playback buffer and jitter buffer of one talker.
class CDSPlay {
 public:
  static constexpr int64_t kSecond = 32000;             // a: bytes per second
  static constexpr uint32_t kRingBytes = 5 * kSecond;   // secondary buffer
  static constexpr int64_t kMaxQueued = kSecond;        // largest queue
  static constexpr uint32_t kWindowBytes = 3 * kSecond; // data plus trailing zeros
  static constexpr int64_t kInitialPrebuffer = kSecond / 32 / 2;  // 500
  static constexpr int64_t kPrebufferLimit = kSecond / 2;         // 16,000

  explicit CDSPlay(win32::HWND owner);
  ~CDSPlay();
  CDSPlay(const CDSPlay&) = delete;
  CDSPlay& operator=(const CDSPlay&) = delete;

  // Starts afresh: nothing queued, nothing pending, prebuffer 500. False
  // when already active or when the device does not start (everything
  // created on the way is released again).
  bool Start();
  // False when not active or when the device refuses to stop (still active).
  bool Stop();
  // Queues bytes of VoicePcmFormat; false (dropped) while not active.
  bool PushData(const uint8_t* bytes, size_t length);
  // The next push after the queue ran dry does not grow the prebuffer.
  void Reprime() { reprime_ = true; }
  // One timer tick: follows the cursors and keeps silence ahead.
  void TimerTick();

  // Fires for a failed start and for a device lost while playing (which
  // leaves the buffer stopped); the handler may stop or destroy this object.
  FailureHandler OnFailure;

  // The block lengthened by one sample in 64 (256 samples -> 260).
  static std::vector<int16_t> Stretch(const int16_t* samples, size_t count);

  int DeviceCount() const { return drivers_.Count(); }
  std::string DeviceName(int i) const { return drivers_.Name(i); }
  int DeviceIndex() const { return deviceIndex_; }
  void SetDeviceIndex(int i) { deviceIndex_ = i; }

  bool Active() const { return active_; }
  int64_t Queued() const { return queued_; }
  int64_t Prebuffer() const { return prebuffer_; }
  int64_t SilenceAhead() const { return silenceAhead_; }
  size_t PendingBytes() const { return pending_.size(); }
  uint32_t WritePosition() const { return writePos_; }
  const WaveTimer& Timer() const { return *timer_; }
  WaveTimer& Timer() { return *timer_; }

 private:
  // The first failing step's text, or empty when all succeeded.
  std::string CreateBuffers(const dsound::GUID* guid);
  void Release();
  // False when the device was lost (the object is stopped and was reported:
  // the caller returns at once, as the handler may have destroyed it).
  bool UpdateCursors();
  void Failed(DeviceFailure kind, const std::string& reason);
  bool WriteBlock(const uint8_t* data, size_t length);
  static uint32_t Distance(uint32_t from, uint32_t to) { return to >= from ? to - from : to + kRingBytes - from; }

  win32::HWND owner_;
  WaveFormat format_{};
  TSoundDrivers drivers_;
  int deviceIndex_ = 0;
  std::unique_ptr<dsound::IDirectSound> device_;
  std::unique_ptr<dsound::IDirectSoundBuffer> primary_;
  std::unique_ptr<dsound::IDirectSoundBuffer> secondary_;
  std::vector<uint8_t> scratch_;
  bool active_ = false;
  bool reprime_ = false;
  int64_t prebuffer_ = kInitialPrebuffer;
  int64_t queued_ = 0;
  uint32_t writePos_ = 0;
  uint32_t lastCursor_ = 0;
  int64_t silenceAhead_ = 0;
  std::vector<uint8_t> pending_;
  std::unique_ptr<WaveTimer> timer_;
};

}  // namespace tw
