// The media-graph layer that the capture form and its graph components call:
// media types with their video format blocks, the interfaces of filters, pins,
// the filter graph manager, the capture graph builder, the sample grabber, the
// video renderer's window and the system device enumerator, and the error
// texts of the layer's HRESULTs.
//
// The objects behind these interfaces live in this module and are created
// with com::CoCreateInstance by class id (the module registers its classes in
// the process when the platform library loads). Interfaces carry only the
// members the graph components use; everything runs in process.
//
// 64-bit layout. The format blocks contain no pointers and keep the byte
// offsets that readers of the blocks rely on (see the static_asserts below):
// VIDEOINFOHEADER is 88 bytes, AvgTimePerFrame at 40, the BITMAPINFOHEADER at
// 48 (biWidth 52, biHeight 56); VIDEOINFOHEADER2 is 112 bytes, the header at
// 72 (biWidth 76, biHeight 80). AM_MEDIA_TYPE holds two pointers, so on this
// build it is 88 bytes rather than 72: GUIDs and the three 32-bit fields keep
// offsets 0..59, pUnk moves to 64 (after 4 bytes of padding), cbFormat to 72
// and pbFormat to 80. Nothing stores the record itself; format blocks are
// compared and copied by cbFormat.
//
// Ownership: interface pointers handed out through out-parameters carry one
// reference. A media type's format block is task memory (CoTaskMemAlloc):
// whoever receives a filled AM_MEDIA_TYPE frees its block (FreeMediaType).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace tw::dshow {

using com::BOOL;
using com::BYTE;
using com::ComPtr;
using com::DWORD;
using com::FAILED;
using com::GUID;
using com::HRESULT;
using com::IUnknown;
using com::LONG;
using com::S_FALSE;
using com::S_OK;
using com::SUCCEEDED;
using com::ULONG;
using com::WORD;
using REFERENCE_TIME = int64_t;  // units of 100 ns
using LONG_PTR = intptr_t;       // event parameters are pointer-sized
using OAHWND = intptr_t;
using OAEVENT = intptr_t;

// ---- Identities -----------------------------------------------------------

inline constexpr GUID MEDIATYPE_Video{0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID MEDIASUBTYPE_RGB8{0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB565{0xE436EB7B, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB555{0xE436EB7C, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB24{0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB32{0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_YUY2{0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID MEDIASUBTYPE_MJPG{0x47504A4D, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID FORMAT_VideoInfo{0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID FORMAT_VideoInfo2{0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID PIN_CATEGORY_CAPTURE{
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID PIN_CATEGORY_PREVIEW{
    0xFB6C4282, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

inline constexpr GUID CLSID_SystemDeviceEnum{
    0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr GUID CLSID_VideoInputDeviceCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr GUID CLSID_ActiveMovieCategories{
    0xDA4E3DA0, 0xD07D, 0x11D0, {0xBD, 0x50, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr GUID CLSID_FilterGraph{0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID CLSID_CaptureGraphBuilder2{
    0xBF87B6E1, 0x8C27, 0x11D0, {0xB3, 0xF0, 0x00, 0xAA, 0x00, 0x37, 0x61, 0xC5}};
inline constexpr GUID CLSID_SampleGrabber{0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline constexpr GUID CLSID_VideoRenderer{0x70E102B0, 0x5556, 0x11CE, {0x97, 0xC0, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID CLSID_VideoMixingRenderer9{
    0x51B4ABF3, 0x748F, 0x4E3B, {0xA2, 0x76, 0xC8, 0x28, 0x33, 0x0E, 0x92, 0x6A}};
inline constexpr GUID MEDIATYPE_Audio{0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// The audio renderer: takes audio and answers IBasicAudio (it plays nothing).
inline constexpr GUID CLSID_DSoundRender{0x79376820, 0x07D0, 0x11CF, {0xA2, 0x4D, 0x00, 0x20, 0xAF, 0xD7, 0x97, 0x67}};
// The disc navigator's graph builder. No disc drive is read: its navigator
// reports "no disc" for every question about the disc.
inline constexpr GUID CLSID_DvdGraphBuilder{
    0xFCC152B7, 0xF372, 0x11D0, {0x8E, 0x00, 0x00, 0xC0, 0x4F, 0xD7, 0xC0, 0x8B}};
// The converter that RenderStream inserts; class of this layer.
inline constexpr GUID CLSID_ColourConverter{
    0x6A1B7C20, 0x3E55, 0x4B8E, {0x9A, 0x3D, 0x51, 0x0C, 0x7E, 0x21, 0x44, 0x90}};

// ---- HRESULTs of the layer ---------------------------------------------------

constexpr HRESULT VFW_E_NOT_CONNECTED = static_cast<HRESULT>(0x80040209);
constexpr HRESULT VFW_E_ALREADY_CONNECTED = static_cast<HRESULT>(0x80040204);
constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = static_cast<HRESULT>(0x80040207);
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = static_cast<HRESULT>(0x80040200);
constexpr HRESULT VFW_E_NOT_STOPPED = static_cast<HRESULT>(0x80040224);
constexpr HRESULT VFW_E_WRONG_STATE = static_cast<HRESULT>(0x80040227);
constexpr HRESULT VFW_E_CANNOT_CONNECT = static_cast<HRESULT>(0x80040217);
constexpr HRESULT VFW_E_NOT_IN_GRAPH = static_cast<HRESULT>(0x8004025F);
constexpr HRESULT VFW_E_NO_CAPTURE_HARDWARE = static_cast<HRESULT>(0x80040258);
constexpr HRESULT VFW_E_DEVICE_LOST = static_cast<HRESULT>(0x80040283);
constexpr HRESULT VFW_E_BUFFER_NOTSET = static_cast<HRESULT>(0x8004020C);
constexpr HRESULT VFW_E_NO_INTERFACE = static_cast<HRESULT>(0x80040255);
constexpr HRESULT VFW_S_STATE_INTERMEDIATE = 0x00040237;
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006);
constexpr HRESULT VFW_E_DVD_NO_DISC = static_cast<HRESULT>(0x80040291);  // the navigator found no disc
constexpr HRESULT MK_E_UNAVAILABLE = static_cast<HRESULT>(0x800401E3);

// The layer's text for an HRESULT, as the error-text call gives it: at most
// `maxLength` - 1 characters written, always terminated; the number of
// characters written (0 only when the buffer is too small to hold anything).
DWORD AMGetErrorTextA(HRESULT hr, char* buffer, DWORD maxLength);

// ---- Task memory and media types -------------------------------------------

void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* block);

struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;
};
static_assert(offsetof(AM_MEDIA_TYPE, formattype) == 44);
static_assert(offsetof(AM_MEDIA_TYPE, pUnk) == 64 && offsetof(AM_MEDIA_TYPE, cbFormat) == 72);
static_assert(offsetof(AM_MEDIA_TYPE, pbFormat) == 80 && sizeof(AM_MEDIA_TYPE) == 88);

struct RECT {
  LONG left, top, right, bottom;
};

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // negative: rows top-down
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  BITMAPINFOHEADER bmiHeader;
};
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40 && offsetof(VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(VIDEOINFOHEADER) == 88);

struct VIDEOINFOHEADER2 {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  DWORD dwInterlaceFlags;
  DWORD dwCopyProtectFlags;
  DWORD dwPictAspectRatioX;
  DWORD dwPictAspectRatioY;
  DWORD dwControlFlags;
  DWORD dwReserved2;
  BITMAPINFOHEADER bmiHeader;
};
static_assert(offsetof(VIDEOINFOHEADER2, AvgTimePerFrame) == 40 && offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);
static_assert(sizeof(VIDEOINFOHEADER2) == 112);

constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_BITFIELDS = 3;

// Frees the format block and the pUnk reference of `mt` (not `mt` itself) and
// leaves cbFormat 0, pbFormat and pUnk null.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// Deep copy of `source` into `target` (which holds nothing): a new format block.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
// FreeMediaType, then the record itself (task memory).
void DeleteMediaType(AM_MEDIA_TYPE* mt);

// The bitmap header of a VideoInfo or VideoInfo2 block of at least its size; null otherwise.
const BITMAPINFOHEADER* VideoHeaderOf(const AM_MEDIA_TYPE& mt);
BITMAPINFOHEADER* VideoHeaderOf(AM_MEDIA_TYPE& mt);

// A video media type owned by C++ code: the record with its format block.
class MediaType {
 public:
  MediaType();
  explicit MediaType(const AM_MEDIA_TYPE& from);
  MediaType(const MediaType& other);
  MediaType& operator=(const MediaType& other);
  ~MediaType();
  const AM_MEDIA_TYPE& Get() const { return mt_; }
  AM_MEDIA_TYPE& Get() { return mt_; }

  // An uncompressed (or YUYV) VideoInfo type of `width` x `height` at
  // `bits` per pixel; a negative height makes it top-down.
  static MediaType Video(const GUID& subtype, int width, int height, int bits, REFERENCE_TIME frameTime,
                         bool videoInfo2 = false);

 private:
  AM_MEDIA_TYPE mt_;
};

// ---- Interfaces --------------------------------------------------------------

enum FILTER_STATE : int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION : int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

class IPin;
class IBaseFilter;
class IFilterGraph;
class IMoniker;

class IEnumMediaTypes : public IUnknown {
 public:
  static constexpr GUID kIid{0x89C31040, 0x846B, 0x11CE, {0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
  using Base = IUnknown;
  // Each type received is a task-memory record the receiver frees (DeleteMediaType).
  virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumMediaTypes() = default;
};

class IPin : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A86891, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT Disconnect() = 0;  // S_FALSE when not connected
  virtual HRESULT ConnectedTo(IPin** pin) = 0;
  virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) = 0;
  virtual HRESULT QueryDirection(PIN_DIRECTION* direction) = 0;
  virtual HRESULT QueryFilter(IBaseFilter** filter) = 0;
  virtual HRESULT EnumMediaTypes(IEnumMediaTypes** types) = 0;

 protected:
  ~IPin() = default;
};

class IEnumPins : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A86892, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumPins() = default;
};

// What a filter tells of itself: the name it was added under and its graph
// (one reference, null outside a graph).
struct FILTER_INFO {
  char16_t achName[128];
  IFilterGraph* pGraph;
};

class IBaseFilter : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT GetClassID(GUID* clsid) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Run(REFERENCE_TIME start) = 0;
  virtual HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) = 0;
  virtual HRESULT EnumPins(IEnumPins** pins) = 0;
  // Called by the graph when the filter is added (graph given) or removed (null).
  virtual HRESULT JoinFilterGraph(IFilterGraph* graph, const char16_t* name) = 0;
  virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;

 protected:
  ~IBaseFilter() = default;
};

class IEnumFilters : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A86893, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumFilters() = default;
};

class IFilterGraph : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A8689F, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT AddFilter(IBaseFilter* filter, const char16_t* name) = 0;
  virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
  virtual HRESULT EnumFilters(IEnumFilters** filters) = 0;
  // Connects an output pin to an input pin with exactly `mt` (or any type both accept).
  virtual HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) = 0;

 protected:
  ~IFilterGraph() = default;
};

class IFilterGraph2 : public IFilterGraph {
 public:
  static constexpr GUID kIid{0x36B73882, 0xC2C8, 0x11CF, {0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60}};
  using Base = IFilterGraph;
  // Connects `out` to `in`, inserting a colour converter when no type suits both.
  virtual HRESULT Connect(IPin* out, IPin* in) = 0;
  // The graph's log: `file` is the address of an open files::TFile that
  // outlives its use (the caller owns it), 0 switches the log off. The graph
  // writes one line for each filter added or removed, connection made or
  // refused, run and stop. E_HANDLE for a file that is not open.
  virtual HRESULT SetLogFile(uintptr_t file) = 0;

 protected:
  ~IFilterGraph2() = default;
};

class IMediaControl : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A868B1, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT Run() = 0;
  virtual HRESULT Pause() = 0;
  // Returns once every source has stopped delivering (its streaming thread
  // joined). Called from a streaming thread it refuses with VFW_E_WRONG_STATE.
  virtual HRESULT Stop() = 0;
  virtual HRESULT GetState(LONG timeoutMs, FILTER_STATE* state) = 0;

 protected:
  ~IMediaControl() = default;
};

// Graph event codes (the layer itself raises EC_COMPLETE, EC_ERRORABORT and
// EC_DEVICE_LOST); the disc navigator's lie in EC_DVD_FIRST .. EC_DVD_LAST.
constexpr LONG EC_COMPLETE = 1;
constexpr LONG EC_USERABORT = 2;
constexpr LONG EC_ERRORABORT = 3;
constexpr LONG EC_STREAM_ERROR_STOPPED = 6;
constexpr LONG EC_STREAM_ERROR_STILLPLAYING = 7;
constexpr LONG EC_ERROR_STILLPLAYING = 8;
constexpr LONG EC_PALETTE_CHANGED = 9;
constexpr LONG EC_VIDEO_SIZE_CHANGED = 10;
constexpr LONG EC_QUALITY_CHANGE = 11;
constexpr LONG EC_CLOCK_CHANGED = 13;
constexpr LONG EC_PAUSED = 14;
constexpr LONG EC_OPENING_FILE = 16;
constexpr LONG EC_BUFFERING_DATA = 17;
constexpr LONG EC_FULLSCREEN_LOST = 18;
constexpr LONG EC_OLE_EVENT = 24;
constexpr LONG EC_STREAM_CONTROL_STOPPED = 26;
constexpr LONG EC_STREAM_CONTROL_STARTED = 27;
constexpr LONG EC_END_OF_SEGMENT = 28;
constexpr LONG EC_DEVICE_LOST = 31;
constexpr LONG EC_STEP_COMPLETE = 36;
constexpr LONG EC_TIMECODE_AVAILABLE = 48;
constexpr LONG EC_EXTDEVICE_MODE_CHANGE = 49;
constexpr LONG EC_GRAPH_CHANGED = 80;
constexpr LONG EC_CLOCK_UNSET = 81;
constexpr LONG EC_VMR_RENDERDEVICE_SET = 83;
constexpr LONG EC_SNDDEV_IN_ERROR = 512;
constexpr LONG EC_SNDDEV_OUT_ERROR = 513;
constexpr LONG EC_DVD_DOMAIN_CHANGE = 257;
constexpr LONG EC_DVD_TITLE_CHANGE = 258;
constexpr LONG EC_DVD_CHAPTER_START = 259;
constexpr LONG EC_DVD_AUDIO_STREAM_CHANGE = 260;
constexpr LONG EC_DVD_SUBPICTURE_STREAM_CHANGE = 261;
constexpr LONG EC_DVD_ANGLE_CHANGE = 262;
constexpr LONG EC_DVD_BUTTON_CHANGE = 263;
constexpr LONG EC_DVD_VALID_UOPS_CHANGE = 264;
constexpr LONG EC_DVD_STILL_ON = 265;
constexpr LONG EC_DVD_STILL_OFF = 266;
constexpr LONG EC_DVD_CURRENT_TIME = 267;
constexpr LONG EC_DVD_ERROR = 268;
constexpr LONG EC_DVD_WARNING = 269;
constexpr LONG EC_DVD_CHAPTER_AUTOSTOP = 270;
constexpr LONG EC_DVD_NO_FP_PGC = 271;
constexpr LONG EC_DVD_PLAYBACK_RATE_CHANGE = 272;
constexpr LONG EC_DVD_PARENTAL_LEVEL_CHANGE = 273;
constexpr LONG EC_DVD_PLAYBACK_STOPPED = 274;
constexpr LONG EC_DVD_ANGLES_AVAILABLE = 275;
constexpr LONG EC_DVD_PLAYPERIOD_AUTOSTOP = 276;
constexpr LONG EC_DVD_BUTTON_AUTO_ACTIVATED = 277;
constexpr LONG EC_DVD_CMD_START = 278;
constexpr LONG EC_DVD_CMD_END = 279;
constexpr LONG EC_DVD_DISC_EJECTED = 280;
constexpr LONG EC_DVD_DISC_INSERTED = 281;
constexpr LONG EC_DVD_CURRENT_HMSF_TIME = 282;
constexpr LONG EC_DVD_KARAOKE_MODE = 283;
constexpr LONG EC_DVD_FIRST = EC_DVD_DOMAIN_CHANGE;
constexpr LONG EC_DVD_LAST = EC_DVD_KARAOKE_MODE;
constexpr LONG AM_MEDIAEVENT_NONOTIFY = 1;

class IMediaEventEx : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A868C0, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  // S_OK with the oldest event, E_ABORT when none arrives within the timeout.
  virtual HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) = 0;
  // Releases what an event's parameters hold (EC_DEVICE_LOST: the device's IUnknown).
  virtual HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;
  // Posts `message` (wParam 0, lParam `instance`) to the window whenever an event is queued.
  virtual HRESULT SetNotifyWindow(OAHWND window, LONG message, LONG_PTR instance) = 0;
  virtual HRESULT SetNotifyFlags(LONG flags) = 0;

 protected:
  ~IMediaEventEx() = default;
};

// What a filter calls to raise a graph event (the graph implements it).
class IMediaEventSink : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A868A2, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

 protected:
  ~IMediaEventSink() = default;
};

class ICaptureGraphBuilder2 : public IUnknown {
 public:
  static constexpr GUID kIid{0x93E5A4E0, 0x2D50, 0x11D2, {0xAB, 0xFA, 0x00, 0xA0, 0xC9, 0xC6, 0xE3, 0x8D}};
  using Base = IUnknown;
  virtual HRESULT SetFiltergraph(IFilterGraph2* graph) = 0;
  virtual HRESULT GetFiltergraph(IFilterGraph2** graph) = 0;
  // Connects the source's first unconnected output pin of `category` (any
  // category when null) through `intermediate` (may be null) to `sink` (may
  // be null), each hop through IFilterGraph2::Connect.
  virtual HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source, IBaseFilter* intermediate,
                               IBaseFilter* sink) = 0;

 protected:
  ~ICaptureGraphBuilder2() = default;
};

class IAMStreamConfig : public IUnknown {
 public:
  static constexpr GUID kIid{0xC6E13340, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
  using Base = IUnknown;
  // The pin's format from now on; one of its enumerated types (size and
  // subtype), the frame time taken from the block. Not while connected.
  virtual HRESULT SetFormat(const AM_MEDIA_TYPE* mt) = 0;
  virtual HRESULT GetFormat(AM_MEDIA_TYPE** mt) = 0;

 protected:
  ~IAMStreamConfig() = default;
};

class ISampleGrabberCB : public IUnknown {
 public:
  static constexpr GUID kIid{0x0579154A, 0x2B53, 0x4994, {0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85}};
  using Base = IUnknown;
  virtual HRESULT SampleCB(double sampleTime, IUnknown* sample) = 0;
  virtual HRESULT BufferCB(double sampleTime, BYTE* buffer, LONG length) = 0;

 protected:
  ~ISampleGrabberCB() = default;
};

class ISampleGrabber : public IUnknown {
 public:
  static constexpr GUID kIid{0x6B652FFF, 0x11FE, 0x4FCE, {0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7, 0xC7, 0x8F}};
  using Base = IUnknown;
  virtual HRESULT SetOneShot(BOOL oneShot) = 0;
  // The type the input accepts: major type, and subtype and format type unless GUID_NULL.
  virtual HRESULT SetMediaType(const AM_MEDIA_TYPE* mt) = 0;
  virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) = 0;
  virtual HRESULT SetBufferSamples(BOOL buffer) = 0;
  // With a null buffer: the size of the last buffered sample into *size.
  virtual HRESULT GetCurrentBuffer(LONG* size, LONG* buffer) = 0;
  // which: 0 SampleCB, 1 BufferCB. Calls come on the streaming thread.
  virtual HRESULT SetCallback(ISampleGrabberCB* callback, LONG which) = 0;

 protected:
  ~ISampleGrabber() = default;
};

class IVideoWindow : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A868B4, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT put_Caption(const char16_t* caption) = 0;
  virtual HRESULT put_WindowStyle(LONG style) = 0;
  virtual HRESULT put_WindowStyleEx(LONG style) = 0;
  virtual HRESULT put_Visible(LONG visible) = 0;
  virtual HRESULT put_Owner(OAHWND owner) = 0;
  virtual HRESULT put_MessageDrain(OAHWND drain) = 0;
  virtual HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) = 0;

 protected:
  ~IVideoWindow() = default;
};

// The calls a video renderer's window received, in order ("put_Owner 7", ...),
// for tests of the component that places it.
class IVideoWindowLog : public IUnknown {
 public:
  static constexpr GUID kIid{0x2C51E9A4, 0x7F06, 0x4B3B, {0x8E, 0x1D, 0x6A, 0x0F, 0x35, 0x92, 0xC4, 0x11}};
  using Base = IUnknown;
  virtual std::vector<std::string> Calls() = 0;
  virtual uint64_t FramesRendered() = 0;

 protected:
  ~IVideoWindowLog() = default;
};

class IBasicAudio : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A868B3, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  // Hundredths of a decibel, -10000 (silence) .. 0; E_INVALIDARG outside.
  virtual HRESULT put_Volume(LONG volume) = 0;
  virtual HRESULT get_Volume(LONG* volume) = 0;
  // -10000 (left only) .. 10000 (right only); E_INVALIDARG outside.
  virtual HRESULT put_Balance(LONG balance) = 0;
  virtual HRESULT get_Balance(LONG* balance) = 0;

 protected:
  ~IBasicAudio() = default;
};

// ---- The mixing renderer ---------------------------------------------------------
//
// It renders nothing: it keeps and records (IVideoWindowLog) what it is told.
// IVideoWindow is offered in windowed mode only, IVMRWindowlessControl9 in
// windowless mode only.

constexpr DWORD VMR9Mode_Windowed = 1;
constexpr DWORD VMR9Mode_Windowless = 2;
constexpr DWORD VMR9Mode_Renderless = 4;
// The rendering preferences this renderer keeps (the others are dropped).
constexpr DWORD kVmr9PrefsMask = 0x3B;
constexpr DWORD VMR9ARMode_None = 0;
constexpr DWORD VMR9ARMode_LetterBox = 1;

class IVMRFilterConfig9 : public IUnknown {
 public:
  static constexpr GUID kIid{0x5A804648, 0x4F66, 0x4867, {0x9C, 0x43, 0x4F, 0x5C, 0x82, 0x2C, 0xF1, 0xB8}};
  using Base = IUnknown;
  // 1..16 inputs, before any pin is connected.
  virtual HRESULT SetNumberOfStreams(DWORD streams) = 0;
  virtual HRESULT GetNumberOfStreams(DWORD* streams) = 0;
  virtual HRESULT SetRenderingPrefs(DWORD prefs) = 0;
  virtual HRESULT GetRenderingPrefs(DWORD* prefs) = 0;
  // Once, before any pin is connected: VMR9Mode_Windowed, _Windowless or _Renderless.
  virtual HRESULT SetRenderingMode(DWORD mode) = 0;
  virtual HRESULT GetRenderingMode(DWORD* mode) = 0;

 protected:
  ~IVMRFilterConfig9() = default;
};

class IVMRWindowlessControl9 : public IUnknown {
 public:
  static constexpr GUID kIid{0x8F537D09, 0xF85E, 0x4414, {0xB2, 0x3B, 0x50, 0x2E, 0x54, 0xC7, 0x99, 0x27}};
  using Base = IUnknown;
  virtual HRESULT SetVideoPosition(const RECT* source, const RECT* destination) = 0;
  virtual HRESULT SetVideoClippingWindow(OAHWND window) = 0;

 protected:
  ~IVMRWindowlessControl9() = default;
};

class IVMRAspectRatioControl9 : public IUnknown {
 public:
  static constexpr GUID kIid{0x00D96C29, 0xBBDE, 0x4EFC, {0x99, 0x01, 0xBB, 0x50, 0x36, 0x39, 0x21, 0x46}};
  using Base = IUnknown;
  virtual HRESULT SetAspectRatioMode(DWORD mode) = 0;
  virtual HRESULT GetAspectRatioMode(DWORD* mode) = 0;

 protected:
  ~IVMRAspectRatioControl9() = default;
};

// ---- Graph builder callbacks -----------------------------------------------------
//
// The graph manager's site (IObjectWithSite) may offer these. While the
// graph connects two pins through a filter it has to insert, it asks the
// site about the filter's moniker (SelectedFilter) and about the new filter
// (CreatedFilter); a failure of either keeps the filter out. When it cannot
// connect an output pin it asks UnableToRender, and tries once more when the
// site answers S_OK. The graph's IServiceProvider forwards to the site's.

class IObjectWithSite : public IUnknown {
 public:
  static constexpr GUID kIid{0xFC4801A3, 0x2BA9, 0x11CF, {0xA2, 0x29, 0x00, 0xAA, 0x00, 0x3D, 0x73, 0x52}};
  using Base = IUnknown;
  virtual HRESULT SetSite(IUnknown* site) = 0;  // null: no site

 protected:
  ~IObjectWithSite() = default;
};

class IServiceProvider : public IUnknown {
 public:
  static constexpr GUID kIid{0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
  using Base = IUnknown;
  virtual HRESULT QueryService(const GUID& service, const GUID& iid, void** object) = 0;

 protected:
  ~IServiceProvider() = default;
};

class IAMGraphBuilderCallback : public IUnknown {
 public:
  static constexpr GUID kIid{0x4995F511, 0x9DDB, 0x4F12, {0xBD, 0x3B, 0xF0, 0x46, 0x11, 0x80, 0x7B, 0x79}};
  using Base = IUnknown;
  virtual HRESULT SelectedFilter(IMoniker* moniker) = 0;
  virtual HRESULT CreatedFilter(IBaseFilter* filter) = 0;

 protected:
  ~IAMGraphBuilderCallback() = default;
};

class IAMFilterGraphCallback : public IUnknown {
 public:
  static constexpr GUID kIid{0x56A868FD, 0x0AD4, 0x11CE, {0xB0, 0xA3, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  using Base = IUnknown;
  virtual HRESULT UnableToRender(IPin* pin) = 0;

 protected:
  ~IAMFilterGraphCallback() = default;
};

// ---- The disc navigator ------------------------------------------------------------

class IDvdGraphBuilder : public IUnknown {
 public:
  static constexpr GUID kIid{0xFCC152B6, 0xF372, 0x11D0, {0x8E, 0x00, 0x00, 0xC0, 0x4F, 0xD7, 0xC0, 0x8B}};
  using Base = IUnknown;
  // The graph manager the builder made (one reference).
  virtual HRESULT GetFiltergraph(IFilterGraph2** graph) = 0;
  // An interface of the navigator (IDvdInfo2) or of its renderers.
  virtual HRESULT GetDvdInterface(const GUID& iid, void** object) = 0;

 protected:
  ~IDvdGraphBuilder() = default;
};

class IDvdInfo2 : public IUnknown {
 public:
  static constexpr GUID kIid{0x34151510, 0xEEC0, 0x11D2, {0x82, 0x01, 0x00, 0xA0, 0xC9, 0xD7, 0x48, 0x42}};
  using Base = IUnknown;
  // The language (LCID) of an audio or subpicture stream of the disc.
  virtual HRESULT GetAudioLanguage(ULONG stream, DWORD* language) = 0;
  virtual HRESULT GetSubpictureLanguage(ULONG stream, DWORD* language) = 0;

 protected:
  ~IDvdInfo2() = default;
};

// The English name of a language id's language ("English" for 0x0409), as
// the locale call gives it; empty for an id the layer does not know.
std::string EnglishLanguageName(DWORD lcid);

// ---- Device enumeration --------------------------------------------------------

class IPropertyBag : public IUnknown {
 public:
  static constexpr GUID kIid{0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
  using Base = IUnknown;
  // VT_BSTR values; E_INVALIDARG for a name the bag does not hold.
  virtual HRESULT Read(const char16_t* name, com::VARIANT* value, void* errorLog) = 0;

 protected:
  ~IPropertyBag() = default;
};

class IMoniker : public IUnknown {
 public:
  static constexpr GUID kIid{0x0000000F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;
  // A new object of what the moniker names (a new filter instance for IBaseFilter).
  virtual HRESULT BindToObject(void* bindContext, IMoniker* left, const GUID& iid, void** object) = 0;
  virtual HRESULT BindToStorage(void* bindContext, IMoniker* left, const GUID& iid, void** object) = 0;
  // The moniker's name, from which MonikerFromDisplayName makes it again.
  virtual HRESULT GetDisplayName(std::string* name) = 0;

 protected:
  ~IMoniker() = default;
};

class IEnumMoniker : public IUnknown {
 public:
  static constexpr GUID kIid{0x00000102, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;
  virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumMoniker() = default;
};

class ICreateDevEnum : public IUnknown {
 public:
  static constexpr GUID kIid{0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
  using Base = IUnknown;
  // S_FALSE (and no enumerator) for a category without devices.
  virtual HRESULT CreateClassEnumerator(const GUID& category, IEnumMoniker** monikers, DWORD flags) = 0;

 protected:
  ~ICreateDevEnum() = default;
};

// ---- Running objects ---------------------------------------------------------------
//
// A process-wide table of objects published under a moniker's display name,
// so that a viewer can find them. Registering holds a reference to the object
// until the registration is revoked.

class IRunningObjectTable : public IUnknown {
 public:
  static constexpr GUID kIid{0x00000010, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;
  // S_OK with a new cookie; E_INVALIDARG for a name already published.
  virtual HRESULT Register(DWORD flags, IUnknown* object, IMoniker* name, DWORD* cookie) = 0;
  // E_INVALIDARG for a cookie that names no registration.
  virtual HRESULT Revoke(DWORD cookie) = 0;
  // MK_E_UNAVAILABLE when nothing is published under the moniker's name.
  virtual HRESULT GetObject(IMoniker* name, IUnknown** object) = 0;
  // The display names of what is published, in registration order.
  virtual HRESULT EnumRunningNames(std::vector<std::string>* names) = 0;

 protected:
  ~IRunningObjectTable() = default;
};

HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** table);
// A moniker whose display name is `delimiter` followed by `item` (UTF-8).
// Binding it finds the object published under that name.
HRESULT CreateItemMoniker(const char16_t* delimiter, const char16_t* item, IMoniker** moniker);
DWORD GetCurrentProcessId();

// The byte form of a moniker (what an OLE stream would hold) and back. Only
// the round trip within one process is promised.
HRESULT SaveMonikerToBytes(IMoniker* moniker, std::vector<uint8_t>* bytes);
HRESULT LoadMonikerFromBytes(const std::vector<uint8_t>& bytes, IMoniker** moniker);

// Withdraws (false) or restores (true) the process registration of one of
// the layer's classes, so a test can show a machine without it. False when
// the class is not one of the layer's.
bool SetClassRegistered(const GUID& clsid, bool registered);

// True on a camera's streaming thread (where samples travel through the graph).
bool OnStreamingThread();

// ---- Reports that a program would show in a message box ------------------------------

// A control library never opens a message box: reports go to this hook,
// which writes them to stderr until a host installs its own. Returns the
// previous hook. Thread-safe.
using ReportHook = void (*)(const std::string& text);
ReportHook SetReportHook(ReportHook hook);
void ReportError(const std::string& text);

}  // namespace tw::dshow
