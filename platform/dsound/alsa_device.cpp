// One thread per open ring. The thread owns every call on its PCM while it
// runs; the creating thread touches the PCM only while no thread runs
// (creation, start, stop, release). The ring bytes themselves are shared the
// way a sound card shares its buffer: the owner writes ahead of the write
// cursor (or reads behind the capture cursor) while the thread moves the rest.
#include "platform/dsound/alsa_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dsound/ring.h"
#include "platform/win32/tick.h"

namespace tw::dsound {

using detail::LoopingRing;

struct AlsaSoundDevice::Shared {
  std::atomic<unsigned> xruns{0};
  std::mutex mutex;
  std::condition_variable moved;
  uint64_t frames = 0;  // guarded by mutex

  void Moved(uint64_t n) {
    {
      std::lock_guard lock(mutex);
      frames += n;
    }
    moved.notify_all();
  }
};

namespace {

constexpr unsigned kLatencyUs = 40'000;

// An ALSA configuration parsed from text; empty text means the system's.
class Config {
 public:
  explicit Config(const std::string& text) {
    if (text.empty()) return;
    snd_input_t* input = nullptr;
    if (snd_config_top(&config_) < 0) return;
    if (snd_input_buffer_open(&input, text.data(), static_cast<ssize_t>(text.size())) < 0) return;
    if (snd_config_load(config_, input) < 0) {
      snd_config_delete(config_);
      config_ = nullptr;
    }
    snd_input_close(input);
    failed_ = config_ == nullptr;
  }
  ~Config() {
    if (config_ != nullptr) snd_config_delete(config_);
  }
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Opens `name` non-blocking; nullptr on failure.
  snd_pcm_t* Open(const std::string& name, bool capture) const {
    if (failed_) return nullptr;
    snd_pcm_t* pcm = nullptr;
    const auto stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    const int e = config_ != nullptr ? snd_pcm_open_lconf(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK, config_)
                                     : snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
    return e < 0 ? nullptr : pcm;
  }

 private:
  snd_config_t* config_ = nullptr;
  bool failed_ = false;
};

snd_pcm_format_t PcmFormat(const WAVEFORMATEX& f) { return f.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE; }

// The ring, the PCM and the thread that moves periods between them.
class AlsaRing {
 public:
  AlsaRing(std::shared_ptr<AlsaSoundDevice::Shared> shared, std::unique_ptr<Config> config, snd_pcm_t* pcm,
           const WAVEFORMATEX& f, DWORD bytes, bool capture)
      : shared_(std::move(shared)),
        config_(std::move(config)),
        pcm_(pcm),
        format_(f),
        ring_(bytes),
        capture_(capture),
        periodBytes_(std::max<DWORD>(f.nBlockAlign, f.nAvgBytesPerSec / 1000 * AlsaSoundDevice::kPeriodMs)),
        unclocked_(snd_pcm_type(pcm) == SND_PCM_TYPE_FILE || snd_pcm_type(pcm) == SND_PCM_TYPE_NULL) {}

  ~AlsaRing() {
    Halt();
    snd_pcm_close(pcm_);
  }

  HRESULT Run(bool looping) {
    std::lock_guard lock(mutex_);
    looping_ = looping;
    if (thread_.joinable()) return DS_OK;
    if (failed_) return DSERR_NODRIVER;
    stop_ = false;
    startTick_ = win32::GetTickCount();
    moved_ = 0;
    thread_ = std::thread([this] { Loop(); });
    return DS_OK;
  }

  // Stops the thread and drops what the PCM still holds.
  void Halt() {
    {
      std::lock_guard lock(mutex_);
      if (!thread_.joinable()) return;
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  bool Running() {
    std::lock_guard lock(mutex_);
    return thread_.joinable() && !failed_;
  }

  HRESULT Positions(DWORD* cursor, DWORD* ahead) {
    std::lock_guard lock(mutex_);
    if (failed_) return DSERR_NODRIVER;
    if (capture_) {
      if (cursor != nullptr) *cursor = pos_;
      if (ahead != nullptr) *ahead = pos_;
      return DS_OK;
    }
    // The play cursor is what the PCM still has to play behind what it got;
    // data may go anywhere past the period the thread may be copying.
    const DWORD queued = static_cast<DWORD>(std::min<uint64_t>(delayBytes_, ring_.size() - 1));
    if (cursor != nullptr) *cursor = (pos_ + ring_.size() - queued) % ring_.size();
    if (ahead != nullptr) *ahead = thread_.joinable() ? ring_.Advance(pos_, periodBytes_) : pos_;
    return DS_OK;
  }

  void SetPosition(DWORD position) {
    std::lock_guard lock(mutex_);
    pos_ = position - position % format_.nBlockAlign;
  }

  LoopingRing& ring() { return ring_; }
  std::mutex& mutex() { return mutex_; }

 private:
  void Loop() {
    try {
      std::vector<uint8_t> period(periodBytes_);
      const snd_pcm_uframes_t frames = periodBytes_ / format_.nBlockAlign;
      while (!Stopping()) {
        if (unclocked_ && AheadOfClock()) {
          std::unique_lock lock(mutex_);
          wake_.wait_for(lock, std::chrono::milliseconds(2), [this] { return stop_; });
          continue;
        }
        if (!capture_) {
          std::lock_guard lock(mutex_);
          ring_.CopyOut(pos_, period.data(), periodBytes_);
        }
        const snd_pcm_sframes_t n =
            capture_ ? snd_pcm_readi(pcm_, period.data(), frames) : snd_pcm_writei(pcm_, period.data(), frames);
        if (n == -EAGAIN) {
          snd_pcm_wait(pcm_, static_cast<int>(AlsaSoundDevice::kPeriodMs));
          continue;
        }
        if (n < 0) {
          if (n == -EPIPE || n == -ESTRPIPE) shared_->xruns.fetch_add(1);
          if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) {
            std::lock_guard lock(mutex_);
            failed_ = true;  // the device is gone
            return;
          }
          continue;
        }
        Advance(period.data(), static_cast<uint64_t>(n) * format_.nBlockAlign);
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      failed_ = true;  // nothing may leave the thread; the ring reports the device gone
    }
  }

  void Advance(const uint8_t* data, uint64_t bytes) {
    snd_pcm_sframes_t delay = 0;
    if (!capture_ && snd_pcm_delay(pcm_, &delay) < 0) delay = 0;
    {
      std::lock_guard lock(mutex_);
      if (capture_) ring_.CopyIn(pos_, data, bytes);
      const DWORD before = pos_;
      pos_ = ring_.Advance(pos_, bytes);
      if (!looping_ && pos_ < before) stop_ = true;  // a one-shot ring ends at its end
      delayBytes_ = static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(0, delay)) * format_.nBlockAlign;
      moved_ += bytes / format_.nBlockAlign;
    }
    shared_->Moved(bytes / format_.nBlockAlign);
  }

  bool Stopping() {
    std::lock_guard lock(mutex_);
    return stop_;
  }

  // For PCMs without a clock: no further than the tick allows (playback may
  // run one latency ahead, as a device's own buffer would).
  bool AheadOfClock() {
    std::lock_guard lock(mutex_);
    const uint64_t elapsed = static_cast<DWORD>(win32::GetTickCount() - startTick_);
    uint64_t allowed = elapsed * format_.nSamplesPerSec / 1000;
    if (!capture_) allowed += static_cast<uint64_t>(format_.nSamplesPerSec) * kLatencyUs / 1'000'000;
    return moved_ + periodBytes_ / format_.nBlockAlign > allowed;
  }

  std::shared_ptr<AlsaSoundDevice::Shared> shared_;
  std::unique_ptr<Config> config_;
  snd_pcm_t* pcm_;
  WAVEFORMATEX format_;
  LoopingRing ring_;
  const bool capture_;
  const DWORD periodBytes_;
  const bool unclocked_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  DWORD pos_ = 0;             // guarded by mutex_: play (handed-over) or capture position
  uint64_t delayBytes_ = 0;   // guarded by mutex_
  uint64_t moved_ = 0;        // guarded by mutex_: frames since the start
  DWORD startTick_ = 0;       // guarded by mutex_
  bool stop_ = false;         // guarded by mutex_
  bool looping_ = true;       // guarded by mutex_
  bool failed_ = false;       // guarded by mutex_
};

class AlsaPlaybackRing final : public IDirectSoundBuffer {
 public:
  explicit AlsaPlaybackRing(std::unique_ptr<AlsaRing> ring) : ring_(std::move(ring)) {}
  HRESULT SetFormat(const WAVEFORMATEX&) override { return DSERR_INVALIDCALL; }
  HRESULT SetCurrentPosition(DWORD position) override {
    if (position >= ring_->ring().size()) return DSERR_INVALIDPARAM;
    if (ring_->Running()) return DSERR_INVALIDCALL;
    ring_->SetPosition(position);
    return DS_OK;
  }
  HRESULT GetCurrentPosition(DWORD* play, DWORD* write) override { return ring_->Positions(play, write); }
  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2, DWORD flags) override {
    if (flags & DSBLOCK_FROMWRITECURSOR) {
      if (const HRESULT hr = ring_->Positions(nullptr, &offset); hr != DS_OK) return hr;
    }
    if (flags & DSBLOCK_ENTIREBUFFER) bytes = ring_->ring().size();
    return ring_->ring().Regions(offset, bytes, r1, n1, r2, n2);
  }
  HRESULT Unlock(void* r1, DWORD n1, void* r2, DWORD n2) override {
    return ring_->ring().Owns(r1, n1) && ring_->ring().Owns(r2, n2) ? DS_OK : DSERR_INVALIDPARAM;
  }
  HRESULT Play(DWORD, DWORD, DWORD flags) override { return ring_->Run((flags & DSBPLAY_LOOPING) != 0); }
  HRESULT Stop() override {
    ring_->Halt();
    return DS_OK;
  }
  HRESULT Restore() override { return DS_OK; }

 private:
  std::unique_ptr<AlsaRing> ring_;
};

class AlsaCaptureRing final : public IDirectSoundCaptureBuffer {
 public:
  explicit AlsaCaptureRing(std::unique_ptr<AlsaRing> ring) : ring_(std::move(ring)) {}
  HRESULT GetCurrentPosition(DWORD* capture, DWORD* read) override { return ring_->Positions(capture, read); }
  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2, DWORD flags) override {
    if (flags & DSCBLOCK_ENTIREBUFFER) bytes = ring_->ring().size();
    return ring_->ring().Regions(offset, bytes, r1, n1, r2, n2);
  }
  HRESULT Unlock(void* r1, DWORD n1, void* r2, DWORD n2) override {
    return ring_->ring().Owns(r1, n1) && ring_->ring().Owns(r2, n2) ? DS_OK : DSERR_INVALIDPARAM;
  }
  HRESULT Start(DWORD flags) override { return ring_->Run((flags & DSCBSTART_LOOPING) != 0); }
  HRESULT Stop() override {
    ring_->Halt();
    return DS_OK;
  }

 private:
  std::unique_ptr<AlsaRing> ring_;
};

}  // namespace

AlsaSoundDevice::AlsaSoundDevice(std::string pcm, std::string description, bool canPlay, bool canCapture,
                                 std::string config)
    : pcm_(std::move(pcm)),
      description_(std::move(description)),
      canPlay_(canPlay),
      canCapture_(canCapture),
      config_(std::move(config)),
      guid_(GuidForDeviceName("alsa:" + pcm_)),
      shared_(std::make_shared<Shared>()) {}

AlsaSoundDevice::~AlsaSoundDevice() = default;

std::vector<std::shared_ptr<AlsaSoundDevice>> AlsaSoundDevice::ListDevices() {
  std::vector<std::shared_ptr<AlsaSoundDevice>> list;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr) return list;
  for (void** h = hints; *h != nullptr; ++h) {
    char* name = snd_device_name_get_hint(*h, "NAME");
    char* desc = snd_device_name_get_hint(*h, "DESC");
    char* io = snd_device_name_get_hint(*h, "IOID");  // null: both directions
    const std::string n = name != nullptr ? name : "";
    std::string d = desc != nullptr ? desc : n;
    d = d.substr(0, d.find('\n'));
    const std::string dir = io != nullptr ? io : "";
    free(name);
    free(desc);
    free(io);
    // The null PCM discards everything: no device anyone would choose.
    if (n.empty() || n == "null") continue;
    auto device = std::make_shared<AlsaSoundDevice>(n, d, dir != "Input", dir != "Output");
    if (n == "default")
      list.insert(list.begin(), std::move(device));
    else
      list.push_back(std::move(device));
  }
  snd_device_name_free_hint(hints);
  return list;
}

HRESULT AlsaSoundDevice::Open(bool capture) {
  if (capture ? !canCapture_ : !canPlay_) return DSERR_NODRIVER;
  return DS_OK;
}

namespace {

template <typename Ring, typename Interface>
HRESULT OpenRing(const std::string& name, const std::string& configText,
                 std::shared_ptr<AlsaSoundDevice::Shared> shared, const WAVEFORMATEX& f, DWORD bytes, bool capture,
                 std::unique_ptr<Interface>* out) {
  auto config = std::make_unique<Config>(configText);
  snd_pcm_t* pcm = config->Open(name, capture);
  if (pcm == nullptr) return DSERR_NODRIVER;
  if (snd_pcm_set_params(pcm, PcmFormat(f), SND_PCM_ACCESS_RW_INTERLEAVED, f.nChannels, f.nSamplesPerSec, 1,
                         kLatencyUs) < 0) {
    snd_pcm_close(pcm);
    return DSERR_BADFORMAT;
  }
  *out = std::make_unique<Ring>(std::make_unique<AlsaRing>(std::move(shared), std::move(config), pcm, f, bytes, capture));
  return DS_OK;
}

}  // namespace

HRESULT AlsaSoundDevice::CreatePlaybackRing(const WAVEFORMATEX& format, DWORD bytes,
                                            std::unique_ptr<IDirectSoundBuffer>* out) {
  if (!canPlay_) return DSERR_NODRIVER;
  return OpenRing<AlsaPlaybackRing>(pcm_, config_, shared_, format, bytes, false, out);
}

HRESULT AlsaSoundDevice::CreateCaptureRing(const WAVEFORMATEX& format, DWORD bytes,
                                           std::unique_ptr<IDirectSoundCaptureBuffer>* out) {
  if (!canCapture_) return DSERR_NODRIVER;
  return OpenRing<AlsaCaptureRing>(pcm_, config_, shared_, format, bytes, true, out);
}

unsigned AlsaSoundDevice::Xruns() const { return shared_->xruns.load(); }

bool AlsaSoundDevice::WaitForFrames(uint64_t frames, uint32_t timeoutMs) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->moved.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return shared_->frames >= frames; });
}

}  // namespace tw::dsound
