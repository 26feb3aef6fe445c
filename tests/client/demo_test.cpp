// The demonstration program as a newcomer runs it, short and headless: both
// control libraries registered, twdemo run to its end, and what it leaves in
// its output folder looked at: the frames open as images with Qt's reader,
// the played audio carries speech.
#include <sys/wait.h>

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

// What twdemo cannot run with is refused before any control is made, with
// the reason: a talk length that is not a number or too short for the
// speech, a speech file in another format.
TEST(Demonstration, RefusesATalkTooShortOrSpeechInAnotherFormat) {
  TempFolder out;
  // 8 kHz 16-bit mono: a WAV file, but not the virtual microphone's format.
  std::string wav = "RIFF....WAVEfmt ";
  const unsigned char fmt[] = {16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0};
  wav.append(reinterpret_cast<const char*>(fmt), sizeof fmt);
  wav += std::string("data\4\0\0\0\0\0\0\0", 12);
  out.Write("8k.wav", wav);
  struct {
    std::string args;
    int exit;
    const char* reason;
  } cases[] = {
      {"--talk-ms abc", 2, "--talk-ms takes a whole number of milliseconds"},
      {"--talk-ms 2000", 1, "needs --talk-ms 3003 or more"},
      {"--speech \"" + out.File("8k.wav") + "\"", 1, "holds 8000 Hz, 16-bit, 1-channel PCM audio"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string log = out.File("refused.log");
    const std::string command = std::string("\"") + TW_DEMO_PROGRAM + "\" --out \"" + out.Path() + "\" " + c.args +
                                " > \"" + log + "\" 2>&1";
    const int status = std::system(command.c_str());
    const std::string printed = out.Read("refused.log");
    ASSERT_TRUE(WIFEXITED(status)) << printed;
    EXPECT_EQ(WEXITSTATUS(status), c.exit) << printed;
    EXPECT_NE(printed.find(c.reason), std::string::npos) << printed;
    EXPECT_EQ(printed.find("logging in"), std::string::npos) << printed;
  }
}
