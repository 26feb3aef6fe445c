// The capture form over synthetic cameras: device and format lists, starting
// and stopping, frames on the streaming thread, restarts and failures.
#include "video/uCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dshow/internal.h"
#include "platform/dshow/convert.h"
#include "tests/platform/dshow/fake_v4l2.h"
#include "tests/support/thrown.h"
#include "tests/video/camera_fixture.h"

namespace tw::video {
namespace {

using dshow::MEDIASUBTYPE_MJPG;
using dshow::MEDIASUBTYPE_RGB24;
using dshow::MEDIASUBTYPE_RGB32;
using dshow::MEDIASUBTYPE_RGB555;
using dshow::MEDIASUBTYPE_RGB565;
using dshow::MEDIASUBTYPE_RGB8;
using dshow::MEDIASUBTYPE_YUY2;
using testing::Camera;
using testing::FrameLog;
using testing::Video;

class CaptureTest : public testing::CameraFixture {
 protected:
  // A capture form whose frames go to `log`.
  std::unique_ptr<TCapture> MakeCapture(FrameLog& log) {
    auto capture = std::make_unique<TCapture>();
    capture->OnFrame = [&log](TCapture&, win32::Bitmap& frame) { log.Add(frame); };
    return capture;
  }
  static std::vector<std::pair<int, int>> Sizes(const TCapture& c) {
    std::vector<std::pair<int, int>> sizes;
    for (int i = 0; i < c.FormatCount(); ++i) {
      int32_t w = 0, h = 0;
      EXPECT_TRUE(c.GetFormatSize(i, w, h));
      sizes.emplace_back(w, h);
    }
    return sizes;
  }
};

TEST_F(CaptureTest, ListsOnlyTheFirstPreferredRgbSubtypeAndDropsDevicesWithoutOne) {
  UseCameras({
      Camera("yuv only", {Video(MEDIASUBTYPE_YUY2, 320, 240, 16), Video(MEDIASUBTYPE_MJPG, 640, 480, 24)}),
      Camera("rgb24 and rgb32", {Video(MEDIASUBTYPE_RGB32, 800, 600, 32), Video(MEDIASUBTYPE_RGB24, 320, 240, 24),
                                 Video(MEDIASUBTYPE_RGB24, 160, 120, 24)}),
      Camera("555 and 565", {Video(MEDIASUBTYPE_RGB565, 640, 480, 16), Video(MEDIASUBTYPE_RGB555, 176, 144, 16)}),
      Camera("rgb8", {Video(MEDIASUBTYPE_RGB8, 128, 96, 8)}),
  });
  TCapture capture;
  ASSERT_TRUE(capture.EnumerateDevices());
  ASSERT_EQ(capture.DeviceCount(), 3);
  EXPECT_EQ(capture.DeviceName(0), "rgb24 and rgb32");
  EXPECT_EQ(capture.DeviceName(1), "555 and 565");
  EXPECT_EQ(capture.DeviceName(2), "rgb8");
  EXPECT_EQ(capture.DeviceName(3), "");
  EXPECT_EQ(capture.DeviceIndex(), 0);
  EXPECT_EQ(capture.FormatIndex(), 0);
  EXPECT_EQ(Sizes(capture), (std::vector<std::pair<int, int>>{{160, 120}, {320, 240}}));
  // Formats index the media types of the first pin, in pin order.
  EXPECT_EQ(capture.Device(0)->MediaTypes.Count(), 3);
  EXPECT_EQ(capture.Device(0)->Formats[0].MediaTypeIndex, 2);
  ASSERT_TRUE(capture.SetDeviceIndex(1));
  EXPECT_EQ(Sizes(capture), (std::vector<std::pair<int, int>>{{176, 144}}));
  ASSERT_TRUE(capture.SetDeviceIndex(2));
  EXPECT_EQ(Sizes(capture), (std::vector<std::pair<int, int>>{{128, 96}}));
}

TEST_F(CaptureTest, SortsFormatsByWidthKeepingDuplicatesAndTopDownHeights) {
  UseCameras({Camera("dupes", {Video(MEDIASUBTYPE_RGB24, 640, 480, 24), Video(MEDIASUBTYPE_RGB24, 320, 240, 24),
                               Video(MEDIASUBTYPE_RGB24, 320, -240, 24), Video(MEDIASUBTYPE_RGB24, 160, 120, 24),
                               Video(MEDIASUBTYPE_RGB24, 320, 240, 24)})});
  TCapture capture;
  ASSERT_TRUE(capture.EnumerateDevices());
  std::vector<std::pair<int, int>> sizes = Sizes(capture);
  ASSERT_EQ(sizes.size(), 5u);
  EXPECT_EQ(sizes.front(), (std::pair{160, 120}));
  EXPECT_EQ(sizes.back(), (std::pair{640, 480}));
  std::vector<std::pair<int, int>> middle(sizes.begin() + 1, sizes.end() - 1);
  std::sort(middle.begin(), middle.end());
  EXPECT_EQ(middle, (std::vector<std::pair<int, int>>{{320, -240}, {320, 240}, {320, 240}}));

  int32_t w = 0, h = 0;
  EXPECT_FALSE(capture.GetFormatSize(5, w, h));
  EXPECT_FALSE(capture.GetFormatSize(-1, w, h));
}

TEST_F(CaptureTest, TableOfHelpers) {
  // Subtype preference: the first of RGB24, RGB32, RGB555, RGB565, RGB8 present wins.
  struct Case {
    std::vector<com::GUID> offered;
    std::optional<com::GUID> chosen;
  };
  const Case cases[] = {
      {{MEDIASUBTYPE_RGB8, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24}, MEDIASUBTYPE_RGB24},
      {{MEDIASUBTYPE_RGB8, MEDIASUBTYPE_RGB565, MEDIASUBTYPE_RGB32}, MEDIASUBTYPE_RGB32},
      {{MEDIASUBTYPE_RGB565, MEDIASUBTYPE_RGB555}, MEDIASUBTYPE_RGB555},
      {{MEDIASUBTYPE_RGB8, MEDIASUBTYPE_RGB565}, MEDIASUBTYPE_RGB565},
      {{MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB8}, MEDIASUBTYPE_RGB8},
      {{MEDIASUBTYPE_YUY2, MEDIASUBTYPE_MJPG}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    dskit::TEnumMediaType types;
    std::vector<dshow::MediaType> list;
    for (const com::GUID& g : c.offered) list.push_back(Video(g, 8, 8, 24));
    types.LoadFromEnum(dshow::detail::MakeMediaTypeEnum(list).Get());
    EXPECT_EQ(TCapture::ChooseRgbSubtype(types), c.chosen) << c.offered.size();
  }

  // Sizes from both block kinds; anything else reads 0.
  const dskit::TMediaType vi(Video(MEDIASUBTYPE_RGB24, 352, -288, 24).Get());
  const dskit::TMediaType vi2(dshow::MediaType::Video(MEDIASUBTYPE_RGB24, 176, 144, 24, 1, true).Get());
  const dskit::TMediaType none(dshow::MEDIATYPE_Video);
  EXPECT_EQ(TCapture::MediaTypeWidth(vi), 352);
  EXPECT_EQ(TCapture::MediaTypeHeight(vi), -288);
  EXPECT_EQ(TCapture::MediaTypeWidth(vi2), 176);
  EXPECT_EQ(TCapture::MediaTypeHeight(vi2), 144);
  EXPECT_EQ(TCapture::MediaTypeWidth(none), 0);

  dskit::TMediaType rate(vi.AMMediaType());
  TCapture::ApplyFrameRate(rate);
  int64_t frameTime = 0;
  std::memcpy(&frameTime, rate.AMMediaType().pbFormat + 40, 8);
  EXPECT_EQ(frameTime, 625'000);
}

TEST_F(CaptureTest, StartBeforeAnyListingFailsAndLeavesNothingRunning) {
  TCapture capture;
  EXPECT_FALSE(capture.StartCapture());
  EXPECT_FALSE(capture.StartCapture());
  EXPECT_FALSE(capture.Running());
  EXPECT_TRUE(capture.StopCapture());
  EXPECT_EQ(capture.FormatCount(), 0);
}

TEST_F(CaptureTest, FramesArriveOnTheStreamingThreadAs24BitPicturesOfTheChosenFormat) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 320, 240, 24), Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  FrameLog log;
  auto capture = MakeCapture(log);
  ASSERT_TRUE(capture->EnumerateDevices());
  ASSERT_TRUE(capture->StartCapture());
  EXPECT_TRUE(capture->StartCapture());  // already running
  ASSERT_TRUE(log.WaitFor(3));
  ASSERT_TRUE(capture->StopCapture());
  EXPECT_NE(log.Thread(0), std::this_thread::get_id());
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(testing::SamePixels(log.Frame(i), testing::ExpectedFrame(160, 120, i))) << i;
  }
}

TEST_F(CaptureTest, ClosingTheHiddenWindowOnlyHidesItAndCaptureGoesOn) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  FrameLog log;
  auto capture = MakeCapture(log);
  EXPECT_STREQ(TCapture::kCaption, "Video Capture Devices");
  ASSERT_TRUE(capture->EnumerateDevices());
  EXPECT_TRUE(capture->Log().empty());
  ASSERT_TRUE(capture->StartCapture());
  capture->Close();
  EXPECT_FALSE(capture->Visible());
  EXPECT_TRUE(capture->Running());
  EXPECT_TRUE(log.WaitFor(2));
}

TEST_F(CaptureTest, ConvertsOtherRgbFormatsAndTurnsTopDownFramesUpright) {
  struct Case {
    com::GUID subtype;
    int height;
    int bits;
  };
  for (const Case& c :
       {Case{MEDIASUBTYPE_RGB32, 120, 32}, Case{MEDIASUBTYPE_RGB24, -120, 24}, Case{MEDIASUBTYPE_RGB32, -120, 32}}) {
    UseCameras({Camera("cam", {Video(c.subtype, 160, c.height, c.bits)})});
    FrameLog log;
    auto capture = MakeCapture(log);
    ASSERT_TRUE(capture->EnumerateDevices());
    ASSERT_TRUE(capture->StartCapture());
    ASSERT_TRUE(log.WaitFor(1));
    capture.reset();
    EXPECT_TRUE(testing::SamePixels(log.Frame(0), testing::ExpectedFrame(160, 120, 0))) << c.bits << " " << c.height;
  }
}

TEST_F(CaptureTest, Rgb8OnlySourceRunsWithoutFrames) {
  UseCameras({Camera("palette", {Video(MEDIASUBTYPE_RGB8, 64, 48, 8)})});
  FrameLog log;
  auto capture = MakeCapture(log);
  ASSERT_TRUE(capture->EnumerateDevices());
  ASSERT_TRUE(capture->StartCapture());
  EXPECT_TRUE(capture->Running());
  // The camera would deliver a frame every 2 ms; none can reach the grabber.
  EXPECT_FALSE(log.WaitFor(1, std::chrono::milliseconds(100)));
  EXPECT_TRUE(capture->StopCapture());
  EXPECT_EQ(log.Count(), 0u);
}

TEST_F(CaptureTest, FramesThatCannotBeCopiedNeverReachTheHandler) {
  // A VideoInfo block with colour masks after it is not one a bitmap is made from.
  dshow::MediaType masked = Video(MEDIASUBTYPE_RGB24, 16, 8, 24);
  dshow::AM_MEDIA_TYPE& mt = masked.Get();
  auto* bigger = static_cast<uint8_t*>(dshow::CoTaskMemAlloc(100));
  std::memset(bigger, 0, 100);
  std::memcpy(bigger, mt.pbFormat, mt.cbFormat);
  dshow::CoTaskMemFree(mt.pbFormat);
  mt.pbFormat = bigger;
  mt.cbFormat = 100;
  UseCameras({Camera("masked", {masked})});
  FrameLog log;
  auto capture = MakeCapture(log);
  ASSERT_TRUE(capture->EnumerateDevices());
  ASSERT_EQ(capture->FormatCount(), 1);
  ASSERT_TRUE(capture->StartCapture());
  EXPECT_FALSE(log.WaitFor(1, std::chrono::milliseconds(100)));
  EXPECT_TRUE(capture->StopCapture());
}

TEST_F(CaptureTest, FormatIndexBeyondTheListKeepsTheDevicesOwnFormat) {
  // The device's default format is its first media type, 320 x 240.
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 320, 240, 24), Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  FrameLog log;
  auto capture = MakeCapture(log);
  ASSERT_TRUE(capture->EnumerateDevices());
  ASSERT_TRUE(capture->SetFormatIndex(7));
  EXPECT_EQ(capture->FormatIndex(), 7);
  ASSERT_TRUE(capture->StartCapture());
  ASSERT_TRUE(log.WaitFor(1));
  capture->StopCapture();
  EXPECT_EQ(log.Frame(0).Width(), 320);
  EXPECT_EQ(log.Frame(0).Height(), 240);
}

TEST_F(CaptureTest, AV4l2CameraListsItsRgb24SizesAndDeliversConvertedFrames) {
  auto io = std::make_shared<dshow::FakeV4l2>();
  io->devices["/dev/video0"] = {"USB Camera", true, true, {{64, 48}, {32, 16}}};
  dshow::SetV4l2Io(io);
  UseCameras({});
  FrameLog log;
  auto capture = MakeCapture(log);
  ASSERT_TRUE(capture->EnumerateDevices());
  ASSERT_EQ(capture->DeviceCount(), 1);
  EXPECT_EQ(capture->DeviceName(0), "USB Camera");
  EXPECT_EQ(Sizes(*capture), (std::vector<std::pair<int, int>>{{32, 16}, {64, 48}}));
  ASSERT_TRUE(capture->SetFormatIndex(1));
  ASSERT_TRUE(capture->StartCapture());
  ASSERT_TRUE(log.WaitFor(2));
  capture.reset();
  EXPECT_EQ(io->OpenCount(), 0u);
  const dshow::MediaType yuyv = Video(MEDIASUBTYPE_YUY2, 64, 48, 16);
  for (size_t n = 0; n < 2; ++n) {
    const std::vector<uint8_t> source = dshow::SyntheticCamera::RenderFrame(yuyv.Get(), n);
    win32::Bitmap expected(64, 48, win32::PixelFormat::pf24bit);
    dshow::ConvertYuyvToRgb24(source.data(), 128, 64, 48, expected.Bits().data(), expected.Stride(), true);
    EXPECT_TRUE(testing::SamePixels(log.Frame(n), expected)) << n;
  }
}

TEST_F(CaptureTest, NegativeIndexesAreRefused) {
  UseCameras(
      {Camera("a", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)}), Camera("b", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  TCapture capture;
  ASSERT_TRUE(capture.EnumerateDevices());
  EXPECT_FALSE(capture.SetDeviceIndex(-1));
  EXPECT_FALSE(capture.SetFormatIndex(-2));
  EXPECT_EQ(capture.DeviceIndex(), 0);
  EXPECT_EQ(capture.FormatIndex(), 0);
  EXPECT_EQ(capture.DeviceName(-1), "");
  // Indexes at or above the count are ignored.
  EXPECT_TRUE(capture.SetDeviceIndex(2));
  EXPECT_EQ(capture.DeviceIndex(), 0);
}

TEST_F(CaptureTest, ChangingTheDeviceWhileRunningRestartsWithTheSameFormatIndex) {
  UseCameras({Camera("small", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24), Video(MEDIASUBTYPE_RGB24, 176, 144, 24)}),
              Camera("large", {Video(MEDIASUBTYPE_RGB24, 640, 480, 24), Video(MEDIASUBTYPE_RGB24, 320, 240, 24)})});
  FrameLog log;
  auto capture = MakeCapture(log);
  ASSERT_TRUE(capture->EnumerateDevices());
  ASSERT_TRUE(capture->SetFormatIndex(1));
  ASSERT_TRUE(capture->StartCapture());
  ASSERT_TRUE(log.WaitFor(1));
  EXPECT_EQ(log.Frame(0).Width(), 176);

  ASSERT_TRUE(capture->SetDeviceIndex(1));
  EXPECT_TRUE(capture->Running());
  EXPECT_EQ(capture->FormatIndex(), 1);
  const size_t before = log.Count();
  ASSERT_TRUE(log.WaitFor(before + 1));
  capture->StopCapture();
  EXPECT_EQ(log.Frame(before).Width(), 640);  // format 1 of "large": sorted 320, 640

  // Listing while running changes nothing.
  ASSERT_TRUE(capture->StartCapture());
  EXPECT_TRUE(capture->EnumerateDevices());
  EXPECT_EQ(capture->DeviceCount(), 2);
  EXPECT_EQ(capture->DeviceIndex(), 1);
  EXPECT_EQ(capture->FormatIndex(), 1);
}

TEST_F(CaptureTest, NoFrameArrivesOnceStopReturned) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  std::atomic<int> frames{0};
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  TCapture capture;
  capture.OnFrame = [&](TCapture&, win32::Bitmap&) {
    if (stopped) ++late;
    ++frames;
  };
  ASSERT_TRUE(capture.EnumerateDevices());
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(capture.StartCapture());
    while (frames.load() <= round) std::this_thread::yield();
    ASSERT_TRUE(capture.StopCapture());
    stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stopped = false;
  }
  EXPECT_EQ(late.load(), 0);
}

TEST_F(CaptureTest, StopFromTheFrameHandlerIsRefusedAndDestroyingStillTearsDown) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  auto refused = std::make_shared<std::atomic<int>>(0);
  auto frames = std::make_shared<std::atomic<int>>(0);
  {
    TCapture capture;
    capture.OnFrame = [refused, frames](TCapture& c, win32::Bitmap&) {
      if (!c.StopCapture()) ++*refused;
      ++*frames;
    };
    ASSERT_TRUE(capture.EnumerateDevices());
    ASSERT_TRUE(capture.StartCapture());
    while (frames->load() < 2) std::this_thread::yield();
    EXPECT_TRUE(capture.Running());
  }
  const int atDestruction = frames->load();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(frames->load(), atDestruction);
  EXPECT_GE(refused->load(), 2);
}

TEST_F(CaptureTest, ACameraThatFailsToStartGivesAFailedStart) {
  auto cam = Camera("broken", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)});
  cam.failStart = true;
  UseCameras({cam});
  TCapture capture;
  ASSERT_TRUE(capture.EnumerateDevices());
  EXPECT_FALSE(capture.StartCapture());
  EXPECT_FALSE(capture.Running());
  EXPECT_TRUE(capture.StopCapture());
}

TEST_F(CaptureTest, WithoutASampleGrabberNeitherListingNorStartingSucceeds) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  struct Withdrawn {
    Withdrawn() { EXPECT_TRUE(dshow::SetClassRegistered(dshow::CLSID_SampleGrabber, false)); }
    ~Withdrawn() { dshow::SetClassRegistered(dshow::CLSID_SampleGrabber, true); }
  };
  TCapture capture;
  {
    Withdrawn withdrawn;
    try {
      dskit::TSampleGrabber grabber;
      ADD_FAILURE() << "constructed";
    } catch (const dskit::EAssertionFailed& e) {
      EXPECT_STREQ(e.what(), "The SampleGrabber Filter is not available on this system.");
    }
    EXPECT_FALSE(capture.EnumerateDevices());
    EXPECT_FALSE(capture.StartCapture());
    EXPECT_FALSE(capture.Running());
  }
  EXPECT_TRUE(capture.EnumerateDevices());
  EXPECT_TRUE(capture.StartCapture());
}

TEST_F(CaptureTest, AFailingFrameHandlerDropsTheFrameAndCaptureGoesOn) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  FrameLog log;
  std::atomic<int> calls{0};
  TCapture capture;
  capture.OnFrame = [&](TCapture&, win32::Bitmap& frame) {
    if (++calls == 1) throw std::runtime_error("handler failed");
    log.Add(frame);
  };
  ASSERT_TRUE(capture.EnumerateDevices());
  ASSERT_TRUE(capture.StartCapture());
  ASSERT_TRUE(log.WaitFor(2));
  EXPECT_TRUE(capture.StopCapture());
}

// What the form caught reaches OnFailure on the creating thread, with the
// step that failed: a start, the graph components, a frame on the streaming
// thread (once for a capture run, however many frames fail).
class CaptureFailureTest : public CaptureTest {
 protected:
  std::vector<std::string> reports_;
  std::thread::id reportThread_;
  void Watch(TCapture& capture) {
    capture.OnFailure = [this](const std::string& text) {
      reportThread_ = std::this_thread::get_id();
      reports_.push_back(text);
    };
  }
};

TEST_F(CaptureFailureTest, AFailedStartIsReportedWithItsStep) {
  auto cam = Camera("broken", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)});
  cam.failStart = true;
  UseCameras({cam});
  TCapture capture;
  Watch(capture);
  ASSERT_TRUE(capture.EnumerateDevices());
  EXPECT_TRUE(reports_.empty());
  EXPECT_FALSE(capture.StartCapture());
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], "TCapture.StartCapture: No capture hardware is available. ($80040258).");
}

TEST_F(CaptureFailureTest, MissingGraphComponentsAreReportedForListingAndStarting) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  TCapture capture;
  Watch(capture);
  ASSERT_TRUE(dshow::SetClassRegistered(dshow::CLSID_SampleGrabber, false));
  EXPECT_FALSE(capture.EnumerateDevices());
  EXPECT_FALSE(capture.StartCapture());
  dshow::SetClassRegistered(dshow::CLSID_SampleGrabber, true);
  const std::string missing = ": The SampleGrabber Filter is not available on this system.";
  EXPECT_EQ(reports_, (std::vector<std::string>{"TCapture.CreateGraphComponents" + missing,
                                                "TCapture.CreateGraphComponents" + missing}));
}

TEST_F(CaptureFailureTest, AFailingFrameIsReportedOnTheCreatingThreadOnceForEachRun) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  for (const tw::test::Thrown& c : tw::test::ThrownKinds()) {
    const std::string reported = "TSampleGrabber.OnBuffer: " + c.what;
    reports_.clear();
    std::atomic<int> calls{0};
    TCapture capture;
    Watch(capture);
    capture.OnFrame = [&](TCapture&, win32::Bitmap&) {
      ++calls;
      c.raise();
    };
    ASSERT_TRUE(capture.EnumerateDevices());
    for (int run = 1; run <= 2; ++run) {
      const int before = calls;
      ASSERT_TRUE(capture.StartCapture());
      ASSERT_TRUE(win32::RunUntil([&] { return calls >= before + 3; }, 5000));
      ASSERT_TRUE(capture.StopCapture());
      win32::ProcessMessages();
      EXPECT_EQ(reports_, std::vector<std::string>(static_cast<size_t>(run), reported));
      EXPECT_EQ(reportThread_, std::this_thread::get_id());
    }
  }
}

}  // namespace
}  // namespace tw::video
