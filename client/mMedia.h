// The media seams of the client engine: what the engine asks of its recorder,
// its players, its capture form and its video encoder and decoders, and the
// factory it makes them with. The engine owns every object the factory hands
// out; the factory itself is shared and must outlive nothing but its engines.
//
// The factory's own methods make the real components: the recorder and
// players over the sound devices (TRecorder, TPlayer), the capture form over
// the capture graph (TCapture) and the video codec (CVienco, CVideco). Tests
// derive from it to plug in fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/bitmap/bitmap.h"

namespace tw::cln {

using TBytes = std::span<const uint8_t>;

// Closures of the recorder; each fires only when assigned.
struct TRecorderEvents {
  std::function<void(TBytes samples)> OnWave;    // a processed PCM frame while talking
  std::function<void(TBytes packet)> OnPacket;   // an encoded voice packet, or the end-of-talk marker
  std::function<void()> OnTalkStart;
  std::function<void()> OnTalkStop;
  std::function<void()> OnLoud;
  std::function<void()> OnLoudEnd;
  std::function<void(const std::string& reason)> OnFailure;  // a device failure, for the error log
};

class IRecorder {
 public:
  virtual ~IRecorder() = default;
  TRecorderEvents Events;

  // Start: true when it runs (also when it already ran). Stop: false when it
  // was not running.
  virtual bool Start() = 0;
  virtual bool Stop() = 0;
  virtual int32_t GetDeviceIndex() const = 0;
  virtual void SetDeviceIndex(int32_t index) = 0;
  virtual int32_t DeviceCount() = 0;
  virtual std::string DeviceName(int32_t index) = 0;  // empty when out of range
  virtual bool GetMuted() const = 0;
  virtual void SetMuted(bool muted) = 0;
  virtual int32_t GetThreshold() const = 0;
  virtual void SetThreshold(int32_t threshold) = 0;
  // The local voice level that ducks the players (0 while nothing is heard).
  virtual double VoiceLevel() const { return 0.0; }
};

class IPlayer {
 public:
  virtual ~IPlayer() = default;
  std::function<void(TBytes samples)> OnPlayed;  // a played PCM block
  std::function<void(const std::string& reason)> OnFailure;  // a device failure, for the error log

  // Start: false when already started or when playback could not start.
  // Stop: false when not started.
  virtual bool Start() = 0;
  virtual bool Stop() = 0;
  virtual void PlayPacket(TBytes packet) = 0;  // never raises
  virtual int32_t GetDeviceIndex() const = 0;
  virtual void SetDeviceIndex(int32_t index) = 0;
  virtual int32_t DeviceCount() = 0;
  virtual std::string DeviceName(int32_t index) = 0;
  virtual bool GetMuted() const = 0;
  virtual void SetMuted(bool muted) = 0;
  // The local recorder whose level ducks this player's output (may be null);
  // it must outlive the player.
  virtual void SetRecorder(IRecorder* recorder) = 0;
};

// The capture form. OnFrame runs on the capture's streaming thread with a
// 24-bit frame that is valid only during the call. No operation raises.
class ICaptureSource {
 public:
  virtual ~ICaptureSource() = default;
  std::function<void(const win32::Bitmap& frame)> OnFrame;
  std::function<void(const std::string& reason)> OnFailure;  // a failure it caught, for the error log

  virtual bool StartCapture() = 0;  // true at once when already capturing
  virtual bool StopCapture() = 0;
  virtual void EnumerateDevices() = 0;
  virtual int32_t DeviceCount() = 0;
  virtual std::string DeviceName(int32_t index) = 0;  // empty when out of range
  // False for an index the form refuses (negative); the current index and
  // indexes at or beyond the count are ignored. Restarts a running capture.
  virtual bool SetDeviceIndex(int32_t index) = 0;
  virtual int32_t FormatCount() = 0;
  virtual bool GetFormatSize(int32_t index, int32_t& width, int32_t& height) = 0;
  // False for an index the form refuses (negative). Restarts a running capture.
  virtual bool SetFormatIndex(int32_t index) = 0;
};

class IVideoEncoder {
 public:
  virtual ~IVideoEncoder() = default;
  virtual void SetQuality(int32_t quality) = 0;  // 1..5; others ignored
  // One encoded frame, valid until the next call; allowSkip false: a key
  // frame. Raises when the bitmap cannot be coded.
  virtual std::span<const uint8_t> Encode(win32::Bitmap& bitmap, bool allowSkip) = 0;
};

// One remote sender's decoder.
class IVideoDecoder {
 public:
  virtual ~IVideoDecoder() = default;
  // Paints the frame into `bitmap` (32-bit, the frame's size). Raises for a
  // frame it refuses, changing nothing.
  virtual void Decode(win32::Bitmap& bitmap, TBytes frame) = 0;
};

// Makes the engine's media objects. Every method may be called more than
// once (a player and a decoder per talking peer).
class TMediaFactory {
 public:
  virtual ~TMediaFactory() = default;
  virtual std::unique_ptr<IRecorder> CreateRecorder();
  virtual std::unique_ptr<IPlayer> CreatePlayer();
  virtual std::unique_ptr<ICaptureSource> CreateCapture();
  virtual std::unique_ptr<IVideoEncoder> CreateEncoder();
  virtual std::unique_ptr<IVideoDecoder> CreateDecoder();
};

}  // namespace tw::cln
