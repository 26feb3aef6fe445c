// TVideoWindow: the graph component of the video or mixing renderer, placed
// in a parent window, with its mixing options (TVMROptions).
#pragma once

#include <functional>
#include <string>

#include "Libraries/DSKit/FilterGraph.h"
#include "platform/shell/canvas.h"
#include "platform/shell/dialog.h"
#include "platform/win32/messages.h"
#include "platform/win32/window.h"

namespace tw::dskit {

enum TVideoMode : int { vmNormal = 0, vmVMR = 1 };
enum TVMRVideoMode : int { vmrWindowed = 0, vmrWindowless = 1, vmrRenderless = 2 };
enum TVMRPreference : int {
  vpForceOffscreen = 0,
  vpForceOverlays = 1,
  vpForceMixer = 2,
  vpDoNotRenderColorKeyAndBorder = 3,
  vpRestrictToInitialMonitor = 4,
  vpPreferAGPMemWhenMixing = 5
};
using TVMRPreferences = uint8_t;  // element k in bit k

class TVideoWindow;

class TVMROptions {
 public:
  explicit TVMROptions(TVideoWindow& owner) : owner_(owner) {}
  uint32_t Streams() const { return streams_; }
  void SetStreams(uint32_t streams);  // outside 1..16 stores 1
  TVMRPreferences Preferences() const { return preferences_; }
  void SetPreferences(TVMRPreferences p);
  TVMRVideoMode Mode() const { return mode_; }
  void SetMode(TVMRVideoMode mode);
  bool KeepAspectRatio() const { return keepAspectRatio_; }
  // Letter-boxes the picture of a windowed or windowless mixing renderer.
  void SetKeepAspectRatio(bool keep);

 private:
  friend class TVideoWindow;
  void Rebuild();
  TVideoWindow& owner_;
  uint32_t streams_ = 4;
  TVMRPreferences preferences_ = 1 << vpForceMixer;
  TVMRVideoMode mode_ = vmrWindowed;
  bool keepAspectRatio_ = true;
};

// The video renderer's component: the standard renderer whose window is
// placed over the control's bounds in its parent window, or (vmVMR) the
// mixing renderer in the mode its options choose. The control's own window
// takes the renderer's forwarded messages; the container forwards mouse
// messages and paint requests to the control's methods below.
class TVideoWindow final : public IGraphComponent, public IGraphEventSink {
 public:
  explicit TVideoWindow(win32::HWND parent = 0);
  ~TVideoWindow();
  TVideoWindow(const TVideoWindow&) = delete;
  TVideoWindow& operator=(const TVideoWindow&) = delete;

  // Whether the mixing renderer's class can be made.
  static bool VMR9Available();

  TVideoMode Mode() const { return mode_; }
  // vmVMR only when the mixing renderer is available; an active graph gets the new renderer.
  void SetMode(TVideoMode mode);
  TVMROptions& VMROptions() { return vmrOptions_; }
  TFilterGraph* FilterGraph() const { return graph_; }
  void SetFilterGraph(TFilterGraph* graph);
  bool FullScreen() const { return fullScreen_; }
  void SetFullScreen(bool full);
  bool FullScreenTopMost() const { return fullScreenTopMost_; }
  void SetFullScreenTopMost(bool topMost);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  void SetBounds(int left, int top, int width, int height);
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  win32::HWND Handle() const { return window_.Handle(); }
  win32::HWND Parent() const { return parent_; }
  uint32_t Color = 0;  // 0xRRGGBB, black
  bool TabStop = true;
  std::string Name;
  // The control window's own styles, as a stored description gives them;
  // Loaded keeps them for placing the renderer's window.
  int32_t Style = 0;
  int32_t ExStyle = 0;
  void Loaded();
  // The context menu (not owned), shown by the control itself in full screen.
  const shell::PopupMenu* PopupMenu = nullptr;

  HRESULT QueryInterface(const GUID& iid, void** object);
  bool IsRendererConnected();

  // The control's window procedure: a context-menu request in full screen
  // pops up PopupMenu at the cursor (answer 1) or is dropped; everything else
  // takes the default path (answer 0).
  win32::LRESULT WindowProc(win32::UINT message, win32::WPARAM wParam, win32::LPARAM lParam);
  // Mouse messages of the control. While the renderer's window covers the
  // screen, the coordinates are the cursor's screen position instead.
  using TOnMouse = std::function<void(TVideoWindow&, int button, uint32_t shift, int x, int y)>;
  using TOnMouseMove = std::function<void(TVideoWindow&, uint32_t shift, int x, int y)>;
  // The cursor's position in place of the message's while the position is
  // taken from the cursor.
  void TakeCursorPos(int& x, int& y) const;
  void MouseDown(int button, uint32_t shift, int x, int y);
  void MouseMove(uint32_t shift, int x, int y);
  void MouseUp(int button, uint32_t shift, int x, int y);
  TOnMouse OnMouseDown, OnMouseUp;
  TOnMouseMove OnMouseMove;
  // Paints the control's area in Color, then OnPaint.
  void Paint(shell::Canvas& canvas);
  std::function<void(TVideoWindow&)> OnPaint;

  ComPtr<IBaseFilter> GetFilter() override { return renderer_; }
  std::string GetName() override { return Name; }
  void NotifyFilter(int operation, int param) override;
  void HandleGraphEvent(LONG event, LONG_PTR param1, LONG_PTR param2) override;
  void HandleControlEvent(int event, int param) override;
  void GraphDestroyed(TFilterGraph& graph) override;

 private:
  friend class TVMROptions;
  void CreateRenderer();
  void RendererAdded();
  void ApplyRenderingPrefs(dshow::IVMRFilterConfig9& config);
  void PlaceAndDrain();
  void Resize();
  void Rebuild();

  TVideoMode mode_ = vmNormal;
  TVMROptions vmrOptions_{*this};
  ComPtr<IBaseFilter> renderer_;
  ComPtr<dshow::IVideoWindow> rendererWindow_;
  ComPtr<dshow::IVMRWindowlessControl9> windowlessControl_;
  bool fullScreen_ = false;
  bool fullScreenTopMost_ = false;
  bool mouseFromCursor_ = false;
  bool visible_ = true;
  int32_t savedStyle_ = 0;
  int32_t savedExStyle_ = 0;
  int left_ = 0, top_ = 0, width_ = 160, height_ = 120;
  TFilterGraph* graph_ = nullptr;
  win32::HWND parent_;
  win32::HiddenWindow window_;  // last, so it goes first: its procedure reaches the members above
};

}  // namespace tw::dskit
