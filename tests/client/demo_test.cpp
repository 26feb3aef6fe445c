// The demonstration program as a newcomer runs it, short and headless: both
// control libraries registered, twdemo run to its end, and what it leaves in
// its output folder looked at: the frames open as images with Qt's reader,
// the played audio carries speech.
#include <QImage>
#include <QImageReader>
#include <cmath>
#include <cstdlib>

#include "tests/audio/voice_compare.h"
#include "tests/client/control_container.h"

using namespace tw;
using namespace tw::test;

namespace {

// The samples of a 16 kHz 16-bit mono WAV file; empty when it is not one.
std::vector<int16_t> WavSamples(const std::string& bytes) {
  auto u32 = [&](size_t at) {
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
           uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
  };
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") || bytes.compare(8, 4, "WAVE") || u32(24) != 16000 ||
      bytes.compare(36, 4, "data") || u32(40) != bytes.size() - 44)
    return {};
  std::vector<int16_t> s;
  for (size_t i = 44; i + 1 < bytes.size(); i += 2)
    s.push_back(static_cast<int16_t>(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
  return s;
}

}  // namespace

TEST(Demonstration, RunsToItsEndAndLeavesFramesAndPlayedSpeech) {
  TempRegistry registry;
  ASSERT_EQ(CallExport(ClientLibrary(), "DllRegisterServer"), S_OK);
  ASSERT_EQ(CallExport(TW_SERVER_CONTROL, "DllRegisterServer"), S_OK);
  TempFolder out;
  const std::string log = out.File("demo.log");
  const std::string command = std::string("\"") + TW_DEMO_PROGRAM + "\" --out \"" + out.Path() +
                              "\" --talk-ms 5000 > \"" + log + "\" 2>&1";
  const int status = std::system(command.c_str());
  const std::string printed = out.Read("demo.log");
  ASSERT_EQ(status, 0) << printed;
  EXPECT_NE(printed.find("done: every step happened"), std::string::npos) << printed;
  EXPECT_NE(printed.find("ben: chat from ann: Hello Ben, shall we talk?"), std::string::npos);

  for (const char* name : {"ann-remote.bmp", "ben-remote.bmp", "ann-local.bmp", "ben-local.bmp"}) {
    SCOPED_TRACE(name);
    QImageReader reader(QString::fromStdString(out.File(name)));
    EXPECT_EQ(reader.format(), "bmp");
    QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
    EXPECT_GE(image.width(), 160);
    EXPECT_GE(image.height(), 120);
  }
  for (const char* name : {"ann-played.wav", "ben-played.wav"}) {
    SCOPED_TRACE(name);
    std::vector<int16_t> samples = WavSamples(out.Read(name));
    ASSERT_GT(samples.size(), 8000u);  // half a second at least
    EXPECT_GT(LoudestRms(samples), 1000.0);
  }
}
