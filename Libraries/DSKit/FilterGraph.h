// TFilterGraph: owns one filter graph and its builder (plain, capture or disc
// navigation), answers the builder's questions through its handlers, can
// publish the graph and keep its log, and turns the graph's events into its
// own. The components that contribute a filter to it implement
// IGraphComponent; those that follow its events, IGraphEventSink.
//
// Ownership: the creator frees each component. A graph holds the components
// attached to it by reference only and tells them when it goes away; a
// component detaches itself when it is destroyed. Everything but the frame
// event runs on the thread that created the graph.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Libraries/DSKit/DSUtil.h"
#include "platform/files/files.h"
#include "platform/win32/messages.h"
#include "platform/win32/window.h"

namespace tw::dskit {

class TFilterGraph;

using com::LONG;
using dshow::LONG_PTR;

// A broken rule of the graph components ("Allocator class not set.").
class EDSKitException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a component reports a failure it caught and kept from its caller (a
// handler that raised, a teardown step that failed): "<component>.<step>: <what>".
using TFailureReport = std::function<void(const std::string& text)>;

// Life-cycle notices a graph sends its components.
enum TFilterOperation : int { foAdding = 0, foAdded = 1, foRemoving = 2, foRemoved = 3, foRefresh = 4 };

class IGraphComponent {
 public:
  virtual ComPtr<IBaseFilter> GetFilter() = 0;
  virtual std::string GetName() = 0;
  virtual void NotifyFilter(int operation, int param) = 0;
  // The graph the component is attached to is being destroyed: forget it.
  virtual void GraphDestroyed(TFilterGraph& graph) = 0;

 protected:
  ~IGraphComponent() = default;
};

class IGraphEventSink {
 public:
  virtual void HandleGraphEvent(LONG event, LONG_PTR param1, LONG_PTR param2) = 0;
  // 0 about to run, 2 about to stop, 7 activity (1 after activation, 0 before deactivation).
  virtual void HandleControlEvent(int event, int param) = 0;
  virtual void GraphDestroyed(TFilterGraph& graph) = 0;

 protected:
  ~IGraphEventSink() = default;
};

enum TGraphMode : int { gmNormal = 0, gmCapture = 1, gmDVD = 2 };

// A disc time code, its BCD digits decoded; frameRate 25, 30, or 0 when unknown.
struct TDVDTimeCode {
  int hours = 0, minutes = 0, seconds = 0, frames = 0, frameRate = 0;
  friend bool operator==(const TDVDTimeCode&, const TDVDTimeCode&) = default;
};
// Hours, minutes, seconds and frames as plain numbers, one byte each from the lowest.
struct TDVDHMSFTimeCode {
  uint8_t hours = 0, minutes = 0, seconds = 0, frames = 0;
  friend bool operator==(const TDVDHMSFTimeCode&, const TDVDHMSFTimeCode&) = default;
};

// The service id through which a graph's site answers with the component
// that owns the graph (see OnUnableToRender).
inline constexpr GUID kGraphComponentService{
    0x5D2C8E41, 0x9B07, 0x4A36, {0x8F, 0x12, 0x6E, 0x44, 0x0B, 0xC9, 0x71, 0x3D}};

class TFilterGraph {
 public:
  TFilterGraph();
  virtual ~TFilterGraph();
  TFilterGraph(const TFilterGraph&) = delete;
  TFilterGraph& operator=(const TFilterGraph&) = delete;

  bool Active() const { return active_; }
  // Activation raises EDirectShowException when the graph objects cannot be
  // made, and leaves the component inactive.
  void SetActive(bool active);
  // Activate after loading from a stored description (see Loaded).
  bool AutoCreate = false;
  // The stored description has been read: activates when AutoCreate is set.
  void Loaded();
  TGraphMode Mode() const { return mode_; }
  void SetMode(TGraphMode mode);

  // The graph objects' interfaces (capture builder first in gmCapture, then
  // the graph manager); E_NOINTERFACE while inactive.
  HRESULT QueryInterface(const GUID& iid, void** object);
  template <class I>
  ComPtr<I> As() {
    ComPtr<I> p;
    QueryInterface(I::kIid, p.OutVoid());
    return p;
  }

  void AttachComponent(IGraphComponent& component);
  void DetachComponent(IGraphComponent& component);
  void AttachEventSink(IGraphEventSink& sink);
  void DetachEventSink(IGraphEventSink& sink);
  void BroadcastControlEvent(int event, int param);

  bool RunGraph();
  bool StopGraph();
  void ResetGraph();
  void DisconnectAllPins();

  // Publish the active graph in the running object table for graph viewers.
  bool GraphEdit() const { return graphEdit_; }
  void SetGraphEdit(bool publish);
  uint32_t RotCookie() const { return rotCookie_; }

  // The graph's log file. While active, writing it closes the old log and
  // creates (or empties) the new one; a file that cannot be created leaves
  // the log off and the name as it was, silently.
  const std::string& LogFile() const { return logFile_; }
  void SetLogFile(const std::string& name);

  // Volume 0..10000 and balance -10000..10000, handed to the graph's audio
  // renderers when written (mapped logarithmically while LinearVolume).
  int32_t Volume() const { return volume_; }
  void SetVolume(int32_t volume);
  int32_t Balance() const { return balance_; }
  void SetBalance(int32_t balance);
  bool LinearVolume() const { return linearVolume_; }
  void SetLinearVolume(bool linear);

  win32::HWND EventWindow() const { return eventWindow_.Handle(); }
  size_t ComponentCount() const { return components_ ? components_->size() : 0; }

  // The graph builder's questions while it connects pins (on the graph's
  // thread, inside the connection call): whether to use the filter the
  // moniker names, whether to keep the filter just made, and whether the
  // handler dealt with an output pin that could not be connected (the
  // builder then tries once more). Unset, the builder goes on as it would.
  std::function<bool(TFilterGraph&, IMoniker* moniker, const std::string& filterName, const GUID& classId)>
      OnSelectedFilter;
  std::function<bool(TFilterGraph&, IBaseFilter* filter, const GUID& classId)> OnCreatedFilter;
  std::function<bool(TFilterGraph&, IPin* pin)> OnUnableToRender;

  // Events, all on the graph's thread. OnDSEvent sees every graph event;
  // the others fire for their own code with its parameters decoded.
  using TNotify = std::function<void(TFilterGraph&)>;
  using TOnDSResult = std::function<void(TFilterGraph&, HRESULT)>;
  using TOnTwoLongs = std::function<void(TFilterGraph&, LONG, LONG)>;
  using TOnFlag = std::function<void(TFilterGraph&, bool)>;
  std::function<void(TFilterGraph&)> OnActivate;
  std::function<void(TFilterGraph&, LONG, LONG_PTR, LONG_PTR)> OnDSEvent;
  std::function<void(TFilterGraph&, HRESULT, IBaseFilter*)> OnGraphComplete;                    // EC_COMPLETE
  TNotify OnGraphUserAbort;                                                                     // EC_USERABORT
  TOnDSResult OnGraphErrorAbort;                                                                // EC_ERRORABORT
  TOnTwoLongs OnGraphStreamErrorStopped;  // EC_STREAM_ERROR_STOPPED: operation, value
  TOnTwoLongs OnGraphStreamErrorStillPlaying;  // EC_STREAM_ERROR_STILLPLAYING
  TOnDSResult OnGraphErrorStillPlaying;                                                         // EC_ERROR_STILLPLAYING
  TNotify OnGraphPaletteChanged;                                                                // EC_PALETTE_CHANGED
  std::function<void(TFilterGraph&, int width, int height)> OnGraphVideoSizeChanged;            // EC_VIDEO_SIZE_CHANGED
  TNotify OnGraphQualityChange;                                                                 // EC_QUALITY_CHANGE
  TNotify OnGraphClockChanged;                                                                  // EC_CLOCK_CHANGED
  TOnDSResult OnGraphPaused;                                                                    // EC_PAUSED
  TOnFlag OnGraphOpeningFile;                                                                   // EC_OPENING_FILE
  TOnFlag OnGraphBufferingData;                                                                 // EC_BUFFERING_DATA
  std::function<void(TFilterGraph&, IBaseFilter* renderer)> OnGraphFullscreenLost;              // EC_FULLSCREEN_LOST
  std::function<void(TFilterGraph&, std::u16string, std::u16string)> OnGraphOleEvent;           // EC_OLE_EVENT
  // EC_STREAM_CONTROL_STOPPED
  std::function<void(TFilterGraph&, IPin* sender, LONG cookie)> OnGraphStreamControlStopped;
  // EC_STREAM_CONTROL_STARTED
  std::function<void(TFilterGraph&, IPin* sender, LONG cookie)> OnGraphStreamControlStarted;
  std::function<void(TFilterGraph&, dshow::REFERENCE_TIME, LONG segment)> OnGraphEndOfSegment;  // EC_END_OF_SEGMENT
  std::function<void(TFilterGraph&, com::IUnknown* device, bool removed)> OnGraphDeviceLost;    // EC_DEVICE_LOST
  TNotify OnGraphStepComplete;                                                                  // EC_STEP_COMPLETE
  TOnTwoLongs OnGraphTimeCodeAvailable;  // EC_TIMECODE_AVAILABLE: from, device id
  TOnTwoLongs OnGraphEXTDeviceModeChange;  // EC_EXTDEVICE_MODE_CHANGE: new mode, device id
  TNotify OnGraphChanged;                                                  // EC_GRAPH_CHANGED
  TNotify OnGraphClockUnset;                                               // EC_CLOCK_UNSET
  std::function<void(TFilterGraph&, LONG device)> OnGraphVMRRenderDevice;  // EC_VMR_RENDERDEVICE_SET
  TOnTwoLongs OnGraphSNDDevInError;                                        // EC_SNDDEV_IN_ERROR: occur when, error code
  TOnTwoLongs OnGraphSNDDevOutError;                                       // EC_SNDDEV_OUT_ERROR

  // Disc navigation (EC_DVD_FIRST .. EC_DVD_LAST).
  using TOnNumber = std::function<void(TFilterGraph&, LONG)>;
  using TOnLanguage = std::function<void(TFilterGraph&, LONG stream, com::DWORD lcid, const std::string& lang)>;
  TNotify OnDVDDomainFirstPlay, OnDVDDomainVideoManagerMenu, OnDVDDomainVideoTitleSetMenu, OnDVDDomainTitle,
      OnDVDDomainStop;                             // EC_DVD_DOMAIN_CHANGE by P1 = 1..5
  TOnNumber OnDVDTitleChange;                      // EC_DVD_TITLE_CHANGE
  TOnNumber OnDVDChapterStart;                     // EC_DVD_CHAPTER_START
  TOnLanguage OnDVDAudioStreamChange;              // EC_DVD_AUDIO_STREAM_CHANGE
  TOnLanguage OnDVDSubpictureStreamChange;         // EC_DVD_SUBPICTURE_STREAM_CHANGE
  TOnTwoLongs OnDVDAngleChange;                    // EC_DVD_ANGLE_CHANGE: total, current
  TOnTwoLongs OnDVDButtonChange;                   // EC_DVD_BUTTON_CHANGE: total, current
  TOnNumber OnDVDValidUOPSChange;                  // EC_DVD_VALID_UOPS_CHANGE
  std::function<void(TFilterGraph&, bool noButtonAvailable, LONG seconds)> OnDVDStillOn;  // EC_DVD_STILL_ON
  TNotify OnDVDStillOff;                                                                   // EC_DVD_STILL_OFF
  std::function<void(TFilterGraph&, const TDVDTimeCode&)> OnDVDCurrentTime;                // EC_DVD_CURRENT_TIME
  TNotify OnDVDErrorUnexpected, OnDVDErrorCopyProtectFail, OnDVDErrorInvalidDVD1_0Disc,
      OnDVDErrorInvalidDiscRegion, OnDVDErrorLowParentalLevel, OnDVDErrorMacrovisionFail,
      // EC_DVD_ERROR by P1 = 1..8
      OnDVDErrorIncompatibleSystemAndDecoderRegions, OnDVDErrorIncompatibleDiscAndDecoderRegions;
  TNotify OnDVDWarningInvalidDVD1_0Disc, OnDVDWarningFormatNotSupported, OnDVDWarningIllegalNavCommand,
      OnDVDWarningOpen, OnDVDWarningSeek, OnDVDWarningRead;  // EC_DVD_WARNING by P1 = 1..6
  TNotify OnDVDChapterAutoStop;                                                 // EC_DVD_CHAPTER_AUTOSTOP
  TNotify OnDVDNoFP_PGC;                                                        // EC_DVD_NO_FP_PGC
  std::function<void(TFilterGraph&, float rate)> OnDVDPlaybackRateChange;        // EC_DVD_PLAYBACK_RATE_CHANGE
  TOnNumber OnDVDParentalLevelChange;                                           // EC_DVD_PARENTAL_LEVEL_CHANGE
  TNotify OnDVDPlaybackStopped;                                                 // EC_DVD_PLAYBACK_STOPPED
  TOnFlag OnDVDAnglesAvailable;                                                 // EC_DVD_ANGLES_AVAILABLE
  TNotify OnDVDPlayPeriodAutoStop;                                              // EC_DVD_PLAYPERIOD_AUTOSTOP
  TOnNumber OnDVDButtonAutoActivated;                                           // EC_DVD_BUTTON_AUTO_ACTIVATED
  TOnNumber OnDVDCMDStart;                                                      // EC_DVD_CMD_START
  TOnNumber OnDVDCMDEnd;                                                        // EC_DVD_CMD_END
  TNotify OnDVDDiscEjected;                                                     // EC_DVD_DISC_EJECTED
  TNotify OnDVDDiscInserted;                                                    // EC_DVD_DISC_INSERTED
  // EC_DVD_CURRENT_HMSF_TIME
  std::function<void(TFilterGraph&, const TDVDHMSFTimeCode&, const TDVDTimeCode&)> OnDVDCurrentHMSFTime;
  TOnFlag OnDVDKaraokeMode;  // EC_DVD_KARAOKE_MODE

  // A disc time code record (BCD digits in bit fields, P1 of code 267) decoded.
  static TDVDTimeCode DecodeTimeCode(uint32_t timeCode);

  // Reads every queued graph event and dispatches it.
  void DrainGraphEvents();

  // Failures the graph and its components catch on the graph's thread: an
  // event handler that raised, a teardown step that failed. Unset, the
  // exception's text alone goes to the layer's report hook (dshow::ReportError).
  TFailureReport OnFailure;
  void ReportFailure(const std::string& where, const std::string& what) const;

 protected:
  virtual void DispatchGraphEvent(LONG event, LONG_PTR param1, LONG_PTR param2);

 private:
  class Site;
  void Activate();
  void Deactivate();
  void AddFilterOf(IGraphComponent& component);
  void RemoveFilterOf(IGraphComponent& component);
  bool ApplyLogFile(const std::string& name);
  void DispatchDiscEvent(LONG event, LONG_PTR param1, LONG_PTR param2);
  win32::LRESULT EventWindowProc(win32::HWND window, win32::UINT message, win32::WPARAM wParam, win32::LPARAM lParam);

  bool active_ = false;
  TGraphMode mode_ = gmNormal;
  bool graphEdit_ = false;
  uint32_t rotCookie_ = 0;
  std::string logFile_;
  std::unique_ptr<files::TFile> logStream_;
  int32_t volume_ = 10000;
  int32_t balance_ = 0;
  bool linearVolume_ = true;
  std::unique_ptr<std::vector<IGraphComponent*>> components_;
  std::unique_ptr<std::vector<IGraphEventSink*>> eventSinks_;
  ComPtr<dshow::IFilterGraph2> graphManager_;
  ComPtr<dshow::ICaptureGraphBuilder2> captureBuilder_;
  ComPtr<dshow::IDvdGraphBuilder> dvdBuilder_;
  ComPtr<dshow::IMediaEventEx> mediaEvents_;
  com::ComPtr<Site> site_;
  // Last, so it goes first: its procedure reaches the members above.
  win32::HiddenWindow eventWindow_;
};

}  // namespace tw::dskit
