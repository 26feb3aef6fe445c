// One stream per open PCM: the PCM, its thread and the taps (one per buffer)
// that it feeds or fills. The thread owns every call on its PCM while it
// runs; other threads touch the PCM only while no thread runs (open, start,
// stop, close). A tap's ring is touched only under the stream's mutex: Lock
// hands its owner a staged copy of the span, and Unlock copies what the
// owner wrote back into the ring, so the owner never writes memory that the
// thread reads at the same time.
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

namespace alsa {
class Stream;
}

struct AlsaSoundDevice::Shared {
  std::atomic<unsigned> xruns{0};
  std::atomic<unsigned> opens{0};
  std::mutex mutex;
  std::condition_variable moved;
  uint64_t frames = 0;   // guarded by mutex
  int64_t failAt = -1;   // guarded by mutex: frames after which the PCMs fail; -1 never

  std::mutex streamsMutex;
  std::weak_ptr<alsa::Stream> streams[2];  // guarded by streamsMutex: playback, capture

  void Moved(uint64_t n) {
    {
      std::lock_guard lock(mutex);
      frames += n;
    }
    moved.notify_all();
  }
  bool Vanished() {
    std::lock_guard lock(mutex);
    return failAt >= 0 && frames >= static_cast<uint64_t>(failAt);
  }
};

namespace alsa {

constexpr unsigned kLatencyUs = 40'000;

std::string Reason(const std::string& pcm, int error) { return pcm + ": " + snd_strerror(error); }

// An ALSA configuration parsed from text; empty text means the system's.
class Config {
 public:
  explicit Config(const std::string& text) {
    if (text.empty()) return;
    snd_input_t* input = nullptr;
    if ((error_ = snd_config_top(&config_)) < 0) return;
    if ((error_ = snd_input_buffer_open(&input, text.data(), static_cast<ssize_t>(text.size()))) < 0) return;
    if ((error_ = snd_config_load(config_, input)) < 0) {
      snd_config_delete(config_);
      config_ = nullptr;
    }
    snd_input_close(input);
  }
  ~Config() {
    if (config_ != nullptr) snd_config_delete(config_);
  }
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Opens `name` non-blocking; the negative error code on failure.
  int Open(const std::string& name, bool capture, snd_pcm_t** pcm) const {
    if (error_ < 0) return error_;
    const auto stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    return config_ != nullptr ? snd_pcm_open_lconf(pcm, name.c_str(), stream, SND_PCM_NONBLOCK, config_)
                              : snd_pcm_open(pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  }

 private:
  snd_config_t* config_ = nullptr;
  int error_ = 0;
};

snd_pcm_format_t PcmFormat(const WAVEFORMATEX& f) { return f.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE; }

// How far the thread may run ahead. A PCM that shows a clock of its own
// (it makes the thread wait, runs dry, or counts frames it still holds)
// sets the pace; one that shows none (any stack ending in the null PCM)
// gets no more than the tick allows, so its thread sleeps instead of
// spinning. Used by the stream's thread only.
class Pace {
 public:
  Pace(uint32_t rate, uint64_t leadFrames) : rate_(rate), lead_(leadFrames) {}

  void Restart() {
    anchorTick_ = win32::GetTickCount();
    anchorFrames_ = lead_;
    moved_ = 0;
  }
  // From now on the PCM may take `room` frames beyond what it took so far,
  // and then as many as the tick allows.
  void Rebase(uint64_t room) {
    anchorTick_ = win32::GetTickCount();
    anchorFrames_ = moved_ + room;
  }
  bool Ahead(uint64_t next) const {
    const uint64_t elapsed = static_cast<DWORD>(win32::GetTickCount() - anchorTick_);
    return moved_ + next > anchorFrames_ + elapsed * rate_ / 1000;
  }
  void Moved(uint64_t frames) { moved_ += frames; }
  uint64_t Lead() const { return lead_; }

 private:
  const uint32_t rate_;
  const uint64_t lead_;
  DWORD anchorTick_ = 0;
  uint64_t anchorFrames_ = 0;
  uint64_t moved_ = 0;
};

// The ring of one buffer and where it stands.
struct Tap {
  explicit Tap(DWORD bytes) : ring(bytes), staging(bytes) {}
  LoopingRing ring;               // guarded by the stream's mutex
  DWORD pos = 0;                  // guarded: play (handed-over) or capture position
  bool running = false;           // guarded
  bool looping = true;            // guarded
  std::vector<uint8_t> staging;   // the buffer owner's: what Lock handed out
  bool locked = false;            // the owner's: the span of the outstanding Lock
  DWORD lockOffset = 0, lock1 = 0, lock2 = 0;
};

class Stream {
 public:
  // Opens `name` for `format`; on failure sets the thread's LastErrorText.
  static HRESULT Open(const std::shared_ptr<AlsaSoundDevice::Shared>& shared, const std::string& name,
                      const std::string& configText, const WAVEFORMATEX& f, bool capture,
                      std::shared_ptr<Stream>* out) {
    auto config = std::make_unique<Config>(configText);
    snd_pcm_t* pcm = nullptr;
    if (const int e = config->Open(name, capture, &pcm); e < 0) {
      SetLastErrorText(Reason(name, e));
      return DSERR_NODRIVER;
    }
    if (const int e = snd_pcm_set_params(pcm, PcmFormat(f), SND_PCM_ACCESS_RW_INTERLEAVED, f.nChannels,
                                         f.nSamplesPerSec, 1, kLatencyUs);
        e < 0) {
      snd_pcm_close(pcm);
      SetLastErrorText(Reason(name, e) + " (" + std::to_string(f.nSamplesPerSec) + " Hz, " +
                       std::to_string(f.wBitsPerSample) + " bits, " + std::to_string(f.nChannels) + " channels)");
      return DSERR_BADFORMAT;
    }
    shared->opens.fetch_add(1);
    *out = std::make_shared<Stream>(shared, std::move(config), pcm, name, f, capture);
    return DS_OK;
  }

  Stream(std::shared_ptr<AlsaSoundDevice::Shared> shared, std::unique_ptr<Config> config, snd_pcm_t* pcm,
         std::string name, const WAVEFORMATEX& f, bool capture)
      : shared_(std::move(shared)),
        config_(std::move(config)),
        pcm_(pcm),
        name_(std::move(name)),
        format_(f),
        capture_(capture),
        periodBytes_(std::max<DWORD>(f.nBlockAlign, f.nAvgBytesPerSec / 1000 * AlsaSoundDevice::kPeriodMs)),
        pace_(f.nSamplesPerSec, capture ? 0 : static_cast<uint64_t>(f.nSamplesPerSec) * kLatencyUs / 1'000'000) {}

  ~Stream() {
    std::lock_guard control(control_);
    StopThread();
    snd_pcm_close(pcm_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool Serves(const WAVEFORMATEX& f) const {
    return f.nChannels == format_.nChannels && f.nSamplesPerSec == format_.nSamplesPerSec &&
           f.wBitsPerSample == format_.wBitsPerSample;
  }
  bool Failed() {
    std::lock_guard lock(mutex_);
    return failed_;
  }
  const std::string& Name() const { return name_; }

  void Attach(Tap* tap) {
    std::lock_guard lock(mutex_);
    taps_.push_back(tap);
  }
  void Detach(Tap* tap) {
    Halt(tap);
    std::lock_guard lock(mutex_);
    taps_.erase(std::remove(taps_.begin(), taps_.end(), tap), taps_.end());
  }

  HRESULT Run(Tap* tap, bool looping) {
    std::lock_guard control(control_);
    std::unique_lock lock(mutex_);
    if (failed_) return Failure();
    tap->looping = looping;
    if (tap->running) return DS_OK;
    tap->running = true;
    if (threadRunning_) return DS_OK;
    lock.unlock();
    JoinFinished();
    lock.lock();
    stop_ = false;
    threadRunning_ = true;
    pace_.Restart();
    thread_ = std::thread([this] { Loop(); });
    return DS_OK;
  }

  // The tap stops; the last one to stop stops the thread and drops what the
  // PCM still holds.
  void Halt(Tap* tap) {
    std::lock_guard control(control_);
    {
      std::lock_guard lock(mutex_);
      tap->running = false;
      if (AnyRunning()) return;
    }
    StopThread();
  }

  bool Running(const Tap& tap) {
    std::lock_guard lock(mutex_);
    return tap.running && !failed_;
  }

  HRESULT Positions(const Tap& tap, DWORD* cursor, DWORD* ahead) {
    std::lock_guard lock(mutex_);
    if (failed_) return Failure();
    const DWORD size = tap.ring.size();
    if (capture_) {
      if (cursor != nullptr) *cursor = tap.pos;
      if (ahead != nullptr) *ahead = tap.pos;
      return DS_OK;
    }
    // The play cursor is what the PCM still has to play behind what it got;
    // data may go anywhere past the period the thread may be copying.
    const DWORD queued = static_cast<DWORD>(std::min<uint64_t>(delayBytes_, size - 1));
    if (cursor != nullptr) *cursor = (tap.pos + size - queued) % size;
    if (ahead != nullptr) *ahead = tap.running ? tap.ring.Advance(tap.pos, periodBytes_) : tap.pos;
    return DS_OK;
  }

  HRESULT SetPosition(Tap& tap, DWORD position) {
    std::lock_guard lock(mutex_);
    if (tap.running) return DSERR_INVALIDCALL;
    tap.pos = position - position % format_.nBlockAlign;
    return DS_OK;
  }

  // Hands out a staged copy of [offset, offset + bytes) as one or two regions.
  HRESULT Lock(Tap& tap, DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2) {
    const DWORD size = tap.staging.size() > 0 ? static_cast<DWORD>(tap.staging.size()) : 0;
    if (r1 == nullptr || n1 == nullptr || offset >= size || bytes == 0 || bytes > size) return DSERR_INVALIDPARAM;
    const DWORD first = std::min(bytes, size - offset);
    const DWORD second = bytes - first;
    if (second > 0 && (r2 == nullptr || n2 == nullptr)) return DSERR_INVALIDPARAM;
    {
      std::lock_guard lock(mutex_);
      tap.ring.CopyOut(offset, tap.staging.data(), bytes);
    }
    tap.locked = true;
    tap.lockOffset = offset;
    tap.lock1 = first;
    tap.lock2 = second;
    *r1 = tap.staging.data();
    *n1 = first;
    if (r2 != nullptr) *r2 = second > 0 ? tap.staging.data() + first : nullptr;
    if (n2 != nullptr) *n2 = second;
    return DS_OK;
  }

  // Takes back the regions of the last Lock; playback copies the first n1
  // and n2 bytes of them into the ring.
  HRESULT Unlock(Tap& tap, void* r1, DWORD n1, void* r2, DWORD n2) {
    if (!tap.locked || r1 != tap.staging.data() || n1 > tap.lock1) return DSERR_INVALIDPARAM;
    if (n2 > 0 && (r2 != tap.staging.data() + tap.lock1 || n2 > tap.lock2)) return DSERR_INVALIDPARAM;
    tap.locked = false;
    if (capture_) return DS_OK;
    std::lock_guard lock(mutex_);
    tap.ring.CopyIn(tap.lockOffset, tap.staging.data(), n1);
    if (n2 > 0) tap.ring.CopyIn(0, tap.staging.data() + tap.lock1, n2);
    return DS_OK;
  }

 private:
  HRESULT Failure() const {  // mutex_ held
    SetLastErrorText(reason_);
    return DSERR_NODRIVER;
  }
  bool AnyRunning() const {  // mutex_ held
    return std::any_of(taps_.begin(), taps_.end(), [](const Tap* t) { return t->running; });
  }

  void StopThread() {
    {
      std::lock_guard lock(mutex_);
      if (!thread_.joinable()) return;
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    threadRunning_ = false;
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  // A thread that ended on its own (a one-shot ring reached its end, the
  // device failed) is joined before the next one starts.
  void JoinFinished() {
    if (thread_.joinable()) thread_.join();
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  void Loop() {
    try {
      std::vector<uint8_t> period(periodBytes_);
      std::vector<uint8_t> scratch(periodBytes_);
      const snd_pcm_uframes_t frames = periodBytes_ / format_.nBlockAlign;
      int consecutiveWaits = 0;
      while (KeepGoing()) {
        if (pace_.Ahead(frames) && !ShowsClock(frames)) {
          std::unique_lock lock(mutex_);
          wake_.wait_for(lock, std::chrono::milliseconds(2), [this] { return stop_; });
          continue;
        }
        // Whether anything plays and what the period holds are one decision:
        // a ring that stops after KeepGoing must not leave a period of silence.
        if (!capture_ && !MixOut(period.data(), scratch.data())) return;
        const snd_pcm_sframes_t n = shared_->Vanished() ? -ENODEV
                                    : capture_          ? snd_pcm_readi(pcm_, period.data(), frames)
                                                        : snd_pcm_writei(pcm_, period.data(), frames);
        if (n == -EAGAIN) {
          // Full (or empty, for capture): the PCM keeps time itself.
          pace_.Rebase(0);
          if (++consecutiveWaits > 1) continue;  // the next pass waits for the tick
          snd_pcm_wait(pcm_, static_cast<int>(AlsaSoundDevice::kPeriodMs));
          continue;
        }
        consecutiveWaits = 0;
        if (n < 0) {
          if (n == -EPIPE || n == -ESTRPIPE) shared_->xruns.fetch_add(1);
          if (const int e = snd_pcm_recover(pcm_, static_cast<int>(n), 1); e < 0) {
            Fail(e);
            return;
          }
          pace_.Rebase(capture_ ? 0 : pace_.Lead());  // ran dry or over: refill one latency
          continue;
        }
        Deliver(period.data(), static_cast<uint64_t>(n));
      }
    } catch (...) {
      Fail(-EIO);  // nothing may leave the thread; the buffers report the device gone
    }
  }

  // Whether the PCM holds frames it counts itself (a device with a clock,
  // or a server in front of one): then its own queue sets the pace.
  bool ShowsClock(uint64_t frames) {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm_, &delay) < 0 || delay <= 0) return false;
    const auto held = static_cast<uint64_t>(delay);
    if (capture_) {
      pace_.Rebase(held);
    } else {
      pace_.Rebase(held < pace_.Lead() ? pace_.Lead() - held : 0);
    }
    return !pace_.Ahead(frames);
  }

  bool KeepGoing() {
    std::lock_guard lock(mutex_);
    return KeepGoingLocked();
  }
  // Whether the thread goes on; when it does not, it counts as ended from
  // here on (Run starts a new one). mutex_ held.
  bool KeepGoingLocked() {
    if (stop_ || !AnyRunning()) {
      threadRunning_ = false;
      return false;
    }
    return true;
  }

  void Fail(int error) {
    std::lock_guard lock(mutex_);
    failed_ = true;
    threadRunning_ = false;
    reason_ = Reason(name_, error);
  }

  // The next period of every ring that plays now, mixed (one ring: as it
  // is); false, with nothing written, when none plays any more (the thread
  // then ends, as KeepGoing would have it).
  bool MixOut(uint8_t* out, uint8_t* scratch) {
    std::lock_guard lock(mutex_);
    if (!KeepGoingLocked()) return false;
    const auto running = [](const Tap* t) { return t->running; };
    if (std::count_if(taps_.begin(), taps_.end(), running) == 1) {
      const Tap* only = *std::find_if(taps_.begin(), taps_.end(), running);
      only->ring.CopyOut(only->pos, out, periodBytes_);
      return true;
    }
    const bool eight = format_.wBitsPerSample == 8;
    const size_t samples = eight ? periodBytes_ : periodBytes_ / 2;
    mix_.assign(samples, 0);
    for (const Tap* t : taps_) {
      if (!t->running) continue;
      t->ring.CopyOut(t->pos, scratch, periodBytes_);
      for (size_t i = 0; i < samples; ++i)
        mix_[i] += eight ? (scratch[i] - 128) << 8 : static_cast<int16_t>(scratch[2 * i] | (scratch[2 * i + 1] << 8));
    }
    for (size_t i = 0; i < samples; ++i) {
      const int s = std::clamp(mix_[i], -32768, 32767);
      if (eight) {
        out[i] = static_cast<uint8_t>((s >> 8) + 128);
      } else {
        out[2 * i] = static_cast<uint8_t>(s & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
      }
    }
    return true;
  }

  void Deliver(const uint8_t* data, uint64_t frames) {
    const uint64_t bytes = frames * format_.nBlockAlign;
    snd_pcm_sframes_t delay = 0;
    if (!capture_ && snd_pcm_delay(pcm_, &delay) < 0) delay = 0;
    pace_.Moved(frames);
    {
      std::lock_guard lock(mutex_);
      for (Tap* t : taps_) {
        if (!t->running) continue;
        if (capture_) t->ring.CopyIn(t->pos, data, bytes);
        const DWORD before = t->pos;
        t->pos = t->ring.Advance(t->pos, bytes);
        if (!t->looping && t->pos < before) t->running = false;  // a one-shot ring ends at its end
      }
      delayBytes_ = static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(0, delay)) * format_.nBlockAlign;
    }
    shared_->Moved(frames);
  }

  const std::shared_ptr<AlsaSoundDevice::Shared> shared_;
  const std::unique_ptr<Config> config_;
  snd_pcm_t* const pcm_;
  const std::string name_;
  const WAVEFORMATEX format_;
  const bool capture_;
  const DWORD periodBytes_;
  Pace pace_;                  // the thread's (set before it starts)
  std::vector<int32_t> mix_;   // the thread's
  std::mutex control_;          // starts and stops of the thread (buffers of several owners)
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;         // started and joined under control_
  std::vector<Tap*> taps_;     // guarded by mutex_
  uint64_t delayBytes_ = 0;    // guarded by mutex_
  bool stop_ = false;          // guarded by mutex_
  bool threadRunning_ = false; // guarded by mutex_
  bool failed_ = false;        // guarded by mutex_
  std::string reason_;         // guarded by mutex_
};

// A buffer: its tap on the device's stream.
class Buffer {
 public:
  Buffer(std::shared_ptr<Stream> stream, DWORD bytes) : stream_(std::move(stream)), tap_(bytes) {
    stream_->Attach(&tap_);
  }
  ~Buffer() { stream_->Detach(&tap_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  Stream& stream() { return *stream_; }
  Tap& tap() { return tap_; }
  DWORD size() const { return tap_.ring.size(); }

 private:
  std::shared_ptr<Stream> stream_;
  Tap tap_;
};

class PlaybackRing final : public IDirectSoundBuffer {
 public:
  PlaybackRing(std::shared_ptr<Stream> stream, DWORD bytes) : b_(std::move(stream), bytes) {}
  HRESULT SetFormat(const WAVEFORMATEX&) override { return DSERR_INVALIDCALL; }
  HRESULT SetCurrentPosition(DWORD position) override {
    if (position >= b_.size()) return DSERR_INVALIDPARAM;
    return b_.stream().SetPosition(b_.tap(), position);
  }
  HRESULT GetCurrentPosition(DWORD* play, DWORD* write) override {
    return b_.stream().Positions(b_.tap(), play, write);
  }
  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2, DWORD flags) override {
    if (flags & DSBLOCK_FROMWRITECURSOR) {
      if (const HRESULT hr = b_.stream().Positions(b_.tap(), nullptr, &offset); hr != DS_OK) return hr;
    }
    if (flags & DSBLOCK_ENTIREBUFFER) bytes = b_.size();
    return b_.stream().Lock(b_.tap(), offset, bytes, r1, n1, r2, n2);
  }
  HRESULT Unlock(void* r1, DWORD n1, void* r2, DWORD n2) override {
    return b_.stream().Unlock(b_.tap(), r1, n1, r2, n2);
  }
  HRESULT Play(DWORD, DWORD, DWORD flags) override {
    return b_.stream().Run(&b_.tap(), (flags & DSBPLAY_LOOPING) != 0);
  }
  HRESULT Stop() override {
    b_.stream().Halt(&b_.tap());
    return DS_OK;
  }
  HRESULT Restore() override { return DS_OK; }

 private:
  Buffer b_;
};

class CaptureRing final : public IDirectSoundCaptureBuffer {
 public:
  CaptureRing(std::shared_ptr<Stream> stream, DWORD bytes) : b_(std::move(stream), bytes) {}
  HRESULT GetCurrentPosition(DWORD* capture, DWORD* read) override {
    return b_.stream().Positions(b_.tap(), capture, read);
  }
  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* n1, void** r2, DWORD* n2, DWORD flags) override {
    if (flags & DSCBLOCK_ENTIREBUFFER) bytes = b_.size();
    return b_.stream().Lock(b_.tap(), offset, bytes, r1, n1, r2, n2);
  }
  HRESULT Unlock(void* r1, DWORD n1, void* r2, DWORD n2) override {
    return b_.stream().Unlock(b_.tap(), r1, n1, r2, n2);
  }
  HRESULT Start(DWORD flags) override { return b_.stream().Run(&b_.tap(), (flags & DSCBSTART_LOOPING) != 0); }
  HRESULT Stop() override {
    b_.stream().Halt(&b_.tap());
    return DS_OK;
  }

 private:
  Buffer b_;
};

// The stream of a device in one direction: the open one when it serves the
// format, else a new one. A failed stream is left to the buffers that still
// hold it, and the device is opened afresh.
HRESULT StreamFor(const std::shared_ptr<AlsaSoundDevice::Shared>& shared, const std::string& name,
                  const std::string& config, const WAVEFORMATEX& f, bool capture, std::shared_ptr<Stream>* out) {
  std::lock_guard lock(shared->streamsMutex);
  std::weak_ptr<Stream>& slot = shared->streams[capture ? 1 : 0];
  if (auto open = slot.lock(); open && !open->Failed()) {
    if (!open->Serves(f)) {
      SetLastErrorText(name + ": already in use with another format");
      return DSERR_ALLOCATED;
    }
    *out = std::move(open);
    return DS_OK;
  }
  if (const HRESULT hr = Stream::Open(shared, name, config, f, capture, out); hr != DS_OK) return hr;
  slot = *out;
  return DS_OK;
}

}  // namespace alsa

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

std::vector<AlsaSoundDevice::Entry> AlsaSoundDevice::ArrangeHints(const std::vector<Hint>& hints) {
  auto rank = [](const std::string& name) { return name == "default" ? 0 : name.find(':') == std::string::npos ? 1 : 2; };
  std::vector<Entry> entries;
  for (int r = 0; r <= 2; ++r) {
    for (const Hint& h : hints) {
      if (h.name.empty() || h.name == "null" || rank(h.name) != r) continue;
      Entry e;
      e.name = h.name;
      std::string text = h.description;
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      const size_t cut = text.find('\n');
      e.description = cut == std::string::npos ? text : text.substr(0, cut) + " (" + text.substr(cut + 1) + ")";
      for (char& c : e.description)
        if (c == '\n') c = ' ';
      if (e.description.empty()) e.description = h.name;
      e.canPlay = h.direction != "Input";
      e.canCapture = h.direction != "Output";
      entries.push_back(std::move(e));
    }
  }
  // Names that still read alike (two cards of one model) are told apart by
  // their PCM names.
  std::vector<bool> clash(entries.size(), false);
  for (size_t i = 0; i < entries.size(); ++i)
    for (size_t j = i + 1; j < entries.size(); ++j)
      if (entries[i].description == entries[j].description) clash[i] = clash[j] = true;
  for (size_t i = 0; i < entries.size(); ++i)
    if (clash[i]) entries[i].description += " [" + entries[i].name + "]";
  return entries;
}

std::vector<AlsaSoundDevice::Entry> AlsaSoundDevice::ListDevices() {
  std::vector<Hint> hints;
  void** list = nullptr;
  if (snd_device_name_hint(-1, "pcm", &list) < 0 || list == nullptr) return {};
  for (void** h = list; *h != nullptr; ++h) {
    char* name = snd_device_name_get_hint(*h, "NAME");
    char* desc = snd_device_name_get_hint(*h, "DESC");
    char* io = snd_device_name_get_hint(*h, "IOID");  // null: both directions
    hints.push_back({name != nullptr ? name : "", desc != nullptr ? desc : "", io != nullptr ? io : ""});
    free(name);
    free(desc);
    free(io);
  }
  snd_device_name_free_hint(list);
  return ArrangeHints(hints);
}

HRESULT AlsaSoundDevice::Open(bool capture) {
  if (capture ? !canCapture_ : !canPlay_) return DSERR_NODRIVER;
  return DS_OK;
}

HRESULT AlsaSoundDevice::CreatePlaybackRing(const WAVEFORMATEX& format, DWORD bytes,
                                            std::unique_ptr<IDirectSoundBuffer>* out) {
  if (!canPlay_) return DSERR_NODRIVER;
  std::shared_ptr<alsa::Stream> stream;
  if (const HRESULT hr = alsa::StreamFor(shared_, pcm_, config_, format, false, &stream); hr != DS_OK) return hr;
  *out = std::make_unique<alsa::PlaybackRing>(std::move(stream), bytes);
  return DS_OK;
}

HRESULT AlsaSoundDevice::CreateCaptureRing(const WAVEFORMATEX& format, DWORD bytes,
                                           std::unique_ptr<IDirectSoundCaptureBuffer>* out) {
  if (!canCapture_) return DSERR_NODRIVER;
  std::shared_ptr<alsa::Stream> stream;
  if (const HRESULT hr = alsa::StreamFor(shared_, pcm_, config_, format, true, &stream); hr != DS_OK) return hr;
  *out = std::make_unique<alsa::CaptureRing>(std::move(stream), bytes);
  return DS_OK;
}

unsigned AlsaSoundDevice::Xruns() const { return shared_->xruns.load(); }

unsigned AlsaSoundDevice::Opens() const { return shared_->opens.load(); }

bool AlsaSoundDevice::WaitForFrames(uint64_t frames, uint32_t timeoutMs) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->moved.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return shared_->frames >= frames; });
}

void AlsaSoundDevice::FailAfterFrames(int64_t frames) {
  std::lock_guard lock(shared_->mutex);
  shared_->failAt = frames < 0 ? -1 : static_cast<int64_t>(shared_->frames) + frames;
}

}  // namespace tw::dsound
