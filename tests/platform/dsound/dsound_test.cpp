#include "platform/dsound/dsound.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/dsound/virtual_device.h"
#include "platform/win32/tick.h"
#include "tests/platform/dsound/voice_ring.h"
#include "tests/support/manual_tick.h"

namespace tw::dsound {
namespace {

struct Listed {
  std::vector<const GUID*> guids;
  std::vector<GUID> copies;
  std::vector<std::string> names;
};

bool Collect(const GUID* guid, const char* description, const char*, void* context) {
  auto* l = static_cast<Listed*>(context);
  l->guids.push_back(guid);
  l->copies.push_back(guid != nullptr ? *guid : GUID{});
  l->names.push_back(description);
  return true;
}

// A device installed alone, a manual clock, and a playing ring of 16,000
// bytes (500 ms).
class VirtualRing : public ::testing::Test {
 protected:
  win32::ScopedManualTick tick_{5'000};
  std::shared_ptr<VirtualSoundDevice> device_ = std::make_shared<VirtualSoundDevice>("speaker");
  ScopedSoundDevices installed_{{device_}};
  WAVEFORMATEX format_ = VoiceFormat();

  std::unique_ptr<IDirectSoundBuffer> MakeRing(DWORD bytes = 16000) {
    std::unique_ptr<IDirectSound> ds;
    EXPECT_EQ(DirectSoundCreate(nullptr, &ds), DS_OK);
    EXPECT_EQ(ds->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
    std::unique_ptr<IDirectSoundBuffer> ring = NewPlaybackRing(*ds, bytes, format_);
    EXPECT_NE(ring, nullptr);
    return ring;
  }

  static void Write(IDirectSoundBuffer& ring, DWORD offset, const std::vector<int16_t>& samples) {
    void *r1, *r2;
    DWORD n1, n2;
    ASSERT_EQ(ring.Lock(offset, static_cast<DWORD>(samples.size() * 2), &r1, &n1, &r2, &n2, 0), DS_OK);
    std::memcpy(r1, samples.data(), n1);
    if (n2 > 0) std::memcpy(r2, reinterpret_cast<const uint8_t*>(samples.data()) + n1, n2);
    ASSERT_EQ(ring.Unlock(r1, n1, r2, n2), DS_OK);
  }
};

TEST(SoundDevices, DefaultEntryFirstWithoutGuidThenStableGuids) {
  auto a = std::make_shared<VirtualSoundDevice>("first");
  auto b = std::make_shared<VirtualSoundDevice>("second");
  ScopedSoundDevices installed({a, b});
  Listed play, capture;
  ASSERT_EQ(DirectSoundEnumerateA(Collect, &play), DS_OK);
  ASSERT_EQ(DirectSoundCaptureEnumerateA(Collect, &capture), DS_OK);
  ASSERT_EQ(play.guids.size(), 3u);
  EXPECT_EQ(play.guids[0], nullptr);
  EXPECT_EQ(play.names[1], "first");
  EXPECT_EQ(play.copies[2], VirtualSoundDevice("second").Guid());  // same name, same GUID
  EXPECT_NE(play.copies[1], play.copies[2]);
  const std::vector<std::string> captureNames{"Default capture device", "first", "second"};
  EXPECT_EQ(capture.names, captureNames);

  std::unique_ptr<IDirectSound> ds;
  EXPECT_EQ(DirectSoundCreate(&play.copies[2], &ds), DS_OK);
  const GUID unknown = GuidForDeviceName("nobody");
  EXPECT_EQ(DirectSoundCreate(&unknown, &ds), DSERR_NODRIVER);
}

TEST(SoundDevices, NothingListedWithoutDevices) {
  ScopedSoundDevices none({});
  Listed l;
  EXPECT_EQ(DirectSoundEnumerateA(Collect, &l), DS_OK);
  EXPECT_TRUE(l.guids.empty());
  std::unique_ptr<IDirectSoundCapture> dsc;
  EXPECT_EQ(DirectSoundCaptureCreate(nullptr, &dsc), DSERR_NODRIVER);
}

TEST_F(VirtualRing, CreationChecksLevelFormatAndSize) {
  std::unique_ptr<IDirectSound> ds;
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds), DS_OK);
  DSBUFFERDESC primary;
  primary.dwFlags = DSBCAPS_PRIMARYBUFFER;
  std::unique_ptr<IDirectSoundBuffer> p;
  EXPECT_EQ(ds->CreateSoundBuffer(primary, &p), DSERR_INVALIDCALL);  // no cooperative level yet
  ASSERT_EQ(ds->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
  ASSERT_EQ(ds->CreateSoundBuffer(primary, &p), DS_OK);
  EXPECT_NE(p->SetFormat(format_), DS_OK);  // the primary format needs the priority level
  ASSERT_EQ(ds->SetCooperativeLevel(1, DSSCL_PRIORITY), DS_OK);
  EXPECT_EQ(p->SetFormat(format_), DS_OK);

  WAVEFORMATEX bad = format_;
  bad.nAvgBytesPerSec = 1;
  DSBUFFERDESC desc;
  desc.dwBufferBytes = 1000;
  desc.lpwfxFormat = &bad;
  std::unique_ptr<IDirectSoundBuffer> ring;
  EXPECT_EQ(ds->CreateSoundBuffer(desc, &ring), DSERR_BADFORMAT);
  desc.lpwfxFormat = &format_;
  desc.dwBufferBytes = 1001;  // not whole samples
  EXPECT_EQ(ds->CreateSoundBuffer(desc, &ring), DSERR_INVALIDPARAM);
  desc.dwSize = 20;
  desc.dwBufferBytes = 1000;
  EXPECT_EQ(ds->CreateSoundBuffer(desc, &ring), DSERR_INVALIDPARAM);
}

TEST_F(VirtualRing, CursorsFollowTheClockAndTheSinkGetsEveryPlayedSample) {
  auto ring = MakeRing();
  std::vector<int16_t> ramp(8000);
  std::iota(ramp.begin(), ramp.end(), int16_t{1});
  Write(*ring, 0, ramp);
  const uint64_t origin = device_->SinkIndexAt(tick_.Now());
  ASSERT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  tick_.Advance(10);
  DWORD play = 0, write = 0;
  ASSERT_EQ(ring->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 320u);  // 32 bytes per ms
  EXPECT_EQ(write, 320u + 32 * VirtualSoundDevice::kWriteLeadMs);
  tick_.Advance(490);  // exactly one lap: the play cursor is back at 0
  ASSERT_EQ(ring->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, 0u);
  const auto sink = device_->Played();
  ASSERT_EQ(sink.size(), origin + 8000);
  EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), sink.begin() + static_cast<std::ptrdiff_t>(origin)));

  ASSERT_EQ(ring->Stop(), DS_OK);
  tick_.Advance(100);
  ASSERT_EQ(ring->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 0u);
  EXPECT_EQ(write, play);  // stopped: no lead
  EXPECT_EQ(device_->Played().size(), origin + 8000);
}

TEST_F(VirtualRing, LockAcrossTheEndGivesBothRegionsInOrder) {
  auto ring = MakeRing(1000);
  void *r1, *r2;
  DWORD n1, n2;
  ASSERT_EQ(ring->Lock(900, 300, &r1, &n1, &r2, &n2, 0), DS_OK);
  EXPECT_EQ(n1, 100u);
  EXPECT_EQ(n2, 200u);
  EXPECT_EQ(static_cast<uint8_t*>(r2) + 900, static_cast<uint8_t*>(r1));  // r2 is the ring's start
  EXPECT_EQ(ring->Unlock(r1, n1, r2, n2), DS_OK);
  int foreign = 0;
  EXPECT_EQ(ring->Unlock(&foreign, 4, nullptr, 0), DSERR_INVALIDPARAM);

  ASSERT_EQ(ring->Lock(0, 100, &r1, &n1, &r2, &n2, 0), DS_OK);
  EXPECT_EQ(n2, 0u);
  EXPECT_EQ(r2, nullptr);
  EXPECT_EQ(ring->Lock(1000, 10, &r1, &n1, &r2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(ring->Lock(0, 1001, &r1, &n1, &r2, &n2, 0), DSERR_INVALIDPARAM);

  ASSERT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  tick_.Advance(25);  // play cursor 800, write cursor 800 + 320 = 120 after the wrap
  ASSERT_EQ(ring->Lock(0, 100, &r1, &n1, &r2, &n2, DSBLOCK_FROMWRITECURSOR), DS_OK);
  void* start;
  DWORD all;
  ASSERT_EQ(ring->Lock(0, 1000, &start, &all, nullptr, nullptr, 0), DS_OK);
  EXPECT_EQ(static_cast<uint8_t*>(r1) - static_cast<uint8_t*>(start), 120);
}

TEST_F(VirtualRing, FaultSwitchesFailTheNextCallsOnly) {
  device_->FailOpen();
  std::unique_ptr<IDirectSound> ds;
  EXPECT_EQ(DirectSoundCreate(nullptr, &ds), DSERR_NODRIVER);
  device_->FailBufferCreation();
  std::unique_ptr<IDirectSoundCaptureBuffer> cap;
  std::unique_ptr<IDirectSoundCapture> dsc;
  ASSERT_EQ(DirectSoundCaptureCreate(nullptr, &dsc), DS_OK);
  DSCBUFFERDESC cdesc;
  cdesc.dwBufferBytes = 3200;
  cdesc.lpwfxFormat = &format_;
  EXPECT_EQ(dsc->CreateCaptureBuffer(cdesc, &cap), DSERR_OUTOFMEMORY);
  EXPECT_EQ(dsc->CreateCaptureBuffer(cdesc, &cap), DS_OK);

  auto ring = MakeRing();
  void *r1, *r2;
  DWORD n1, n2;
  device_->FailLocks(2);
  EXPECT_EQ(ring->Lock(0, 10, &r1, &n1, &r2, &n2, 0), DSERR_INVALIDCALL);
  EXPECT_EQ(cap->Lock(0, 10, &r1, &n1, &r2, &n2, 0), DSERR_INVALIDCALL);
  EXPECT_EQ(ring->Lock(0, 10, &r1, &n1, &r2, &n2, 0), DS_OK);
  device_->FailStops();
  EXPECT_EQ(ring->Stop(), DSERR_GENERIC);
  EXPECT_EQ(ring->Stop(), DS_OK);
}

TEST_F(VirtualRing, ALostRingRefusesLockAndPlayUntilRestoredAndComesBackEmpty) {
  auto ring = MakeRing(1000);
  Write(*ring, 0, std::vector<int16_t>(500, 1234));
  device_->LoseBufferOnce();
  void *r1, *r2;
  DWORD n1, n2;
  EXPECT_EQ(ring->Lock(0, 1000, &r1, &n1, &r2, &n2, 0), DSERR_BUFFERLOST);
  EXPECT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST);
  EXPECT_EQ(ring->Lock(0, 1000, &r1, &n1, &r2, &n2, 0), DSERR_BUFFERLOST);
  ASSERT_EQ(ring->Restore(), DS_OK);
  ASSERT_EQ(ring->Lock(0, 1000, &r1, &n1, &r2, &n2, 0), DS_OK);
  EXPECT_EQ(static_cast<int16_t*>(r1)[0], 0);
}

TEST_F(VirtualRing, CaptureFillsAtTheByteRateFromItsSourceAndWraps) {
  std::vector<int16_t> speech(3000);
  std::iota(speech.begin(), speech.end(), int16_t{-1500});
  device_->CaptureSamples(speech);
  std::unique_ptr<IDirectSoundCapture> dsc;
  ASSERT_EQ(DirectSoundCaptureCreate(nullptr, &dsc), DS_OK);
  DSCBUFFERDESC desc;
  desc.dwBufferBytes = 3200;  // 100 ms
  desc.lpwfxFormat = &format_;
  std::unique_ptr<IDirectSoundCaptureBuffer> cap;
  ASSERT_EQ(dsc->CreateCaptureBuffer(desc, &cap), DS_OK);
  ASSERT_EQ(cap->Start(DSCBSTART_LOOPING), DS_OK);
  tick_.Advance(130);  // 4160 bytes: one lap and 960 bytes
  DWORD captured = 0, read = 0;
  ASSERT_EQ(cap->GetCurrentPosition(&captured, &read), DS_OK);
  EXPECT_EQ(read, 960u);
  void *r1, *r2;
  DWORD n1, n2;
  ASSERT_EQ(cap->Lock(read, 3200, &r1, &n1, &r2, &n2, 0), DS_OK);  // the last 100 ms, oldest first
  std::vector<int16_t> got(1600);
  std::memcpy(got.data(), r1, n1);
  std::memcpy(reinterpret_cast<uint8_t*>(got.data()) + n1, r2, n2);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), speech.begin() + 480));
}

TEST_F(VirtualRing, LoopbackHearsWhatTheSpeakerPlayed) {
  auto mic = std::make_shared<VirtualSoundDevice>("mic");
  mic->CaptureLoopback(device_);
  ScopedSoundDevices both({device_, mic});
  auto ring = MakeRing();
  Write(*ring, 0, std::vector<int16_t>(8000, 777));
  std::unique_ptr<IDirectSoundCapture> dsc;
  const GUID micGuid = mic->Guid();
  ASSERT_EQ(DirectSoundCaptureCreate(&micGuid, &dsc), DS_OK);
  DSCBUFFERDESC desc;
  desc.dwBufferBytes = 3200;
  desc.lpwfxFormat = &format_;
  std::unique_ptr<IDirectSoundCaptureBuffer> cap;
  ASSERT_EQ(dsc->CreateCaptureBuffer(desc, &cap), DS_OK);
  ASSERT_EQ(cap->Start(DSCBSTART_LOOPING), DS_OK);
  tick_.Advance(20);  // silence before the speaker starts
  ASSERT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  tick_.Advance(20);
  void *r1, *r2;
  DWORD n1, n2;
  ASSERT_EQ(cap->Lock(0, 1280, &r1, &n1, &r2, &n2, 0), DS_OK);
  const auto* s = static_cast<const int16_t*>(r1);
  EXPECT_EQ(s[319], 0);
  EXPECT_EQ(s[320], 777);
  EXPECT_EQ(s[639], 777);
}

}  // namespace
}  // namespace tw::dsound
