#include "platform/dsound/alsa_device.h"

namespace tw::dsound {

AlsaSoundDevice::AlsaSoundDevice(std::string pcm, std::string description, bool canPlay, bool canCapture,
                                 std::string config)
    : pcm_(std::move(pcm)),
      description_(std::move(description)),
      canPlay_(canPlay),
      canCapture_(canCapture),
      config_(std::move(config)),
      guid_(GuidForDeviceName("alsa:" + pcm_)) {}

AlsaSoundDevice::~AlsaSoundDevice() = default;

std::vector<std::shared_ptr<AlsaSoundDevice>> AlsaSoundDevice::ListDevices() { return {}; }

HRESULT AlsaSoundDevice::Open(bool) { return DSERR_NODRIVER; }

HRESULT AlsaSoundDevice::CreatePlaybackRing(const WAVEFORMATEX&, DWORD, std::unique_ptr<IDirectSoundBuffer>*) {
  return DSERR_NODRIVER;
}

HRESULT AlsaSoundDevice::CreateCaptureRing(const WAVEFORMATEX&, DWORD, std::unique_ptr<IDirectSoundCaptureBuffer>*) {
  return DSERR_NODRIVER;
}

}  // namespace tw::dsound
