#include "Libraries/DSKit/VideoWindow.h"

#include <cfenv>

#include "Libraries/DSKit/DSKitInternal.h"
#include "platform/com/errorinfo.h"

namespace tw::dskit {

using namespace tw::dshow;

namespace {

// Keeps the floating-point environment of the caller across a call into the
// mixing renderer, which may change precision and exception masks.
class FpuGuard {
 public:
  FpuGuard() { std::fegetenv(&env_); }
  ~FpuGuard() { std::fesetenv(&env_); }
  FpuGuard(const FpuGuard&) = delete;
  FpuGuard& operator=(const FpuGuard&) = delete;

 private:
  std::fenv_t env_;
};

constexpr int32_t WS_CHILD = 0x40000000;
constexpr int32_t WS_CLIPSIBLINGS = 0x04000000;
constexpr int32_t WS_CAPTION = 0x00C00000;
constexpr int32_t WS_THICKFRAME = 0x00040000;
constexpr int32_t WS_EX_TOPMOST = 0x00000008;
constexpr int32_t WS_EX_DLGMODALFRAME = 0x00000001;
constexpr int32_t WS_EX_WINDOWEDGE = 0x00000100;
constexpr int32_t WS_EX_CLIENTEDGE = 0x00000200;
constexpr int32_t WS_EX_STATICEDGE = 0x00020000;
constexpr win32::UINT WM_CONTEXTMENU = 0x007B;
constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

}  // namespace

void TVMROptions::SetStreams(uint32_t streams) {
  streams_ = (streams < 1 || streams > 16) ? 1 : streams;
  Rebuild();
}

void TVMROptions::SetPreferences(TVMRPreferences p) {
  preferences_ = p;
  Rebuild();
}

void TVMROptions::SetMode(TVMRVideoMode mode) {
  mode_ = mode;
  Rebuild();
}

void TVMROptions::Rebuild() {
  TFilterGraph* g = owner_.graph_;
  if (owner_.mode_ == vmVMR && g && g->Active()) owner_.Rebuild();
}

void TVMROptions::SetKeepAspectRatio(bool keep) {
  keepAspectRatio_ = keep;
  if (mode_ != vmrWindowed && mode_ != vmrWindowless) return;
  ComPtr<IVMRAspectRatioControl9> control;
  if (com::SUCCEEDED(owner_.QueryInterface(IVMRAspectRatioControl9::kIid, control.OutVoid())) && control)
    RaiseOnFailure(control->SetAspectRatioMode(keep ? VMR9ARMode_LetterBox : VMR9ARMode_None));
}

TVideoWindow::TVideoWindow(win32::HWND parent)
    : parent_(parent),
      window_([this](win32::HWND, win32::UINT message, win32::WPARAM wParam, win32::LPARAM lParam) {
        return WindowProc(message, wParam, lParam);
      }) {}

TVideoWindow::~TVideoWindow() {
  try {
    SetFilterGraph(nullptr);  // in an active graph the renderer is stopped and disconnected, which may raise
  } catch (...) {
    graph_->ReportFailure("TVideoWindow.Destroy", com::CaughtExceptionText());
    graph_ = nullptr;
  }
}

bool TVideoWindow::VMR9Available() {
  FpuGuard fpu;
  ComPtr<IBaseFilter> filter;
  return com::SUCCEEDED(com::CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, com::CLSCTX_INPROC,
                                              IBaseFilter::kIid, filter.OutVoid()));
}

void TVideoWindow::SetMode(TVideoMode mode) {
  mode_ = (mode == vmVMR && VMR9Available()) ? vmVMR : vmNormal;
  if (graph_ && graph_->Active()) Rebuild();
}

void TVideoWindow::Rebuild() {
  graph_->DetachComponent(*this);
  graph_->AttachComponent(*this);
}

void TVideoWindow::Loaded() {
  savedStyle_ = Style;
  savedExStyle_ = ExStyle;
}

void TVideoWindow::SetFilterGraph(TFilterGraph* graph) {
  if (graph == graph_) return;
  if (graph_) {
    graph_->DetachComponent(*this);
    graph_->DetachEventSink(*this);
  }
  if (graph) {
    graph->AttachComponent(*this);
    graph->AttachEventSink(*this);
  }
  graph_ = graph;
}

void TVideoWindow::GraphDestroyed(TFilterGraph& graph) {
  if (&graph == graph_) graph_ = nullptr;
}

HRESULT TVideoWindow::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (iid == IVMRWindowlessControl9::kIid && windowlessControl_) {
    windowlessControl_.CopyTo(reinterpret_cast<IVMRWindowlessControl9**>(object));
    return com::S_OK;
  }
  if (!renderer_) return com::E_NOINTERFACE;
  return renderer_->QueryInterface(iid, object);
}

bool TVideoWindow::IsRendererConnected() {
  if (!renderer_) return false;
  TPinList pins(renderer_.Get());
  for (int i = 0; i < pins.Count(); ++i) {
    if (pins.Connected(i)) return true;
  }
  return false;
}

void TVideoWindow::NotifyFilter(int operation, int) {
  switch (operation) {
    case foAdding:
      CreateRenderer();
      break;
    case foAdded:
      RendererAdded();
      break;
    case foRemoving:
      if (renderer_) {
        RaiseOnFailure(renderer_->Stop());
        TPinList pins(renderer_.Get());
        for (int i = 0; i < pins.Count(); ++i) RaiseOnFailure(pins.Pins(i)->Disconnect());
      }
      break;
    case foRemoved:
      rendererWindow_.Reset();
      windowlessControl_.Reset();
      renderer_.Reset();
      break;
    default:
      break;
  }
}

// The renderer must exist: an activation without one fails as a whole, and
// a renderer that cannot be configured is not kept.
void TVideoWindow::CreateRenderer() {
  if (mode_ == vmNormal) {
    renderer_ = Create(CLSID_VideoRenderer, IBaseFilter::kIid).As<IBaseFilter>();
    return;
  }
  FpuGuard fpu;
  try {
    void* object = nullptr;
    RaiseOnFailure(com::CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, com::CLSCTX_INPROC, IBaseFilter::kIid,
                                         &object));
    renderer_ = ComPtr<IBaseFilter>::Attach(static_cast<IBaseFilter*>(object));
    ComPtr<IVMRFilterConfig9> config = renderer_.As<IVMRFilterConfig9>();
    if (!config) RaiseOnFailure(com::E_NOINTERFACE);
    switch (vmrOptions_.Mode()) {
      case vmrWindowed:
        RaiseOnFailure(config->SetRenderingMode(VMR9Mode_Windowed));
        break;
      case vmrWindowless:
        RaiseOnFailure(config->SetRenderingMode(VMR9Mode_Windowless));
        break;
      case vmrRenderless:
        // Rendering without a window needs an allocator-presenter, which nothing supplies.
        throw EDSKitException("Allocator class not set.");
    }
  } catch (...) {
    renderer_.Reset();
    throw;
  }
}

void TVideoWindow::RendererAdded() {
  if (!renderer_) return;
  if (mode_ == vmNormal) {
    rendererWindow_ = renderer_.As<dshow::IVideoWindow>();
    if (!rendererWindow_) RaiseOnFailure(com::E_NOINTERFACE);
    return;
  }
  ComPtr<IVMRFilterConfig9> config;
  const HRESULT hr = RaiseOnFailure(renderer_->QueryInterface(IVMRFilterConfig9::kIid, config.OutVoid()));
  if (hr != com::S_OK) return;
  if (vmrOptions_.streams_ != 4 || (vmrOptions_.preferences_ & (1 << vpForceMixer))) {
    RaiseOnFailure(config->SetNumberOfStreams(vmrOptions_.streams_));
    com::DWORD streams = 0;
    RaiseOnFailure(config->GetNumberOfStreams(&streams));
    vmrOptions_.streams_ = streams;
  }
  switch (vmrOptions_.Mode()) {
    case vmrWindowed:
      rendererWindow_ = renderer_.As<dshow::IVideoWindow>();
      if (!rendererWindow_) RaiseOnFailure(com::E_NOINTERFACE);
      ApplyRenderingPrefs(*config);
      break;
    case vmrWindowless:
      windowlessControl_ = renderer_.As<IVMRWindowlessControl9>();
      if (!windowlessControl_) RaiseOnFailure(com::E_NOINTERFACE);
      RaiseOnFailure(windowlessControl_->SetVideoClippingWindow(static_cast<dshow::OAHWND>(window_.Handle())));
      ApplyRenderingPrefs(*config);
      Resize();
      break;
    case vmrRenderless:
      break;
  }
  vmrOptions_.SetKeepAspectRatio(vmrOptions_.KeepAspectRatio());
}

// The renderer gets the preferences without the mixer request (which is the
// control's own) and answers what it took; the mixer request is kept.
void TVideoWindow::ApplyRenderingPrefs(IVMRFilterConfig9& config) {
  constexpr TVMRPreferences kMixer = 1 << vpForceMixer;
  const TVMRPreferences before = vmrOptions_.preferences_;
  RaiseOnFailure(config.SetRenderingPrefs(before & ~kMixer & 0xFF));
  com::DWORD taken = 0;
  RaiseOnFailure(config.GetRenderingPrefs(&taken));
  vmrOptions_.preferences_ = static_cast<TVMRPreferences>((taken & 0xFF) | (before & kMixer));
}

void TVideoWindow::HandleGraphEvent(LONG event, LONG_PTR, LONG_PTR) {
  if (event == EC_PALETTE_CHANGED && rendererWindow_) {
    SetFullScreen(fullScreen_);
    PlaceAndDrain();
  } else if (event == EC_VMR_RENDERDEVICE_SET && vmrOptions_.Mode() == vmrWindowed && rendererWindow_) {
    PlaceAndDrain();
  }
}

void TVideoWindow::HandleControlEvent(int event, int) {
  if (event != 0 || !IsRendererConnected()) return;
  if (mode_ == vmNormal && rendererWindow_) {
    SetFullScreen(fullScreen_);
    PlaceAndDrain();
  } else if (mode_ == vmVMR) {
    SetFullScreen(fullScreen_);
  }
}

void TVideoWindow::PlaceAndDrain() {
  if (!Name.empty()) RaiseOnFailure(rendererWindow_->put_Caption(Wide(Name).c_str()));
  RaiseOnFailure(rendererWindow_->put_MessageDrain(static_cast<dshow::OAHWND>(window_.Handle())));
}

void TVideoWindow::SetFullScreen(bool full) {
  if (rendererWindow_ && IsRendererConnected()) {
    if (!full) {
      RaiseOnFailure(rendererWindow_->put_Owner(static_cast<dshow::OAHWND>(parent_)));
      RaiseOnFailure(rendererWindow_->put_WindowStyle(savedStyle_ | WS_CHILD | WS_CLIPSIBLINGS));
      RaiseOnFailure(rendererWindow_->put_WindowStyleEx(savedExStyle_));
      RaiseOnFailure(rendererWindow_->SetWindowPosition(left_, top_, width_, height_));
      mouseFromCursor_ = false;
    } else {
      RaiseOnFailure(rendererWindow_->put_Owner(0));
      RaiseOnFailure(rendererWindow_->put_WindowStyle(savedStyle_ & ~(WS_CAPTION | WS_THICKFRAME)));
      int32_t ex = savedExStyle_ & ~(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE | WS_EX_STATICEDGE);
      if (fullScreenTopMost_) ex |= WS_EX_TOPMOST;
      RaiseOnFailure(rendererWindow_->put_WindowStyleEx(ex));
      RaiseOnFailure(rendererWindow_->SetWindowPosition(0, 0, kScreenWidth, kScreenHeight));
      mouseFromCursor_ = true;
    }
  }
  if (windowlessControl_) mouseFromCursor_ = false;
  fullScreen_ = full;
}

void TVideoWindow::SetFullScreenTopMost(bool topMost) {
  fullScreenTopMost_ = topMost;
  if (fullScreen_) SetFullScreen(true);
}

void TVideoWindow::SetVisible(bool visible) {
  visible_ = visible;
  if (rendererWindow_) RaiseOnFailure(rendererWindow_->put_Visible(visible ? -1 : 0));
}

void TVideoWindow::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Resize();
}

void TVideoWindow::Resize() {
  if (mode_ == vmVMR && vmrOptions_.Mode() == vmrWindowless) {
    if (windowlessControl_) {
      const dshow::RECT destination{0, 0, width_, height_};
      windowlessControl_->SetVideoPosition(nullptr, &destination);
    }
  } else if (mode_ == vmNormal || vmrOptions_.Mode() == vmrWindowed) {
    if (rendererWindow_ && !fullScreen_) rendererWindow_->SetWindowPosition(left_, top_, width_, height_);
  }
}

win32::LRESULT TVideoWindow::WindowProc(win32::UINT message, win32::WPARAM, win32::LPARAM lParam) {
  if (message != WM_CONTEXTMENU) return 0;
  const bool shows = PopupMenu && PopupMenu->autoPopup;
  if (fullScreen_) {
    // The message's position belongs to the covered desktop: use the cursor's.
    if (!shows) return 0;  // dropped
    shell::Popup(*PopupMenu, shell::CursorPos());
    return 1;
  }
  if (!shows) return 0;
  // lParam holds the screen position as two signed 16-bit halves.
  const shell::Point at{static_cast<int16_t>(lParam & 0xFFFF), static_cast<int16_t>((lParam >> 16) & 0xFFFF)};
  shell::Popup(*PopupMenu, at);
  return 1;
}

void TVideoWindow::TakeCursorPos(int& x, int& y) const {
  if (!mouseFromCursor_) return;
  const shell::Point p = shell::CursorPos();
  x = p.x;
  y = p.y;
}

void TVideoWindow::MouseDown(int button, uint32_t shift, int x, int y) {
  TakeCursorPos(x, y);
  if (OnMouseDown) OnMouseDown(*this, button, shift, x, y);
}

void TVideoWindow::MouseMove(uint32_t shift, int x, int y) {
  TakeCursorPos(x, y);
  if (OnMouseMove) OnMouseMove(*this, shift, x, y);
}

void TVideoWindow::MouseUp(int button, uint32_t shift, int x, int y) {
  TakeCursorPos(x, y);
  if (OnMouseUp) OnMouseUp(*this, button, shift, x, y);
}

void TVideoWindow::Paint(shell::Canvas& canvas) {
  canvas.SetBrushColor(shell::Color{shell::Color::Rgb, Color});
  canvas.FillRect(shell::Rect{0, 0, width_, height_});
  if (OnPaint) OnPaint(*this);
}

}  // namespace tw::dskit
