// The sample grabber: sample times on the streaming thread, the converter in
// front of it, and the frames it copies into bitmaps.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/dshow/convert.h"
#include "tests/dskit/graph_rig.h"

namespace tw::dskit {
namespace {

using namespace graph_rig;

TEST_F(GraphTest, SampleTimesStepByTheFrameTimeOnTheStreamingThread) {
  UseCameras({Camera("cam", {MediaType::Video(MEDIASUBTYPE_RGB24, 160, 120, 24, 625'000)})});
  CaptureGraph g;
  ASSERT_EQ(g.Render(), S_OK);
  EXPECT_EQ(g.FilterCount(), 3);  // no converter for RGB24
  ASSERT_TRUE(g.graph.RunGraph());
  while (g.Frames() < 4) std::this_thread::yield();
  ASSERT_TRUE(g.graph.StopGraph());
  for (size_t i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(g.times[i], 0.0625 * static_cast<double>(i));
}

TEST_F(GraphTest, TheConverterTurnsYuyvIntoTheGrabbersRgb) {
  const MediaType yuyv = Video(MEDIASUBTYPE_YUY2, 64, 48, 16);
  UseCameras({Camera("cam", {yuyv})});
  CaptureGraph g(false);
  win32::Bitmap frame;
  std::atomic<bool> copied{false};
  g.grabber.OnBuffer = [&](TSampleGrabber& grabber, double, const uint8_t* buffer, int32_t length) {
    if (!copied && grabber.CopyFrameToBitmap(frame, buffer, length)) copied = true;
  };
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  while (!copied) std::this_thread::yield();
  g.graph.StopGraph();
  const std::vector<uint8_t> source = SyntheticCamera::RenderFrame(yuyv.Get(), 0);
  std::vector<uint8_t> expected(64 * 3 * 48);
  ConvertYuyvToRgb24(source.data(), 128, 64, 48, expected.data(), 192, true);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.Bits().begin(), frame.Bits().end()));
}

TEST_F(GraphTest, CopyFrameToBitmapCopiesAtMostTheImageAndOnlyFromKnownBlocks) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 8, 2, 24)})});  // stride 24, image 48 bytes
  CaptureGraph g(false);
  ASSERT_EQ(g.Render(), S_OK);
  std::vector<uint8_t> buffer(100);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i + 1);
  win32::Bitmap bmp;
  ASSERT_TRUE(g.grabber.CopyFrameToBitmap(bmp, buffer.data(), 100));  // longer: the image only
  EXPECT_TRUE(std::equal(bmp.Bits().begin(), bmp.Bits().end(), buffer.begin()));
  ASSERT_TRUE(g.grabber.CopyFrameToBitmap(bmp, buffer.data(), 10));  // shorter: its bytes only
  EXPECT_EQ(bmp.Bits()[9], 10);
  EXPECT_EQ(bmp.Bits()[10], 0);
  EXPECT_FALSE(g.grabber.CopyFrameToBitmap(bmp, buffer.data(), 0));
  EXPECT_EQ(bmp.Bits()[9], 10);  // untouched
  // Pull mode takes the grabber's buffered sample; none yet.
  EXPECT_FALSE(g.grabber.CopyFrameToBitmap(bmp, nullptr, 0));
}

TEST_F(GraphTest, ABlockWithColourMasksGivesNoPictureAndNoFrameEvent) {
  MediaType masked = Video(MEDIASUBTYPE_RGB24, 16, 8, 24);
  AM_MEDIA_TYPE& mt = masked.Get();
  auto* bigger = static_cast<uint8_t*>(CoTaskMemAlloc(100));
  std::memset(bigger, 0, 100);
  std::memcpy(bigger, mt.pbFormat, mt.cbFormat);
  CoTaskMemFree(mt.pbFormat);
  mt.pbFormat = bigger;
  mt.cbFormat = 100;
  UseCameras({Camera("cam", {masked})});
  CaptureGraph g(false);
  std::atomic<int> calls{0}, copies{0};
  g.grabber.OnBuffer = [&](TSampleGrabber& grabber, double, const uint8_t* buffer, int32_t length) {
    win32::Bitmap bmp;
    if (grabber.CopyFrameToBitmap(bmp, buffer, length)) ++copies;
    ++calls;
  };
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  while (calls < 3) std::this_thread::yield();
  g.graph.StopGraph();
  EXPECT_EQ(copies.load(), 0);
}

}  // namespace
}  // namespace tw::dskit
