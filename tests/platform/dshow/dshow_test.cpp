// The media-graph layer's cameras: V4L2 devices through a stand-in for their
// device calls (probing, format negotiation, mmap streaming, device loss),
// the YUYV conversion, and the order of the camera list.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dshow/camera.h"
#include "platform/dshow/convert.h"
#include "tests/platform/dshow/fake_v4l2.h"

namespace tw::dshow {
namespace {

// Records what a camera delivers.
class Sink final : public FrameSink {
 public:
  void Deliver(REFERENCE_TIME start, REFERENCE_TIME stop, std::span<const uint8_t> frame) override {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(stop - start, 625'000);
    starts.push_back(start);
    frames.emplace_back(frame.begin(), frame.end());
    changed_.notify_all();
  }
  void Lost() override {
    std::lock_guard lock(mutex_);
    lost = true;
    changed_.notify_all();
  }
  bool WaitUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), done);
  }
  std::vector<REFERENCE_TIME> starts;
  std::vector<std::vector<uint8_t>> frames;
  bool lost = false;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

class V4l2CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    io_ = std::make_shared<FakeV4l2>();
    io_->devices["/dev/video0"] = {"USB Camera", true, true, {{32, 16}, {64, 48}}};
    io_->devices["/dev/video1"] = {"USB Camera metadata", false, true, {{32, 16}}};
    io_->devices["/dev/video2"] = {"MJPEG only", true, false, {}};
  }
  void TearDown() override { SetV4l2Io(SystemV4l2Io()); }
  std::shared_ptr<FakeV4l2> io_;
};

TEST_F(V4l2CameraTest, ListsCaptureDevicesOfferingYuyvBeforeTheSyntheticCamera) {
  SetV4l2Io(io_);
  std::vector<CameraEntry> cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].friendlyName, "USB Camera");
  EXPECT_EQ(cameras[0].path, "v4l2:/dev/video0");
  EXPECT_EQ(cameras[1].friendlyName, "twParley Test Pattern");
  EXPECT_EQ(io_->OpenCount(), 0u);  // probing closes what it opened
}

// Card names are UTF-8 in a 32-byte field; one cut inside a character loses that character.
TEST_F(V4l2CameraTest, CardNamesKeepTheirLettersAndDropACutCharacter) {
  const struct {
    std::string card, listed;
  } cases[] = {
      {"Kamera f\xC3\xBCr \xC3\x9C / \xE2\x82\xAC / \xE6\x91\x84", "Kamera f\xC3\xBCr \xC3\x9C / \xE2\x82\xAC / \xE6\x91\x84"},
      {std::string(30, 'x') + "\xC3\xBC", std::string(30, 'x')},
      {std::string(29, 'x') + "\xE2\x82\xAC", std::string(29, 'x')},
      {std::string(28, 'x') + "\xE2\x82\xAC", std::string(28, 'x') + "\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    io_->devices["/dev/video0"].card = c.card;
    EXPECT_EQ(V4l2Camera::Probe(*io_, "/dev/video0"), c.listed) << c.card;
  }
}

TEST_F(V4l2CameraTest, OffersRgb24TypesFirstThenTheDevicesYuyv) {
  V4l2Camera camera(io_, "/dev/video0");
  std::vector<MediaType> types = camera.MediaTypes();
  ASSERT_EQ(types.size(), 4u);
  const GUID subtypes[] = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_YUY2};
  const int widths[] = {32, 64, 32, 64};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(types[i].Get().subtype, subtypes[i]) << i;
    EXPECT_EQ(types[i].Get().formattype, FORMAT_VideoInfo);
    EXPECT_EQ(VideoHeaderOf(types[i].Get())->biWidth, widths[i]) << i;
  }
}

TEST_F(V4l2CameraTest, StreamsConvertedFramesFromMappedBuffersUntilTheDeviceIsLost) {
  io_->devices["/dev/video0"].loseAfter = 3;
  V4l2Camera camera(io_, "/dev/video0");
  const MediaType rgb = MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000);
  Sink sink;
  ASSERT_EQ(camera.Start(rgb, sink), S_OK);
  EXPECT_EQ(io_->Mapped(), 4);
  ASSERT_TRUE(sink.WaitUntil([&] { return sink.lost; }));
  camera.Stop();
  EXPECT_EQ(sink.starts, (std::vector<REFERENCE_TIME>{0, 625'000, 1'250'000}));
  const MediaType yuyv = MediaType::Video(MEDIASUBTYPE_YUY2, 32, 16, 16, 1);
  for (size_t n = 0; n < 3; ++n) {
    const std::vector<uint8_t> source = SyntheticCamera::RenderFrame(yuyv.Get(), n);
    std::vector<uint8_t> expected(32 * 3 * 16);
    ConvertYuyvToRgb24(source.data(), 64, 32, 16, expected.data(), 96, true);
    EXPECT_EQ(sink.frames[n], expected) << n;
  }
  EXPECT_EQ(io_->Mapped(), 0);
  EXPECT_FALSE(io_->Streaming());
  EXPECT_EQ(io_->OpenCount(), 0u);
}

TEST_F(V4l2CameraTest, ADriverThatPicksAnotherSizeFailsTheStart) {
  io_->devices["/dev/video0"].forcedWidth = 64;
  V4l2Camera camera(io_, "/dev/video0");
  Sink sink;
  EXPECT_EQ(camera.Start(MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000), sink), VFW_E_INVALIDMEDIATYPE);
  EXPECT_EQ(camera.Start(MediaType::Video(MEDIASUBTYPE_RGB32, 32, 16, 32, 625'000), sink), VFW_E_INVALIDMEDIATYPE);
  EXPECT_EQ(io_->OpenCount(), 0u);
}

TEST_F(V4l2CameraTest, AFailedStartHandsBackItsBuffersAndClosesTheDevice) {
  io_->devices["/dev/video0"].failStreamOn = true;
  V4l2Camera camera(io_, "/dev/video0");
  Sink sink;
  EXPECT_EQ(camera.Start(MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000), sink), VFW_E_NO_CAPTURE_HARDWARE);
  EXPECT_EQ(io_->Mapped(), 0);
  EXPECT_EQ(io_->OpenCount(), 0u);
}

// Frame sizes from drivers that list ranges, or nothing at all.
TEST_F(V4l2CameraTest, SizesComeFromListsRangesInStepsOrTheCurrentFormat) {
  auto range = [](uint32_t type, uint32_t minW, uint32_t maxW, uint32_t stepW, uint32_t minH, uint32_t maxH,
                  uint32_t stepH) {
    v4l2_frmsizeenum r{};
    r.pixel_format = V4L2_PIX_FMT_YUYV;
    r.type = type;
    r.stepwise = {minW, maxW, stepW, minH, maxH, stepH};
    return r;
  };
  using Sizes = std::vector<std::pair<int, int>>;
  const struct {
    const char* what;
    std::optional<v4l2_frmsizeenum> range;
    bool listsSizes;
    Sizes expected;
  } cases[] = {
      {"listed", std::nullopt, true, {{32, 16}, {64, 48}}},
      {"no list: the current size", std::nullopt, false, {{80, 60}}},
      {"steps", range(V4L2_FRMSIZE_TYPE_STEPWISE, 160, 1280, 160, 120, 960, 120), true,
       {{160, 120}, {320, 240}, {640, 480}}},
      {"continuous", range(V4L2_FRMSIZE_TYPE_CONTINUOUS, 100, 400, 0, 100, 300, 0), true,
       {{160, 120}, {176, 144}, {320, 240}, {352, 288}}},
  };
  for (const auto& c : cases) {
    FakeV4l2::Device& device = io_->devices["/dev/video0"];
    device.range = c.range;
    device.listsSizes = c.listsSizes;
    device.current = {80, 60};
    Sizes rgb, yuyv;
    for (const MediaType& t : V4l2Camera(io_, "/dev/video0").MediaTypes()) {
      const BITMAPINFOHEADER* h = VideoHeaderOf(t.Get());
      (t.Get().subtype == MEDIASUBTYPE_RGB24 ? rgb : yuyv).emplace_back(h->biWidth, std::abs(h->biHeight));
    }
    EXPECT_EQ(rgb, c.expected) << c.what;
    EXPECT_EQ(yuyv, c.expected) << c.what;
  }
  // A size from a range streams.
  V4l2Camera camera(io_, "/dev/video0");
  Sink sink;
  ASSERT_EQ(camera.Start(camera.MediaTypes().front(), sink), S_OK);
  EXPECT_TRUE(sink.WaitUntil([&] { return sink.frames.size() >= 2; }));
  camera.Stop();
}

// Padded rows and wake-ups that find no buffer: every frame arrives, packed.
TEST_F(V4l2CameraTest, PaddedRowsAndEmptyWakeUpsStillGiveEveryFrame) {
  const MediaType yuyvType = MediaType::Video(MEDIASUBTYPE_YUY2, 32, 16, 16, 625'000);
  const MediaType rgbType = MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000);
  for (const MediaType* type : {&rgbType, &yuyvType}) {
    io_ = std::make_shared<FakeV4l2>();
    io_->devices["/dev/video0"] = {"USB Camera", true, true, {{32, 16}}};
    io_->devices["/dev/video0"].padding = 24;
    io_->devices["/dev/video0"].emptyWakeEvery = 2;
    io_->devices["/dev/video0"].loseAfter = 3;
    V4l2Camera camera(io_, "/dev/video0");
    Sink sink;
    ASSERT_EQ(camera.Start(*type, sink), S_OK);
    ASSERT_TRUE(sink.WaitUntil([&] { return sink.lost; }));
    camera.Stop();
    EXPECT_GE(io_->EmptyWakes(), 2);
    ASSERT_EQ(sink.frames.size(), 3u);
    for (size_t n = 0; n < 3; ++n) {
      std::vector<uint8_t> expected = SyntheticCamera::RenderFrame(yuyvType.Get(), n);
      if (type == &rgbType) {
        std::vector<uint8_t> rgb(32 * 3 * 16);
        ConvertYuyvToRgb24(expected.data(), 64, 32, 16, rgb.data(), 96, true);
        expected = rgb;
      }
      EXPECT_EQ(sink.frames[n], expected) << n;
    }
    EXPECT_EQ(io_->Mapped(), 0);
    EXPECT_EQ(io_->OpenCount(), 0u);
  }
}

// A driver whose buffers cannot hold a frame is refused before any is read.
TEST_F(V4l2CameraTest, BuffersShorterThanAFrameFailTheStart) {
  io_->devices["/dev/video0"].padding = 8;
  io_->devices["/dev/video0"].shortBy = 9;  // the last row's padding may go, not a byte more
  V4l2Camera camera(io_, "/dev/video0");
  Sink sink;
  EXPECT_EQ(camera.Start(MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000), sink), VFW_E_NO_CAPTURE_HARDWARE);
  EXPECT_EQ(io_->Mapped(), 0);
  EXPECT_EQ(io_->OpenCount(), 0u);
  io_->devices["/dev/video0"].shortBy = 8;
  ASSERT_EQ(camera.Start(MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000), sink), S_OK);
  EXPECT_TRUE(sink.WaitUntil([&] { return sink.frames.size() >= 2; }));
  camera.Stop();
}

// The wait failing mid-stream: the device-lost notice once, no frame after
// it, and a stop that hands everything back.
TEST_F(V4l2CameraTest, AWaitThatFailsMidStreamReportsTheDeviceLostAndStopsCleanly) {
  io_->devices["/dev/video0"].waitFailsAfter = 2;
  V4l2Camera camera(io_, "/dev/video0");
  Sink sink;
  ASSERT_EQ(camera.Start(MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000), sink), S_OK);
  ASSERT_TRUE(sink.WaitUntil([&] { return sink.lost; }));
  camera.Stop();
  EXPECT_EQ(sink.frames.size(), 2u);
  EXPECT_EQ(io_->Mapped(), 0);
  EXPECT_FALSE(io_->Streaming());
  EXPECT_EQ(io_->OpenCount(), 0u);
  camera.Stop();  // nothing when stopped
}

// Destroys its camera from the streaming thread, inside the second frame.
class DestroyingSink final : public FrameSink {
 public:
  explicit DestroyingSink(std::unique_ptr<Camera> camera) : camera_(std::move(camera)) {}
  Camera& camera() { return *camera_; }
  void Deliver(REFERENCE_TIME, REFERENCE_TIME, std::span<const uint8_t>) override {
    std::lock_guard lock(mutex_);
    ++frames;
    if (frames == 2) camera_.reset();
    changed_.notify_all();
  }
  void Lost() override { ADD_FAILURE() << "lost"; }
  bool WaitDestroyed() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !camera_; });
  }
  int frames = 0;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unique_ptr<Camera> camera_;
};

TEST_F(V4l2CameraTest, ACameraDestroyedOnItsStreamingThreadEndsItAndReleasesTheDevice) {
  DestroyingSink v4l2(std::make_unique<V4l2Camera>(io_, "/dev/video0"));
  ASSERT_EQ(v4l2.camera().Start(MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000), v4l2), S_OK);
  ASSERT_TRUE(v4l2.WaitDestroyed());
  ASSERT_TRUE(io_->WaitAllClosed());  // the thread ended and closed the device
  EXPECT_EQ(io_->Mapped(), 0);
  EXPECT_FALSE(io_->Streaming());
  EXPECT_EQ(v4l2.frames, 2);

  SyntheticCamera::Options options;
  options.interval = std::chrono::milliseconds(1);
  DestroyingSink synthetic(std::make_unique<SyntheticCamera>(options));
  const MediaType small = MediaType::Video(MEDIASUBTYPE_RGB24, 32, 16, 24, 625'000);
  ASSERT_EQ(synthetic.camera().Start(small, synthetic), S_OK);
  ASSERT_TRUE(synthetic.WaitDestroyed());
  // Another camera streams meanwhile; the first one's thread delivers nothing more.
  SyntheticCamera other(options);
  Sink sink;
  ASSERT_EQ(other.Start(small, sink), S_OK);
  EXPECT_TRUE(sink.WaitUntil([&] { return sink.frames.size() >= 5; }));
  other.Stop();
  EXPECT_EQ(synthetic.frames, 2);
}

TEST(ColourConversion, YuyvPrimariesBecomeTheirRgbColours) {
  struct Case {
    uint8_t y, u, v;
    uint8_t b, g, r;
  };
  // BT.601 limited range, within one step of rounding.
  const Case cases[] = {{235, 128, 128, 255, 255, 255}, {16, 128, 128, 0, 0, 0},  {81, 90, 240, 0, 0, 255},
                        {145, 54, 34, 0, 255, 0},       {41, 240, 110, 255, 0, 0}, {126, 128, 128, 128, 128, 128}};
  for (const Case& c : cases) {
    const uint8_t yuyv[4] = {c.y, c.u, c.y, c.v};
    uint8_t rgb[8] = {};
    ConvertYuyvToRgb24(yuyv, 4, 2, 1, rgb, 8, true);
    for (int px = 0; px < 2; ++px) {
      EXPECT_NEAR(rgb[px * 3 + 0], c.b, 2) << int(c.y);
      EXPECT_NEAR(rgb[px * 3 + 1], c.g, 2) << int(c.y);
      EXPECT_NEAR(rgb[px * 3 + 2], c.r, 2) << int(c.y);
    }
  }
}

TEST(ColourConversion, RowsComeOutBottomUpAndShortBuffersAreRefused) {
  // Two rows of YUYV: black on top, white below.
  const uint8_t yuyv[8] = {16, 128, 16, 128, 235, 128, 235, 128};
  uint8_t rgb[16] = {};
  ASSERT_TRUE(ConvertToRgb24(MEDIASUBTYPE_YUY2, yuyv, 8, 2, 2, rgb, 16));
  EXPECT_EQ(rgb[0], 255);  // the first row in memory is the bottom one
  EXPECT_EQ(rgb[8], 0);
  EXPECT_FALSE(ConvertToRgb24(MEDIASUBTYPE_YUY2, yuyv, 7, 2, 2, rgb, 16));
  EXPECT_FALSE(ConvertToRgb24(MEDIASUBTYPE_RGB8, yuyv, 8, 2, 2, rgb, 16));
  // 5-5-5 and 5-6-5 widen each channel (rows padded to 4 bytes).
  const uint8_t white555[4] = {0xFF, 0x7F}, red565[4] = {0x00, 0xF8};
  uint8_t out[4] = {};
  EXPECT_FALSE(ConvertToRgb24(MEDIASUBTYPE_RGB555, white555, 2, 1, 1, out, 4));
  ASSERT_TRUE(ConvertToRgb24(MEDIASUBTYPE_RGB555, white555, 4, 1, 1, out, 4));
  EXPECT_EQ((std::array<int, 3>{out[0], out[1], out[2]}), (std::array<int, 3>{255, 255, 255}));
  ASSERT_TRUE(ConvertToRgb24(MEDIASUBTYPE_RGB565, red565, 4, 1, 1, out, 4));
  EXPECT_EQ((std::array<int, 3>{out[0], out[1], out[2]}), (std::array<int, 3>{0, 0, 255}));
}

}  // namespace
}  // namespace tw::dshow
