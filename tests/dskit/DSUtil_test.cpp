// The media-graph utilities: error texts, media type records, the routine
// tables, the device-category lister and monikers kept as bytes.
#include "Libraries/DSKit/DSUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/video/camera_fixture.h"

namespace tw::dskit {
namespace {

using namespace tw::dshow;

TEST(DSUtil, RaiseOnFailureFormatsTheTextAndTheCode) {
  EXPECT_EQ(RaiseOnFailure(S_FALSE), 1);
  EXPECT_EQ(RaiseOnFailure(S_OK), 0);
  struct Case {
    HRESULT hr;
    const char* message;
  };
  for (const Case& c : {Case{com::E_FAIL, "Unspecified error. ($80004005)."},
                        Case{VFW_E_NOT_CONNECTED,
                             "The operation cannot be performed because the pins are not connected. ($80040209)."},
                        Case{static_cast<HRESULT>(0x80001234), "Unknown error 0x80001234. ($80001234)."}}) {
    try {
      RaiseOnFailure(c.hr);
      ADD_FAILURE() << "no exception";
    } catch (const EDirectShowException& e) {
      EXPECT_STREQ(e.what(), c.message);
      EXPECT_EQ(e.ErrorCode, c.hr);
    }
  }
}

// Counts its references, to see clones take one and releases give it back.
class Counted final : public com::ComObject<Counted, com::IUnknown> {
 public:
  ULONG Refs() {
    AddRef();
    return Release();
  }
};

TEST(DSUtil, CloneAndReleaseOwnTheFormatBlockAndTheReference) {
  ComPtr<Counted> unk = com::MakeComObject<Counted>();
  MediaType source = testing::Video(MEDIASUBTYPE_RGB24, 320, 240, 24);
  source.Get().pUnk = unk.Get();
  unk->AddRef();  // the record's own reference, freed with it
  AM_MEDIA_TYPE copy{};
  CloneMediaTypeRecord(copy, source.Get());
  EXPECT_NE(copy.pbFormat, source.Get().pbFormat);
  ASSERT_EQ(copy.cbFormat, 88u);
  EXPECT_EQ(std::memcmp(copy.pbFormat, source.Get().pbFormat, 88), 0);
  EXPECT_EQ(unk->Refs(), 3u);
  ReleaseMediaTypeRecord(copy);
  EXPECT_EQ(copy.cbFormat, 0u);
  EXPECT_EQ(copy.pbFormat, nullptr);
  EXPECT_EQ(copy.pUnk, nullptr);
  EXPECT_EQ(unk->Refs(), 2u);

  EXPECT_THROW(CloneMediaTypeRecord(copy, copy), EAssertionFailed);
  AM_MEDIA_TYPE broken{};
  broken.cbFormat = 4;
  try {
    CloneMediaTypeRecord(copy, broken);
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_STREQ(e.what(), "Assertion failure");
  }
}

TEST(DSUtil, TablesOfTheFreeRoutines) {
  for (auto [bits, width, stride] : {std::tuple{24, 320, 960}, {24, 176, 528}, {24, 161, 484}, {15, 3, 8},
                                     {16, 3, 8}, {32, 7, 28}, {8, 5, 8}}) {
    EXPECT_EQ(DibStride(bits, width), stride) << bits << "x" << width;
  }
  for (auto [linear, attenuation] : {std::pair{0, -10000}, {10000, 0}, {1000, -2499}, {5000, -752}}) {
    EXPECT_EQ(LinearToAttenuation(linear), attenuation) << linear;
  }
  EXPECT_EQ(AttenuationToLinear(-10000), 10000);
  EXPECT_EQ(AttenuationToLinear(0), 0);
  EXPECT_EQ(UnpackTimeCode(0x1234567Bu), (std::array<uint8_t, 9>{1, 2, 3, 4, 5, 6, 7, 2, 3}));
}

TEST(DSUtil, MediaTypesCompareTheirFormatBlocks) {
  TMediaType fresh;
  EXPECT_EQ(fresh.AMMediaType().bFixedSizeSamples, com::TRUE);
  EXPECT_EQ(fresh.AMMediaType().lSampleSize, 1u);
  TMediaType a(testing::Video(MEDIASUBTYPE_RGB24, 320, 240, 24).Get());
  TMediaType b(a);
  EXPECT_TRUE(a.Equal(b));
  b.AMMediaType().pbFormat[52] ^= 1;  // another width, same kinds and lengths
  EXPECT_FALSE(a.Equal(b));
  b.Assign(a);
  EXPECT_TRUE(a.Equal(b));
  b.ResetFormat();
  EXPECT_EQ(b.FormatLength(), 0u);
  EXPECT_FALSE(a.Equal(b));
}

TEST(DSUtil, StreamFormsRoundTripAndRefuseLengthsBeyondTheirBytes) {
  TMediaType written(testing::Video(MEDIASUBTYPE_RGB24, 320, 240, 24).Get());
  std::vector<uint8_t> bytes;
  written.WriteData(bytes);
  ASSERT_EQ(bytes.size(), 72u + 88u);
  EXPECT_EQ(bytes[64], 88);  // cbFormat at byte 64 of the record
  EXPECT_TRUE(std::all_of(bytes.begin() + 60, bytes.begin() + 64, [](uint8_t b) { return b == 0; }));
  TMediaType read;
  EXPECT_EQ(read.ReadData(bytes), bytes.size());
  EXPECT_TRUE(read.Equal(written));
  EXPECT_FALSE(read.HasData(&written));
  EXPECT_TRUE(read.HasData(nullptr));

  // Cut short, or a cbFormat larger than what follows: refused, no block kept.
  for (size_t cut : {size_t{0}, size_t{71}, bytes.size() - 1}) {
    EXPECT_THROW(read.ReadData(std::span(bytes).first(cut)), EReadError) << cut;
    EXPECT_EQ(read.FormatLength(), 0u);
  }
  std::vector<uint8_t> huge = bytes;
  huge[64] = 0xFF, huge[65] = 0xFF, huge[66] = 0xFF, huge[67] = 0x7F;
  EXPECT_THROW(read.ReadData(huge), EReadError);

  TPersistentMemory memory, copy;
  memory.SetSize(3);
  memory.WriteData(bytes = {});
  EXPECT_EQ(bytes, (std::vector<uint8_t>{3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(copy.ReadData(bytes), 7u);
  EXPECT_TRUE(copy.Equal(memory));
  for (std::vector<uint8_t> bad : {std::vector<uint8_t>{4, 0, 0, 0, 1, 2, 3}, std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF},
                                   std::vector<uint8_t>{1, 0}}) {
    EXPECT_THROW(copy.ReadData(bad), EReadError);
  }
}

// A pin whose media types cannot be enumerated.
class MutePin final : public com::ComObject<MutePin, IPin> {
 public:
  HRESULT Disconnect() override { return S_FALSE; }
  HRESULT ConnectedTo(IPin**) override { return VFW_E_NOT_CONNECTED; }
  HRESULT ConnectionMediaType(AM_MEDIA_TYPE*) override { return VFW_E_NOT_CONNECTED; }
  HRESULT QueryDirection(PIN_DIRECTION*) override { return com::E_NOTIMPL; }
  HRESULT QueryFilter(IBaseFilter**) override { return com::E_NOTIMPL; }
  HRESULT EnumMediaTypes(IEnumMediaTypes**) override { return com::E_FAIL; }
};

TEST(DSUtil, MediaTypeListsFromPins) {
  TEnumMediaType list;
  try {
    list.LoadFromPin(nullptr);
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_STREQ(e.what(), "IPin not assigned");
  }
  EXPECT_THROW(list.LoadFromEnum(nullptr), EAssertionFailed);
  list.LoadFromPin(com::MakeComObject<MutePin>().Get());
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.Items(0), std::out_of_range);
}

class DeviceListTest : public testing::CameraFixture {};

// Names are UTF-8 from the driver to the list; a long one loses whole characters only.
TEST_F(DeviceListTest, NamesKeepEveryLetterAndLoseOnlyWholeCharactersWhenCut) {
  const std::string han = "\xE6\x91\x84";     // U+6444, one UTF-16 unit
  const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair
  std::string manyHan, cutHan;
  for (int i = 0; i < 300; ++i) manyHan += han;
  for (int i = 0; i < 255; ++i) cutHan += han;
  const struct {
    std::string name, listed;
  } cases[] = {
      {"Kamera f\xC3\xBCr \xC3\x9C / \xE2\x82\xAC / " + han, "Kamera f\xC3\xBCr \xC3\x9C / \xE2\x82\xAC / " + han},
      {manyHan, cutHan},
      {std::string(254, 'x') + smile, std::string(254, 'x')},
      {std::string(253, 'x') + smile, std::string(253, 'x') + smile},
  };
  for (const auto& c : cases) {
    UseCameras({testing::Camera(c.name, {}, "synthetic:0")});
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    ASSERT_EQ(devices.FilterCount(), 1);
    EXPECT_EQ(devices.FilterRecord(0).FriendlyName, c.listed) << c.name.size();
  }
}

TEST_F(DeviceListTest, ListsNamesAndMonikersOfTheCategory) {
  const std::string longName(300, 'x');
  UseCameras({testing::Camera("first", {}), testing::Camera(longName, {})});
  TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
  ASSERT_EQ(devices.FilterCount(), 2);
  EXPECT_EQ(devices.FilterRecord(0).FriendlyName, "first");
  EXPECT_NE(devices.FilterRecord(0).CLSID, GUID{});
  EXPECT_EQ(devices.FilterRecord(1).FriendlyName, std::string(255, 'x'));
  EXPECT_THROW(devices.FilterRecord(2), std::out_of_range);
  EXPECT_EQ(devices.CategoryRecord(0).CLSID, CLSID_VideoInputDeviceCategory);
  EXPECT_FALSE(devices.MonikerAt(2));
  EXPECT_FALSE(devices.MonikerAt(-1));

  // A moniker kept as bytes binds a new filter each time.
  TBaseFilter stored;
  stored.StoreMoniker(devices.MonikerAt(1).Get());
  EXPECT_GT(stored.Size(), 0);
  ComPtr<IBaseFilter> one = stored.BindFilter();
  ComPtr<IBaseFilter> two = stored.BindFilter();
  ASSERT_TRUE(one && two);
  EXPECT_NE(one, two);
  EXPECT_EQ(TPinList(one.Get()).Count(), 1);
  TBaseFilter copy;
  copy.Assign(stored);
  EXPECT_TRUE(copy.Equal(stored));
  stored.StoreMoniker(nullptr);
  EXPECT_EQ(stored.Size(), 0);
  EXPECT_FALSE(stored.BindFilter());
  EXPECT_FALSE(stored.Equal(stored));  // an empty block equals nothing

  UseCameras({});
  devices.SelectCategory(CLSID_VideoInputDeviceCategory);
  EXPECT_EQ(devices.FilterCount(), 0);
  EXPECT_FALSE(devices.MonikerAt(0));
}

}  // namespace
}  // namespace tw::dskit
