// Capture delivers from the last read position up to the read cursor; the
// playback buffer writes a fixed 3 s window (data, then zeros) from the end
// of its queue, so the looping ring never plays old audio when data stop.
#include "audio/mDSound.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "platform/com/errorinfo.h"

namespace tw {

using namespace dsound;

void FillWaveFormat(WaveFormat& format, uint32_t rate, uint16_t bits, uint16_t channels) {
  format = {};
  format.wFormatTag = WaveFormat::kFormatPcm;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
  format.nAvgBytesPerSec = format.nBlockAlign * rate;
  format.cbSize = 0;
}

// ---- device lists -------------------------------------------------------

void TDirectXDriver::SetGuid(const GUID* guid) {
  if (guid != nullptr)
    guid_ = *guid;
  else
    guid_.reset();
}

const TDirectXDriver& TSoundDrivers::Item(int i) const {
  if (i < 0 || i >= Count()) throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return *items_[static_cast<size_t>(i)];
}

std::string TSoundDrivers::Name(int i) const {
  if (i >= Count()) return {};
  return Item(i).description;
}

const GUID* TSoundDrivers::GuidForIndex(int i) const {
  if (i < 1 || i >= Count()) return nullptr;
  return items_[static_cast<size_t>(i)]->Guid();
}

bool EnumDriversCallback(const GUID* guid, const char* description, const char* module, void* context) {
  auto driver = std::make_unique<TDirectXDriver>();
  driver->SetGuid(guid);
  driver->description = description != nullptr ? description : "";
  driver->module = module != nullptr ? module : "";
  static_cast<TSoundDrivers*>(context)->Add(std::move(driver));
  return true;
}

std::string DeviceFailureText(const char* step, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
  std::string text = std::string(step) + " failed ($" + code + ")";
  if (!LastErrorText().empty()) text += ": " + LastErrorText();
  return text;
}

namespace {

// Reports through a copy of the handler: it may destroy the reporting object.
void Report(const FailureHandler& handler, DeviceFailure kind, const std::string& reason) {
  if (!handler) return;
  const FailureHandler copy = handler;
  copy(kind, reason);
}

}  // namespace

// ---- timer --------------------------------------------------------------

WaveTimer::WaveTimer(uint32_t intervalMs, std::function<void()> handler) : handler_(std::move(handler)) {
  window_ = win32::HiddenWindow([this](win32::HWND, win32::UINT msg, win32::WPARAM, win32::LPARAM) {
    if (msg == win32::WM_TIMER) Fire();
    return win32::LRESULT{0};
  });
  timer_ = win32::WindowTimer(window_.Handle(), 1, intervalMs);
}

WaveTimer::~WaveTimer() = default;

void WaveTimer::Fire() {
  // The handler may destroy the object that owns this timer (and the timer
  // with it): run a copy, and record a failure only while the timer lives.
  const auto life = life_.Get();
  const std::function<void()> handler = handler_;
  try {
    handler();
  } catch (...) {
    if (LifeToken::Alive(life)) Failed(com::CaughtExceptionText());
  }
}

// A failure that repeats the last one (a tick that fails every 10 ms) is
// counted but handed on once.
void WaveTimer::Failed(const std::string& what) {
  const bool repeated = failures_ > 0 && lastFailure_ == what;
  ++failures_;
  lastFailure_ = what;
  if (repeated || !OnFailure) return;
  const auto handler = OnFailure;  // it may destroy the timer's owner
  const std::string text = lastFailure_;
  handler(text);
}

// ---- capture ------------------------------------------------------------

// A capture device has no cooperative level, so the owner window is not kept.
CDSRecord::CDSRecord(win32::HWND /*owner*/) : scratch_(kRingBytes) {
  FillWaveFormat(format_, 16000, 16, 1);
  timer_ = std::make_unique<WaveTimer>(10, [this] { Poll(); });
  DirectSoundCaptureEnumerateA(EnumDriversCallback, &drivers_);
}

CDSRecord::~CDSRecord() {
  timer_.reset();
  Stop();
  Release();
}

void CDSRecord::Release() {
  buffer_.reset();
  capture_.reset();
}

bool CDSRecord::Start() {
  if (active_) return false;
  const GUID* guid = drivers_.GuidForIndex(deviceIndex_);
  DSCBUFFERDESC desc;
  desc.dwSize = 28;
  desc.dwBufferBytes = kRingBytes;
  desc.lpwfxFormat = &format_;
  DWORD read = 0;
  SetLastErrorText({});
  std::string failure;
  if (HRESULT hr = DirectSoundCaptureCreate(guid, &capture_); hr != DS_OK)
    failure = DeviceFailureText("DirectSoundCaptureCreate", hr);
  else if (hr = capture_->CreateCaptureBuffer(desc, &buffer_); hr != DS_OK)
    failure = DeviceFailureText("CreateCaptureBuffer", hr);
  else if (hr = buffer_->GetCurrentPosition(nullptr, &read); hr != DS_OK)
    failure = DeviceFailureText("GetCurrentPosition", hr);
  else if (hr = buffer_->Start(DSCBSTART_LOOPING); hr != DS_OK)
    failure = DeviceFailureText("Start", hr);
  if (!failure.empty()) {
    Release();
    Failed(DeviceFailure::Start, "CDSRecord.Start: " + failure);
    return false;
  }
  lastRead_ = read;
  active_ = true;
  return true;
}

bool CDSRecord::Stop() {
  if (!active_) return false;
  if (buffer_->Stop() != DS_OK) return false;
  active_ = false;
  Release();
  return true;
}

void CDSRecord::Failed(DeviceFailure kind, const std::string& reason) { Report(OnFailure, kind, reason); }

void CDSRecord::Poll() {
  if (!active_ || !OnData) return;
  DWORD read = 0;
  if (const HRESULT hr = buffer_->GetCurrentPosition(nullptr, &read); hr != DS_OK) {
    if (hr != DSERR_NODRIVER) return;  // passing trouble: the same bytes are tried at the next tick
    // The device is gone: capture ends here, and a later start opens it afresh.
    const std::string reason = "CDSRecord: the capture device failed: " + DeviceFailureText("GetCurrentPosition", hr);
    active_ = false;
    Release();
    Failed(DeviceFailure::Lost, reason);
    return;
  }
  const uint32_t n = Distance(lastRead_, read);
  if (n == 0) return;
  void* r1 = nullptr;
  void* r2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  if (buffer_->Lock(lastRead_, n, &r1, &n1, &r2, &n2, 0) != DS_OK || n1 == 0) return;
  std::memcpy(scratch_.data(), r1, n1);
  if (r2 != nullptr && n2 > 0) std::memcpy(scratch_.data() + n1, r2, n2);
  buffer_->Unlock(r1, n1, r2, n2);
  lastRead_ = read;
  // The handler may stop or even destroy this object; nothing here is
  // touched after it returns.
  const DataHandler handler = OnData;
  handler(*this, scratch_.data(), n1 + n2);
}

// ---- playback -----------------------------------------------------------

CDSPlay::CDSPlay(win32::HWND owner) : owner_(owner), scratch_(kWindowBytes) {
  FillWaveFormat(format_, 16000, 16, 1);
  timer_ = std::make_unique<WaveTimer>(10, [this] { TimerTick(); });
  DirectSoundEnumerateA(EnumDriversCallback, &drivers_);
}

CDSPlay::~CDSPlay() {
  timer_.reset();
  Stop();
  Release();
}

void CDSPlay::Release() {
  secondary_.reset();
  primary_.reset();
  device_.reset();
}

std::string CDSPlay::CreateBuffers(const GUID* guid) {
  SetLastErrorText({});
  HRESULT hr = DirectSoundCreate(guid, &device_);
  if (hr != DS_OK) return DeviceFailureText("DirectSoundCreate", hr);
  if (hr = device_->SetCooperativeLevel(owner_, DSSCL_PRIORITY); hr != DS_OK)
    return DeviceFailureText("SetCooperativeLevel", hr);
  DSBUFFERDESC primary;
  primary.dwFlags = DSBCAPS_PRIMARYBUFFER;
  if (hr = device_->CreateSoundBuffer(primary, &primary_); hr != DS_OK)
    return DeviceFailureText("CreateSoundBuffer (primary)", hr);
  if (hr = primary_->SetFormat(format_); hr != DS_OK) return DeviceFailureText("SetFormat", hr);
  if (hr = device_->SetCooperativeLevel(owner_, DSSCL_NORMAL); hr != DS_OK)
    return DeviceFailureText("SetCooperativeLevel", hr);
  DSBUFFERDESC secondary;
  secondary.dwFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS;
  secondary.dwBufferBytes = kRingBytes;
  secondary.lpwfxFormat = &format_;
  if (hr = device_->CreateSoundBuffer(secondary, &secondary_); hr != DS_OK)
    return DeviceFailureText("CreateSoundBuffer", hr);
  secondary_->SetCurrentPosition(0);  // a fresh ring starts at 0 anyway
  DWORD write = 0;
  if (hr = secondary_->GetCurrentPosition(nullptr, &write); hr != DS_OK)
    return DeviceFailureText("GetCurrentPosition", hr);
  lastCursor_ = write;
  if (hr = secondary_->Play(0, 0, DSBPLAY_LOOPING); hr != DS_OK) return DeviceFailureText("Play", hr);
  return {};
}

void CDSPlay::Failed(DeviceFailure kind, const std::string& reason) { Report(OnFailure, kind, reason); }

bool CDSPlay::Start() {
  if (active_) return false;
  // Counters of an earlier period describe a ring that no longer exists.
  queued_ = 0;
  silenceAhead_ = 0;
  writePos_ = 0;
  pending_.clear();
  if (const std::string failure = CreateBuffers(drivers_.GuidForIndex(deviceIndex_)); !failure.empty()) {
    Release();
    Failed(DeviceFailure::Start, "CDSPlay.Start: " + failure);
    return false;
  }
  reprime_ = true;
  prebuffer_ = kInitialPrebuffer;
  active_ = true;
  return true;
}

bool CDSPlay::Stop() {
  if (!active_) return false;
  if (secondary_->Stop() != DS_OK) return false;
  active_ = false;
  Release();
  return true;
}

bool CDSPlay::UpdateCursors() {
  DWORD write = 0;
  if (const HRESULT hr = secondary_->GetCurrentPosition(nullptr, &write); hr != DS_OK) {
    if (hr != DSERR_NODRIVER) return true;  // passing trouble: nothing changes
    // The device is gone: the buffer stops taking data, and a later start
    // opens it afresh.
    const std::string reason = "CDSPlay: the playback device failed: " + DeviceFailureText("GetCurrentPosition", hr);
    active_ = false;
    Release();
    Failed(DeviceFailure::Lost, reason);
    return false;
  }
  const int64_t played = Distance(lastCursor_, write);
  if (queued_ > 0) queued_ = std::max<int64_t>(0, queued_ - played);
  silenceAhead_ -= played;
  lastCursor_ = write;
  return true;
}

void CDSPlay::TimerTick() {
  if (!active_) return;
  if (!UpdateCursors()) return;
  if (silenceAhead_ < kSecond) WriteBlock(nullptr, 0);
}

bool CDSPlay::WriteBlock(const uint8_t* data, size_t length) {
  length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), std::max<int64_t>(0, kMaxQueued - queued_)));
  if (data != nullptr && length > 0) std::memcpy(scratch_.data(), data, length);
  std::fill(scratch_.begin() + static_cast<std::ptrdiff_t>(length), scratch_.end(), uint8_t{0});
  DWORD flags = 0;
  if (queued_ == 0) {
    flags = DSBLOCK_FROMWRITECURSOR;
    DWORD write = writePos_;
    secondary_->GetCurrentPosition(nullptr, &write);
    writePos_ = write;
  }
  void* r1 = nullptr;
  void* r2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  HRESULT hr = secondary_->Lock(writePos_, kWindowBytes, &r1, &n1, &r2, &n2, flags);
  if (hr == DSERR_BUFFERLOST) {
    secondary_->Restore();
    hr = secondary_->Lock(writePos_, kWindowBytes, &r1, &n1, &r2, &n2, flags);
  }
  if (hr != DS_OK || n1 == 0) return false;
  std::memcpy(r1, scratch_.data(), n1);
  if (r2 != nullptr && n2 > 0) std::memcpy(r2, scratch_.data() + n1, std::min<size_t>(n2, kWindowBytes - n1));
  secondary_->Unlock(r1, n1, r2, n2);
  // Only a window that reached the ring counts as silence ahead: after a
  // failed write the next tick tries again instead of trusting old zeros.
  silenceAhead_ = static_cast<int64_t>(kWindowBytes - length);
  queued_ += static_cast<int64_t>(length);
  writePos_ = static_cast<uint32_t>((writePos_ + length) % kRingBytes);
  return true;
}

std::vector<int16_t> CDSPlay::Stretch(const int16_t* s, size_t n) {
  std::vector<int16_t> out;
  out.reserve(n + n / 64 + 1);
  int countdown = 64;
  for (size_t i = 0; i < n; ++i) {
    if (--countdown == 0) {
      countdown = 64;
      out.push_back(static_cast<int16_t>((s[i - 1] + s[i]) / 2));
    }
    out.push_back(s[i]);
  }
  return out;
}

bool CDSPlay::PushData(const uint8_t* bytes, size_t length) {
  if (!active_) return false;
  if (!UpdateCursors()) return false;
  if (!pending_.empty()) {
    pending_.insert(pending_.end(), bytes, bytes + length);
  } else if (queued_ == 0) {
    pending_.insert(pending_.end(), bytes, bytes + length);
    if (!reprime_ && prebuffer_ < kPrebufferLimit) prebuffer_ = std::min(prebuffer_ * 2, kPrebufferLimit);
  }
  reprime_ = false;
  if (!pending_.empty()) {
    if (static_cast<int64_t>(pending_.size()) > prebuffer_) {
      WriteBlock(pending_.data(), pending_.size());
      pending_.clear();
    }
  } else if (queued_ < prebuffer_ / 2) {
    std::vector<int16_t> samples(length / 2);
    std::memcpy(samples.data(), bytes, samples.size() * 2);
    const std::vector<int16_t> stretched = Stretch(samples.data(), samples.size());
    WriteBlock(reinterpret_cast<const uint8_t*>(stretched.data()), stretched.size() * 2);
  } else {
    WriteBlock(bytes, length);
  }
  return true;
}

}  // namespace tw
