// Enumeration and creation over the listed SoundDevice backends, and the
// device object and primary buffer that are the same for every backend.
#include "platform/dsound/dsound.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>

#include "platform/dsound/alsa_device.h"
#include "platform/dsound/virtual_device.h"

namespace tw::dsound {

constexpr HRESULT DSERR_PRIOLEVELNEEDED = static_cast<HRESULT>(0x88780046);

namespace {

std::mutex g_mutex;
std::optional<std::vector<std::shared_ptr<SoundDevice>>> g_installed;  // guarded by g_mutex

std::vector<std::shared_ptr<SoundDevice>> g_system;                    // guarded by g_mutex: as listed last
std::map<std::string, std::shared_ptr<AlsaSoundDevice>> g_alsa;         // guarded by g_mutex: by PCM name
thread_local std::string t_lastError;

// Afresh for an enumeration; the last listing for a creation.
std::vector<std::shared_ptr<SoundDevice>> ListedDevices(bool afresh) {
  {
    std::lock_guard lock(g_mutex);
    if (g_installed) return *g_installed;
    if (!afresh && !g_system.empty()) return g_system;
  }
  return SystemSoundDevices();
}

std::shared_ptr<SoundDevice> FindDevice(const GUID* guid, bool capture) {
  for (const auto& d : ListedDevices(false)) {
    if (!(capture ? d->CanCapture() : d->CanPlay())) continue;
    if (guid == nullptr || d->Guid() == *guid) return d;
  }
  return nullptr;
}

HRESULT Enumerate(bool capture, LPDSENUMCALLBACKA callback, void* context) {
  if (callback == nullptr) return DSERR_INVALIDPARAM;
  std::vector<std::shared_ptr<SoundDevice>> devices;
  for (const auto& d : ListedDevices(true))
    if (capture ? d->CanCapture() : d->CanPlay()) devices.push_back(d);
  if (devices.empty()) return DS_OK;
  const char* defaultName = capture ? "Default capture device" : "Default playback device";
  if (!callback(nullptr, defaultName, "", context)) return DS_OK;
  for (const auto& d : devices) {
    const std::string description = d->Description();
    const std::string module = d->Module();
    if (!callback(&d->Guid(), description.c_str(), module.c_str(), context)) break;
  }
  return DS_OK;
}

// The primary buffer only takes the device's output format, and only at the
// priority level.
class PrimaryBuffer final : public IDirectSoundBuffer {
 public:
  explicit PrimaryBuffer(std::shared_ptr<std::atomic<DWORD>> level) : level_(std::move(level)) {}
  HRESULT SetFormat(const WAVEFORMATEX& format) override {
    if (level_->load() < DSSCL_PRIORITY) return DSERR_PRIOLEVELNEEDED;
    return CheckPcmFormat(format);
  }
  HRESULT SetCurrentPosition(DWORD) override { return DSERR_INVALIDCALL; }
  HRESULT GetCurrentPosition(DWORD* play, DWORD* write) override {
    if (play != nullptr) *play = 0;
    if (write != nullptr) *write = 0;
    return DS_OK;
  }
  HRESULT Lock(DWORD, DWORD, void**, DWORD*, void**, DWORD*, DWORD) override { return DSERR_INVALIDCALL; }
  HRESULT Unlock(void*, DWORD, void*, DWORD) override { return DSERR_INVALIDCALL; }
  HRESULT Play(DWORD, DWORD, DWORD) override { return DS_OK; }
  HRESULT Stop() override { return DS_OK; }
  HRESULT Restore() override { return DS_OK; }

 private:
  std::shared_ptr<std::atomic<DWORD>> level_;
};

class PlaybackDevice final : public IDirectSound {
 public:
  explicit PlaybackDevice(std::shared_ptr<SoundDevice> device) : device_(std::move(device)) {}

  HRESULT SetCooperativeLevel(win32::HWND window, DWORD level) override {
    if (window == 0 || level < DSSCL_NORMAL || level > 3) return DSERR_INVALIDPARAM;
    level_->store(level);
    return DS_OK;
  }

  HRESULT CreateSoundBuffer(const DSBUFFERDESC& desc, std::unique_ptr<IDirectSoundBuffer>* out) override {
    if (out == nullptr || desc.dwSize != 36) return DSERR_INVALIDPARAM;
    if (level_->load() == 0) return DSERR_INVALIDCALL;
    if (desc.dwFlags & DSBCAPS_PRIMARYBUFFER) {
      if (desc.dwBufferBytes != 0 || desc.lpwfxFormat != nullptr) return DSERR_INVALIDPARAM;
      *out = std::make_unique<PrimaryBuffer>(level_);
      return DS_OK;
    }
    if (desc.lpwfxFormat == nullptr) return DSERR_INVALIDPARAM;
    if (const HRESULT hr = CheckPcmFormat(*desc.lpwfxFormat); hr != DS_OK) return hr;
    if (desc.dwBufferBytes < kMinBufferBytes || desc.dwBufferBytes > kMaxBufferBytes ||
        desc.dwBufferBytes % desc.lpwfxFormat->nBlockAlign != 0)
      return DSERR_INVALIDPARAM;
    return device_->CreatePlaybackRing(*desc.lpwfxFormat, desc.dwBufferBytes, out);
  }

 private:
  std::shared_ptr<SoundDevice> device_;
  std::shared_ptr<std::atomic<DWORD>> level_ = std::make_shared<std::atomic<DWORD>>(0);
};

class CaptureDevice final : public IDirectSoundCapture {
 public:
  explicit CaptureDevice(std::shared_ptr<SoundDevice> device) : device_(std::move(device)) {}

  HRESULT CreateCaptureBuffer(const DSCBUFFERDESC& desc, std::unique_ptr<IDirectSoundCaptureBuffer>* out) override {
    if (out == nullptr || desc.dwSize != 28 || desc.lpwfxFormat == nullptr) return DSERR_INVALIDPARAM;
    if (const HRESULT hr = CheckPcmFormat(*desc.lpwfxFormat); hr != DS_OK) return hr;
    if (desc.dwBufferBytes < kMinBufferBytes || desc.dwBufferBytes > kMaxBufferBytes ||
        desc.dwBufferBytes % desc.lpwfxFormat->nBlockAlign != 0)
      return DSERR_INVALIDPARAM;
    return device_->CreateCaptureRing(*desc.lpwfxFormat, desc.dwBufferBytes, out);
  }

 private:
  std::shared_ptr<SoundDevice> device_;
};

}  // namespace

HRESULT DirectSoundEnumerateA(LPDSENUMCALLBACKA callback, void* context) { return Enumerate(false, callback, context); }

HRESULT DirectSoundCaptureEnumerateA(LPDSENUMCALLBACKA callback, void* context) {
  return Enumerate(true, callback, context);
}

HRESULT DirectSoundCreate(const GUID* guid, std::unique_ptr<IDirectSound>* out) {
  if (out == nullptr) return DSERR_INVALIDPARAM;
  auto device = FindDevice(guid, false);
  if (!device) return DSERR_NODRIVER;
  if (const HRESULT hr = device->Open(false); hr != DS_OK) return hr;
  *out = std::make_unique<PlaybackDevice>(std::move(device));
  return DS_OK;
}

HRESULT DirectSoundCaptureCreate(const GUID* guid, std::unique_ptr<IDirectSoundCapture>* out) {
  if (out == nullptr) return DSERR_INVALIDPARAM;
  auto device = FindDevice(guid, true);
  if (!device) return DSERR_NODRIVER;
  if (const HRESULT hr = device->Open(true); hr != DS_OK) return hr;
  *out = std::make_unique<CaptureDevice>(std::move(device));
  return DS_OK;
}

std::vector<std::shared_ptr<SoundDevice>> SystemSoundDevices() {
  static const auto virtualDevice = std::make_shared<VirtualSoundDevice>("Virtual sound device", false);
  const auto entries = AlsaSoundDevice::ListDevices();  // outside the lock: alsa-lib reads its files
  std::lock_guard lock(g_mutex);
  std::vector<std::shared_ptr<SoundDevice>> list;
  for (const auto& e : entries) {
    // A device keeps its object (its open PCMs, its GUID) while it is listed
    // under the same name and directions; a changed entry gets a new one.
    auto& known = g_alsa[e.name];
    if (!known || known->Description() != e.description || known->CanPlay() != e.canPlay ||
        known->CanCapture() != e.canCapture)
      known = std::make_shared<AlsaSoundDevice>(e.name, e.description, e.canPlay, e.canCapture);
    list.push_back(known);
  }
  list.push_back(virtualDevice);
  g_system = list;
  return list;
}

const std::string& LastErrorText() { return t_lastError; }

void SetLastErrorText(std::string text) { t_lastError = std::move(text); }

ScopedSoundDevices::ScopedSoundDevices(std::vector<std::shared_ptr<SoundDevice>> devices) {
  std::lock_guard lock(g_mutex);
  hadPrevious_ = g_installed.has_value();
  if (hadPrevious_) previous_ = std::move(*g_installed);
  g_installed = std::move(devices);
}

ScopedSoundDevices::~ScopedSoundDevices() {
  std::lock_guard lock(g_mutex);
  if (hadPrevious_)
    g_installed = std::move(previous_);
  else
    g_installed.reset();
}

GUID GuidForDeviceName(const std::string& name) {
  // Two FNV-1a passes with different offsets give 128 bits; the version and
  // variant bits mark it as a name-based GUID.
  auto fnv = [&](uint64_t h) {
    for (unsigned char c : name) {
      h ^= c;
      h *= 0x100000001b3ull;
    }
    return h;
  };
  const uint64_t a = fnv(0xcbf29ce484222325ull);
  const uint64_t b = fnv(0x84222325cbf29ce4ull ^ name.size());
  GUID g{};
  g.Data1 = static_cast<uint32_t>(a >> 32);
  g.Data2 = static_cast<uint16_t>(a >> 16);
  g.Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x5000);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(b >> (8 * i));
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

HRESULT CheckPcmFormat(const WAVEFORMATEX& f) {
  if (f.wFormatTag != WAVEFORMATEX::kFormatPcm) return DSERR_BADFORMAT;
  if (f.nChannels < 1 || f.nChannels > 2) return DSERR_BADFORMAT;
  if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return DSERR_BADFORMAT;
  if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 192000) return DSERR_BADFORMAT;
  if (f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8)) return DSERR_BADFORMAT;
  if (f.nAvgBytesPerSec != f.nBlockAlign * f.nSamplesPerSec) return DSERR_BADFORMAT;
  return DS_OK;
}

}  // namespace tw::dsound
