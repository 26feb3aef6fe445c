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

namespace tw::dskit {

class TFilterGraph;

using com::LONG;
using dshow::LONG_PTR;

// A broken rule of the graph components ("Allocator class not set.").
class EDSKitException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

  win32::HWND EventWindow() const { return eventWindow_; }
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
  std::function<void(TFilterGraph&, HRESULT, IBaseFilter*)> OnGraphComplete;                    // 1
  TNotify OnGraphUserAbort;                                                                     // 2
  TOnDSResult OnGraphErrorAbort;                                                                // 3
  TOnTwoLongs OnGraphStreamErrorStopped;                                                        // 6: operation, value
  TOnTwoLongs OnGraphStreamErrorStillPlaying;                                                   // 7
  TOnDSResult OnGraphErrorStillPlaying;                                                         // 8
  TNotify OnGraphPaletteChanged;                                                                // 9
  std::function<void(TFilterGraph&, int width, int height)> OnGraphVideoSizeChanged;            // 10
  TNotify OnGraphQualityChange;                                                                 // 11
  TNotify OnGraphClockChanged;                                                                  // 13
  TOnDSResult OnGraphPaused;                                                                    // 14
  TOnFlag OnGraphOpeningFile;                                                                   // 16
  TOnFlag OnGraphBufferingData;                                                                 // 17
  std::function<void(TFilterGraph&, IBaseFilter* renderer)> OnGraphFullscreenLost;              // 18
  std::function<void(TFilterGraph&, std::u16string, std::u16string)> OnGraphOleEvent;           // 24
  std::function<void(TFilterGraph&, IPin* sender, LONG cookie)> OnGraphStreamControlStopped;    // 26
  std::function<void(TFilterGraph&, IPin* sender, LONG cookie)> OnGraphStreamControlStarted;    // 27
  std::function<void(TFilterGraph&, dshow::REFERENCE_TIME, LONG segment)> OnGraphEndOfSegment;  // 28
  std::function<void(TFilterGraph&, com::IUnknown* device, bool removed)> OnGraphDeviceLost;    // 31
  TNotify OnGraphStepComplete;                                                                  // 36
  TOnTwoLongs OnGraphTimeCodeAvailable;                                                         // 48: from, device id
  TOnTwoLongs OnGraphEXTDeviceModeChange;                                  // 49: new mode, device id
  TNotify OnGraphChanged;                                                  // 80
  TNotify OnGraphClockUnset;                                               // 81
  std::function<void(TFilterGraph&, LONG device)> OnGraphVMRRenderDevice;  // 83
  TOnTwoLongs OnGraphSNDDevInError;                                        // 512: occur when, error code
  TOnTwoLongs OnGraphSNDDevOutError;                                       // 513

  // Disc navigation (codes 257..283).
  using TOnNumber = std::function<void(TFilterGraph&, LONG)>;
  using TOnLanguage = std::function<void(TFilterGraph&, LONG stream, com::DWORD lcid, const std::string& lang)>;
  TNotify OnDVDDomainFirstPlay, OnDVDDomainVideoManagerMenu, OnDVDDomainVideoTitleSetMenu, OnDVDDomainTitle,
      OnDVDDomainStop;                             // 257 by P1 = 1..5
  TOnNumber OnDVDTitleChange;                      // 258
  TOnNumber OnDVDChapterStart;                     // 259
  TOnLanguage OnDVDAudioStreamChange;              // 260
  TOnLanguage OnDVDSubpictureStreamChange;         // 261
  TOnTwoLongs OnDVDAngleChange;                    // 262: total, current
  TOnTwoLongs OnDVDButtonChange;                   // 263: total, current
  TOnNumber OnDVDValidUOPSChange;                  // 264
  std::function<void(TFilterGraph&, bool noButtonAvailable, LONG seconds)> OnDVDStillOn;  // 265
  TNotify OnDVDStillOff;                                                                   // 266
  std::function<void(TFilterGraph&, const TDVDTimeCode&)> OnDVDCurrentTime;                // 267
  TNotify OnDVDErrorUnexpected, OnDVDErrorCopyProtectFail, OnDVDErrorInvalidDVD1_0Disc,
      OnDVDErrorInvalidDiscRegion, OnDVDErrorLowParentalLevel, OnDVDErrorMacrovisionFail,
      OnDVDErrorIncompatibleSystemAndDecoderRegions, OnDVDErrorIncompatibleDiscAndDecoderRegions;  // 268 by P1 = 1..8
  TNotify OnDVDWarningInvalidDVD1_0Disc, OnDVDWarningFormatNotSupported, OnDVDWarningIllegalNavCommand,
      OnDVDWarningOpen, OnDVDWarningSeek, OnDVDWarningRead;  // 269 by P1 = 1..6
  TNotify OnDVDChapterAutoStop;                                                 // 270
  TNotify OnDVDNoFP_PGC;                                                        // 271
  std::function<void(TFilterGraph&, float rate)> OnDVDPlaybackRateChange;        // 272
  TOnNumber OnDVDParentalLevelChange;                                           // 273
  TNotify OnDVDPlaybackStopped;                                                 // 274
  TOnFlag OnDVDAnglesAvailable;                                                 // 275
  TNotify OnDVDPlayPeriodAutoStop;                                              // 276
  TOnNumber OnDVDButtonAutoActivated;                                           // 277
  TOnNumber OnDVDCMDStart;                                                      // 278
  TOnNumber OnDVDCMDEnd;                                                        // 279
  TNotify OnDVDDiscEjected;                                                     // 280
  TNotify OnDVDDiscInserted;                                                    // 281
  std::function<void(TFilterGraph&, const TDVDHMSFTimeCode&, const TDVDTimeCode&)> OnDVDCurrentHMSFTime;  // 282
  TOnFlag OnDVDKaraokeMode;                                                                                // 283

  // A disc time code record (BCD digits in bit fields, P1 of code 267) decoded.
  static TDVDTimeCode DecodeTimeCode(uint32_t timeCode);

  // Reads every queued graph event and dispatches it.
  void DrainGraphEvents();

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
  win32::HWND eventWindow_ = 0;
  std::unique_ptr<std::vector<IGraphComponent*>> components_;
  std::unique_ptr<std::vector<IGraphEventSink*>> eventSinks_;
  ComPtr<dshow::IFilterGraph2> graphManager_;
  ComPtr<dshow::ICaptureGraphBuilder2> captureBuilder_;
  ComPtr<dshow::IDvdGraphBuilder> dvdBuilder_;
  ComPtr<dshow::IMediaEventEx> mediaEvents_;
  com::ComPtr<Site> site_;
};

}  // namespace tw::dskit
