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
