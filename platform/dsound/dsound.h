// Sound devices for playback and capture, shaped like the looping-buffer
// model the voice pipeline expects: enumerate devices (entry 0 is the default
// device and carries no GUID), create a device object by GUID, create a
// looping secondary (playback) or capture buffer of a fixed size, read its
// play/write or capture/read cursors, and Lock a span of it as up to two
// regions (the second one when the span wraps past the end of the ring).
//
// Objects are owned through std::unique_ptr: releasing the pointer releases
// the interface. A buffer keeps what it needs of its device alive on its own,
// so the order of release does not matter.
//
// Backends are SoundDevice classes: VirtualSoundDevice (always present) and
// AlsaSoundDevice (every PCM device that ALSA lists).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/guid.h"
#include "platform/win32/messages.h"

namespace tw::dsound {

using com::GUID;
using com::HRESULT;
using DWORD = uint32_t;

constexpr HRESULT DS_OK = 0;
constexpr HRESULT DSERR_GENERIC = com::E_FAIL;
constexpr HRESULT DSERR_INVALIDPARAM = com::E_INVALIDARG;
constexpr HRESULT DSERR_OUTOFMEMORY = com::E_OUTOFMEMORY;
constexpr HRESULT DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096);
constexpr HRESULT DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032);
constexpr HRESULT DSERR_BADFORMAT = static_cast<HRESULT>(0x88780064);
constexpr HRESULT DSERR_NODRIVER = static_cast<HRESULT>(0x88780078);
constexpr HRESULT DSERR_ALLOCATED = static_cast<HRESULT>(0x8878000A);

constexpr DWORD DSSCL_NORMAL = 1;
constexpr DWORD DSSCL_PRIORITY = 2;
constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x1;
constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x8000;
constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x10000;
constexpr DWORD DSBLOCK_FROMWRITECURSOR = 0x1;
constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x2;
constexpr DWORD DSBPLAY_LOOPING = 0x1;
constexpr DWORD DSCBSTART_LOOPING = 0x1;
constexpr DWORD DSCBLOCK_ENTIREBUFFER = 0x1;

// The format record: linear PCM only.
struct WAVEFORMATEX {
  static constexpr uint16_t kFormatPcm = 1;
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

struct DSBUFFERDESC {
  DWORD dwSize = 36;
  DWORD dwFlags = 0;
  DWORD dwBufferBytes = 0;
  DWORD dwReserved = 0;
  const WAVEFORMATEX* lpwfxFormat = nullptr;
  GUID guid3DAlgorithm{};
};

struct DSCBUFFERDESC {
  DWORD dwSize = 28;
  DWORD dwFlags = 0;
  DWORD dwBufferBytes = 0;
  DWORD dwReserved = 0;
  const WAVEFORMATEX* lpwfxFormat = nullptr;
  DWORD dwFXCount = 0;
  const void* lpDSCFXDesc = nullptr;
};

// Smallest and largest ring a buffer may have.
constexpr DWORD kMinBufferBytes = 4;
constexpr DWORD kMaxBufferBytes = 0x0FFFFFFF;

// A playback buffer: the primary buffer (format only) or a looping secondary
// ring that the device plays from its play cursor; the write cursor runs a
// device-specific lead ahead, and data may be written at or after it.
class IDirectSoundBuffer {
 public:
  virtual ~IDirectSoundBuffer() = default;
  virtual HRESULT SetFormat(const WAVEFORMATEX& format) = 0;
  virtual HRESULT SetCurrentPosition(DWORD position) = 0;
  // Either pointer may be null when that cursor is not wanted.
  virtual HRESULT GetCurrentPosition(DWORD* play, DWORD* write) = 0;
  // Hands out `bytes` of the ring from `offset` (or from the write cursor
  // with DSBLOCK_FROMWRITECURSOR) as one or two regions.
  virtual HRESULT Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2, DWORD* bytes2,
                       DWORD flags) = 0;
  virtual HRESULT Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) = 0;
  virtual HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) = 0;
  virtual HRESULT Stop() = 0;
  // After DSERR_BUFFERLOST: gives the buffer its memory back.
  virtual HRESULT Restore() = 0;
};

// A device object for playback.
class IDirectSound {
 public:
  virtual ~IDirectSound() = default;
  virtual HRESULT SetCooperativeLevel(win32::HWND window, DWORD level) = 0;
  virtual HRESULT CreateSoundBuffer(const DSBUFFERDESC& desc, std::unique_ptr<IDirectSoundBuffer>* out) = 0;
};

// A capture ring that the device fills at its capture cursor; the bytes
// before the read cursor are complete and may be read.
class IDirectSoundCaptureBuffer {
 public:
  virtual ~IDirectSoundCaptureBuffer() = default;
  virtual HRESULT GetCurrentPosition(DWORD* capture, DWORD* read) = 0;
  virtual HRESULT Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2, DWORD* bytes2,
                       DWORD flags) = 0;
  virtual HRESULT Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) = 0;
  virtual HRESULT Start(DWORD flags) = 0;
  virtual HRESULT Stop() = 0;
};

class IDirectSoundCapture {
 public:
  virtual ~IDirectSoundCapture() = default;
  virtual HRESULT CreateCaptureBuffer(const DSCBUFFERDESC& desc, std::unique_ptr<IDirectSoundCaptureBuffer>* out) = 0;
};

// One backend device: a speaker, a microphone or both. Buffers are created
// with a validated PCM format and a ring size of kMinBufferBytes ..
// kMaxBufferBytes, a multiple of the block alignment.
class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  virtual const GUID& Guid() const = 0;
  virtual std::string Description() const = 0;
  virtual std::string Module() const = 0;
  virtual bool CanPlay() const = 0;
  virtual bool CanCapture() const = 0;
  // Called by DirectSoundCreate / DirectSoundCaptureCreate: a device may
  // refuse to open (DSERR_NODRIVER, DSERR_ALLOCATED, ...).
  virtual HRESULT Open(bool capture) = 0;
  virtual HRESULT CreatePlaybackRing(const WAVEFORMATEX& format, DWORD bytes,
                                     std::unique_ptr<IDirectSoundBuffer>* out) = 0;
  virtual HRESULT CreateCaptureRing(const WAVEFORMATEX& format, DWORD bytes,
                                    std::unique_ptr<IDirectSoundCaptureBuffer>* out) = 0;
};

// Enumeration callback: GUID null for the default entry; return false to end.
using LPDSENUMCALLBACKA = bool (*)(const GUID* guid, const char* description, const char* module, void* context);

// Lists the playback (capture) devices: first the default device without a
// GUID, then every device with its own stable GUID.
HRESULT DirectSoundEnumerateA(LPDSENUMCALLBACKA callback, void* context);
HRESULT DirectSoundCaptureEnumerateA(LPDSENUMCALLBACKA callback, void* context);

// Creates the device object for `guid` (null: the default device).
// DSERR_NODRIVER when no listed device has that GUID or can do that.
HRESULT DirectSoundCreate(const GUID* guid, std::unique_ptr<IDirectSound>* out);
HRESULT DirectSoundCaptureCreate(const GUID* guid, std::unique_ptr<IDirectSoundCapture>* out);

// The devices of this machine: the ALSA PCM devices (when ALSA lists any),
// then the process's one VirtualSoundDevice. The default playback (capture)
// device is the first that can play (capture). Listed afresh at each call
// (ALSA's name hints are cheap), so a device plugged in meanwhile appears;
// a device that stays listed keeps its object, and with it its open PCMs.
// Enumeration lists afresh; creation finds a GUID among the devices listed
// last.
std::vector<std::shared_ptr<SoundDevice>> SystemSoundDevices();

// Why the last sound call of this thread that failed did (the device's name
// and the backend's own words), for the error log; empty when the backend
// gave no reason. Backends set it where they fail; a caller may clear it
// before a sequence of calls.
const std::string& LastErrorText();
void SetLastErrorText(std::string text);

// Test seam: while installed, enumeration and creation see exactly `devices`
// (process-wide, like an injected tick source).
class ScopedSoundDevices {
 public:
  explicit ScopedSoundDevices(std::vector<std::shared_ptr<SoundDevice>> devices);
  ~ScopedSoundDevices();
  ScopedSoundDevices(const ScopedSoundDevices&) = delete;
  ScopedSoundDevices& operator=(const ScopedSoundDevices&) = delete;

 private:
  std::vector<std::shared_ptr<SoundDevice>> previous_;
  bool hadPrevious_;
};

// A stable GUID for a device name (the same name gives the same GUID in every
// process), never equal to GUID_NULL.
GUID GuidForDeviceName(const std::string& name);

// Validates a buffer format: PCM, 1 or 2 channels, 8 or 16 bits, consistent
// block alignment and byte rate. DS_OK or DSERR_BADFORMAT.
HRESULT CheckPcmFormat(const WAVEFORMATEX& format);

}  // namespace tw::dsound
