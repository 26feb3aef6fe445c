// Rings of the virtual device catch up with the tick clock whenever they are
// touched: the bytes due since the last call are played into the sink (or
// captured from the source) before the call does anything else.
#include "platform/dsound/virtual_device.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <numbers>

#include "platform/dsound/ring.h"
#include "platform/win32/tick.h"

namespace tw::dsound {

using detail::LoopingRing;

namespace {

// Samples from the capture start (`index`), for a capture that started at
// tick `startTick`.
using Source = std::function<void(uint64_t index, DWORD startTick, std::span<int16_t> out)>;

// The most a ring catches up in one step (see Sync).
constexpr uint64_t kMaxCatchUpMs = 60'000;

// Bytes a ring of this format moves in `ms`, whole frames only.
uint64_t BytesIn(const WAVEFORMATEX& f, uint64_t ms) {
  const uint64_t bytes = ms * f.nAvgBytesPerSec / 1000;
  return bytes - bytes % f.nBlockAlign;
}

int16_t FirstChannel(const WAVEFORMATEX& f, const uint8_t* frame) {
  if (f.wBitsPerSample == 8) return static_cast<int16_t>((frame[0] - 128) << 8);
  return static_cast<int16_t>(static_cast<uint16_t>(frame[0] | (frame[1] << 8)));
}

void StoreFrame(const WAVEFORMATEX& f, int16_t s, uint8_t* frame) {
  for (int c = 0; c < f.nChannels; ++c) {
    if (f.wBitsPerSample == 8) {
      frame[c] = static_cast<uint8_t>((s >> 8) + 128);
    } else {
      frame[2 * c] = static_cast<uint8_t>(s & 0xFF);
      frame[2 * c + 1] = static_cast<uint8_t>((static_cast<uint16_t>(s) >> 8) & 0xFF);
    }
  }
}

// Reads the samples of a 16-bit mono PCM WAV file; empty on any fault.
std::vector<int16_t> ReadWav(const std::string& path, bool* ok) {
  *ok = false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(b[at] | (b[at + 1] << 8)); };
  auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
      std::string(b.begin() + 8, b.begin() + 12) != "WAVE")
    return {};
  bool pcm16mono = false;
  for (size_t at = 12; at + 8 <= b.size();) {
    const std::string id(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 4));
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    if (size > b.size() - body) return {};
    if (id == "fmt " && size >= 16) {
      pcm16mono = u16(body) == 1 && u16(body + 2) == 1 && u16(body + 14) == 16;
    } else if (id == "data" && pcm16mono) {
      std::vector<int16_t> samples(size / 2);
      for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(static_cast<uint16_t>(u16(body + 2 * i)));
      *ok = true;
      return samples;
    }
    at = body + size + (size & 1);
  }
  return {};
}

}  // namespace

struct VirtualSoundDevice::Core {
  explicit Core(bool keep) : keepSink(keep) {}
  std::recursive_mutex mutex;
  const bool keepSink;
  const DWORD epoch = win32::GetTickCount();
  uint32_t sinkRate = 0;
  std::vector<int16_t> sink;
  std::vector<std::function<void()>> syncers;  // one per live playback ring
  Source source;
  int failOpen = 0, failCreate = 0, failLock = 0, failStop = 0;
  bool loseNext = false;

  static bool Take(int& counter) {
    if (counter <= 0) return false;
    --counter;
    return true;
  }
  void SyncPlayers() {
    for (auto& s : syncers)
      if (s) s();
  }
  // Ten minutes at 16 kHz: a clock that jumps (a test switching clocks) must
  // not grow the sink without bound.
  static constexpr uint64_t kMaxSinkSamples = 16000ull * 600;
  void Mix(uint64_t index, int16_t s) {
    if (!keepSink || index >= kMaxSinkSamples) return;
    if (index >= sink.size()) sink.resize(index + 1, 0);
    const int v = sink[index] + s;
    sink[index] = static_cast<int16_t>(std::clamp(v, -32768, 32767));
  }
};

namespace {

class VirtualPlaybackRing final : public IDirectSoundBuffer {
 public:
  VirtualPlaybackRing(std::shared_ptr<VirtualSoundDevice::Core> core, const WAVEFORMATEX& f, DWORD bytes)
      : core_(std::move(core)), format_(f), ring_(bytes) {
    std::lock_guard lock(core_->mutex);
    if (core_->sinkRate == 0) core_->sinkRate = f.nSamplesPerSec;
    slot_ = core_->syncers.size();
    core_->syncers.push_back([this] { Sync(); });
  }
  ~VirtualPlaybackRing() override {
    std::lock_guard lock(core_->mutex);
    Sync();
    core_->syncers[slot_] = nullptr;
  }

  HRESULT SetFormat(const WAVEFORMATEX&) override { return DSERR_INVALIDCALL; }

  HRESULT SetCurrentPosition(DWORD position) override {
    std::lock_guard lock(core_->mutex);
    if (position >= ring_.size()) return DSERR_INVALIDPARAM;
    Sync();
    play_ = position - position % format_.nBlockAlign;
    Anchor();
    return DS_OK;
  }

  HRESULT GetCurrentPosition(DWORD* play, DWORD* write) override {
    std::lock_guard lock(core_->mutex);
    Sync();
    if (play != nullptr) *play = play_;
    if (write != nullptr) *write = playing_ ? ring_.Advance(play_, BytesIn(format_, VirtualSoundDevice::kWriteLeadMs)) : play_;
    return DS_OK;
  }

  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2, DWORD flags) override {
    std::lock_guard lock(core_->mutex);
    Sync();
    if (core_->loseNext) {
      core_->loseNext = false;
      lost_ = true;
      std::fill_n(ring_.data(), ring_.size(), uint8_t{0});
    }
    if (lost_) return DSERR_BUFFERLOST;
    if (VirtualSoundDevice::Core::Take(core_->failLock)) return DSERR_INVALIDCALL;
    if (flags & DSBLOCK_FROMWRITECURSOR) offset = playing_ ? ring_.Advance(play_, BytesIn(format_, VirtualSoundDevice::kWriteLeadMs)) : play_;
    if (flags & DSBLOCK_ENTIREBUFFER) bytes = ring_.size();
    return ring_.Regions(offset, bytes, r1, n1, r2, n2);
  }

  HRESULT Unlock(void* r1, DWORD n1, void* r2, DWORD n2) override {
    std::lock_guard lock(core_->mutex);
    return ring_.Owns(r1, n1) && ring_.Owns(r2, n2) ? DS_OK : DSERR_INVALIDPARAM;
  }

  HRESULT Play(DWORD, DWORD, DWORD flags) override {
    std::lock_guard lock(core_->mutex);
    if (lost_) return DSERR_BUFFERLOST;
    Sync();
    looping_ = (flags & DSBPLAY_LOOPING) != 0;
    if (!playing_) {
      playing_ = true;
      Anchor();
    }
    return DS_OK;
  }

  HRESULT Stop() override {
    std::lock_guard lock(core_->mutex);
    if (VirtualSoundDevice::Core::Take(core_->failStop)) return DSERR_GENERIC;
    Sync();
    playing_ = false;
    return DS_OK;
  }

  HRESULT Restore() override {
    std::lock_guard lock(core_->mutex);
    lost_ = false;
    return DS_OK;
  }

 private:
  void Anchor() {
    anchorTick_ = win32::GetTickCount();
    consumed_ = 0;
  }

  // Plays the bytes due since the last call into the sink.
  void Sync() {
    if (!playing_) return;
    const DWORD now = win32::GetTickCount();
    const uint64_t due = BytesIn(format_, static_cast<DWORD>(now - anchorTick_));
    const uint64_t firstSample = Index(anchorTick_);
    // A clock that jumps far ahead skips to the last minute instead of
    // playing hours of ring.
    if (const uint64_t cap = BytesIn(format_, kMaxCatchUpMs); due - consumed_ > cap) {
      play_ = ring_.Advance(play_, (due - cap - consumed_) % ring_.size());
      consumed_ = due - cap;
    }
    while (consumed_ < due) {
      const uint8_t* frame = ring_.data() + play_;
      core_->Mix(firstSample + consumed_ / format_.nBlockAlign, FirstChannel(format_, frame));
      consumed_ += format_.nBlockAlign;
      play_ = ring_.Advance(play_, format_.nBlockAlign);
      if (play_ == 0 && !looping_) {
        playing_ = false;
        break;
      }
    }
  }

  uint64_t Index(DWORD tick) const {
    return static_cast<uint64_t>(static_cast<DWORD>(tick - core_->epoch)) * core_->sinkRate / 1000;
  }

  std::shared_ptr<VirtualSoundDevice::Core> core_;
  WAVEFORMATEX format_;
  LoopingRing ring_;
  size_t slot_ = 0;
  DWORD play_ = 0;
  DWORD anchorTick_ = 0;
  uint64_t consumed_ = 0;
  bool playing_ = false;
  bool looping_ = false;
  bool lost_ = false;
};

class VirtualCaptureRing final : public IDirectSoundCaptureBuffer {
 public:
  VirtualCaptureRing(std::shared_ptr<VirtualSoundDevice::Core> core, const WAVEFORMATEX& f, DWORD bytes)
      : core_(std::move(core)), format_(f), ring_(bytes) {}

  HRESULT GetCurrentPosition(DWORD* capture, DWORD* read) override {
    std::lock_guard lock(core_->mutex);
    Sync();
    if (capture != nullptr) *capture = pos_;
    if (read != nullptr) *read = pos_;
    return DS_OK;
  }

  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2, DWORD flags) override {
    std::lock_guard lock(core_->mutex);
    Sync();
    if (VirtualSoundDevice::Core::Take(core_->failLock)) return DSERR_INVALIDCALL;
    if (flags & DSCBLOCK_ENTIREBUFFER) bytes = ring_.size();
    return ring_.Regions(offset, bytes, r1, n1, r2, n2);
  }

  HRESULT Unlock(void* r1, DWORD n1, void* r2, DWORD n2) override {
    std::lock_guard lock(core_->mutex);
    return ring_.Owns(r1, n1) && ring_.Owns(r2, n2) ? DS_OK : DSERR_INVALIDPARAM;
  }

  HRESULT Start(DWORD flags) override {
    std::lock_guard lock(core_->mutex);
    Sync();
    looping_ = (flags & DSCBSTART_LOOPING) != 0;
    if (!capturing_) {
      capturing_ = true;
      anchorTick_ = win32::GetTickCount();
      if (!started_) startTick_ = anchorTick_;
      started_ = true;
      produced_ = 0;
    }
    return DS_OK;
  }

  HRESULT Stop() override {
    std::lock_guard lock(core_->mutex);
    if (VirtualSoundDevice::Core::Take(core_->failStop)) return DSERR_GENERIC;
    Sync();
    capturing_ = false;
    return DS_OK;
  }

 private:
  // Captures the samples due since the last call from the source.
  void Sync() {
    if (!capturing_) return;
    const uint64_t due = BytesIn(format_, static_cast<DWORD>(win32::GetTickCount() - anchorTick_));
    if (due <= produced_) return;
    if (const uint64_t cap = BytesIn(format_, kMaxCatchUpMs); due - produced_ > cap) {
      sourceIndex_ += (due - cap - produced_) / format_.nBlockAlign;  // the skipped part of the source
      produced_ = due - cap;
    }
    const size_t frames = static_cast<size_t>((due - produced_) / format_.nBlockAlign);
    samples_.assign(frames, 0);
    if (core_->source) core_->source(sourceIndex_, startTick_, samples_);
    for (int16_t s : samples_) {
      StoreFrame(format_, s, frame_);
      ring_.CopyIn(pos_, frame_, format_.nBlockAlign);
      pos_ = ring_.Advance(pos_, format_.nBlockAlign);
      if (pos_ == 0 && !looping_) {
        capturing_ = false;
        break;
      }
    }
    sourceIndex_ += frames;
    produced_ = due;
  }

  std::shared_ptr<VirtualSoundDevice::Core> core_;
  WAVEFORMATEX format_;
  LoopingRing ring_;
  std::vector<int16_t> samples_;
  uint8_t frame_[4] = {};
  DWORD pos_ = 0;
  DWORD anchorTick_ = 0;
  DWORD startTick_ = 0;
  uint64_t produced_ = 0;
  uint64_t sourceIndex_ = 0;
  bool capturing_ = false;
  bool looping_ = false;
  bool started_ = false;
};

}  // namespace

VirtualSoundDevice::VirtualSoundDevice(std::string description, bool keepSink)
    : description_(std::move(description)),
      guid_(GuidForDeviceName("virtual:" + description_)),
      core_(std::make_shared<Core>(keepSink)) {}

VirtualSoundDevice::~VirtualSoundDevice() = default;

HRESULT VirtualSoundDevice::Open(bool) {
  std::lock_guard lock(core_->mutex);
  return Core::Take(core_->failOpen) ? DSERR_NODRIVER : DS_OK;
}

HRESULT VirtualSoundDevice::CreatePlaybackRing(const WAVEFORMATEX& format, DWORD bytes,
                                               std::unique_ptr<IDirectSoundBuffer>* out) {
  {
    std::lock_guard lock(core_->mutex);
    if (Core::Take(core_->failCreate)) return DSERR_OUTOFMEMORY;
  }
  *out = std::make_unique<VirtualPlaybackRing>(core_, format, bytes);
  return DS_OK;
}

HRESULT VirtualSoundDevice::CreateCaptureRing(const WAVEFORMATEX& format, DWORD bytes,
                                              std::unique_ptr<IDirectSoundCaptureBuffer>* out) {
  std::lock_guard lock(core_->mutex);
  if (Core::Take(core_->failCreate)) return DSERR_OUTOFMEMORY;
  *out = std::make_unique<VirtualCaptureRing>(core_, format, bytes);
  return DS_OK;
}

void VirtualSoundDevice::CaptureSilence() {
  std::lock_guard lock(core_->mutex);
  core_->source = nullptr;
}

void VirtualSoundDevice::CaptureTone(double hz, int16_t amplitude) {
  std::lock_guard lock(core_->mutex);
  core_->source = [hz, amplitude](uint64_t index, DWORD, std::span<int16_t> out) {
    // 16 kHz timeline: the phase depends on the sample index only.
    const double step = 2.0 * std::numbers::pi * hz / 16000.0;
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(step * static_cast<double>(index + i))));
  };
}

void VirtualSoundDevice::CaptureSamples(std::vector<int16_t> samples) {
  std::lock_guard lock(core_->mutex);
  core_->source = [s = std::move(samples)](uint64_t index, DWORD, std::span<int16_t> out) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = index + i < s.size() ? s[index + i] : 0;
  };
}

bool VirtualSoundDevice::CaptureWavFile(const std::string& path) {
  bool ok = false;
  std::vector<int16_t> samples = ReadWav(path, &ok);
  if (!ok) return false;
  CaptureSamples(std::move(samples));
  return true;
}

void VirtualSoundDevice::CaptureLoopback(std::shared_ptr<VirtualSoundDevice> speaker, DWORD delayMs) {
  std::lock_guard lock(core_->mutex);
  std::weak_ptr<Core> weak = speaker->core_;
  core_->source = [weak, delayMs](uint64_t index, DWORD startTick, std::span<int16_t> out) {
    std::fill(out.begin(), out.end(), int16_t{0});
    const auto sp = weak.lock();
    if (!sp) return;
    std::lock_guard speakerLock(sp->mutex);
    sp->SyncPlayers();
    const uint64_t rate = sp->sinkRate != 0 ? sp->sinkRate : 16000;
    const uint64_t start = static_cast<uint64_t>(static_cast<DWORD>(startTick - sp->epoch)) * rate / 1000 + index;
    const uint64_t delay = delayMs * rate / 1000;
    for (size_t i = 0; i < out.size(); ++i) {
      const uint64_t at = start + i;
      if (at >= delay && at - delay < sp->sink.size()) out[i] = sp->sink[at - delay];
    }
  };
}

std::vector<int16_t> VirtualSoundDevice::Played() {
  std::lock_guard lock(core_->mutex);
  core_->SyncPlayers();
  return core_->sink;
}

uint64_t VirtualSoundDevice::SinkIndexAt(DWORD tick) const {
  std::lock_guard lock(core_->mutex);
  const uint64_t rate = core_->sinkRate != 0 ? core_->sinkRate : 16000;
  return static_cast<uint64_t>(static_cast<DWORD>(tick - core_->epoch)) * rate / 1000;
}

void VirtualSoundDevice::FailOpen(int count) {
  std::lock_guard lock(core_->mutex);
  core_->failOpen = count;
}
void VirtualSoundDevice::FailBufferCreation(int count) {
  std::lock_guard lock(core_->mutex);
  core_->failCreate = count;
}
void VirtualSoundDevice::FailLocks(int count) {
  std::lock_guard lock(core_->mutex);
  core_->failLock = count;
}
void VirtualSoundDevice::FailStops(int count) {
  std::lock_guard lock(core_->mutex);
  core_->failStop = count;
}
void VirtualSoundDevice::LoseBufferOnce() {
  std::lock_guard lock(core_->mutex);
  core_->loseNext = true;
}

}  // namespace tw::dsound
