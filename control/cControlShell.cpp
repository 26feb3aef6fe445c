// How the shell works: the control's own hidden window carries deferred
// destruction, so that a control released from inside its events dies only
// when no frame of it (or of its engine) is left on the stack. Painting goes
// to the container's canvas; the About box to the installed dialog host.
#include "control/cControlShell.h"

#include <new>

#include "platform/win32/text.h"

namespace tw {

using namespace tw::com;

// --- Conversions -------------------------------------------------------------------

shell::Bitmap ControlBitmap(const char* const (&rows)[16]) {
  shell::Bitmap b;
  b.width = b.height = 16;
  for (const char* row : rows)
    for (int x = 0; x < 16; ++x) {
      switch (row[x]) {
        case '#': b.pixels.push_back(0x202020); break;
        case 'h': b.pixels.push_back(0xB0B0B0); break;
        case 'g': b.pixels.push_back(0x00C000); break;
        default: b.pixels.push_back(0xFF00FF); break;
      }
    }
  return b;
}

void AssignOut(BSTR* out, const std::u16string& v) {
  *out = SysAllocString(v);
  if (!*out) throw std::bad_alloc();
}

// --- Life cycle -------------------------------------------------------------------

TControlShell::TControlShell(const TControlClass& cls, ModuleLockCount& module)
    : class_(cls), moduleLock_(module), source_(win32::AnsiToWide(cls.progId)) {
  window_ = win32::HiddenWindow([this](win32::HWND, win32::UINT msg, win32::WPARAM, win32::LPARAM) {
    // Inside a member or an event still (a nested message loop), the
    // outermost call scope schedules again when it leaves.
    if (msg == kDestroyMessage && destroyPending_ && depth_ == 0) {
      // Delivered inside a nested loop (say, while the transport pumps in the
      // middle of an RSA step): the frames below still use the engine.
      if (win32::DispatchDepth() > 1)
        ScheduleDestroy();
      else
        delete this;  // destroys this window too; its procedure stays alive for this call
    }
    return win32::LRESULT{0};
  });
  if (cls.bitmap) {
    bitmap_ = cls.bitmap();
    bitmap_.transparent = true;
  }
  point_ = MakeComObject<ConnectionPoint>(
      static_cast<IConnectionPointContainer*>(this), cls.eventsIid,
      [this](IDispatch* sink) { KeepEventSink(sink); }, SinkPolicy::Single);
  if (!point_) throw std::bad_alloc();
}

TControlShell::~TControlShell() {
  point_->Detach();
  point_.Reset();
  sink_.Reset();
  site_.Reset();
}

void TControlShell::Initialize() {
  BorderNone = true;
  WireEvents();
}

ULONG TControlShell::AddRefShell() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG TControlShell::ReleaseShell() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left != 0) return left;
  if (depth_ == 0 && win32::DispatchDepth() == 0) {
    delete this;
  } else if (depth_ == 0) {
    // Released from some window procedure while the transport may be in the
    // middle of a pump step further down the stack: leave through the loop.
    destroyPending_ = true;
    ScheduleDestroy();
  } else {
    destroyPending_ = true;  // carried out once the members and events on the stack returned
  }
  return 0;
}

void TControlShell::ScheduleDestroy() {
  // Through the message loop, so that the engine's own frames below the
  // outermost event have unwound too.
  if (!win32::PostMessageA(window_.Handle(), kDestroyMessage, 0, 0)) delete this;
}

HRESULT TControlShell::QueryShell(REFIID iid, void** object) {
  IUnknown* found = nullptr;
  if (iid == IOleObject::kIid) {
    found = static_cast<IOleObject*>(this);
  } else if (iid == IConnectionPointContainer::kIid) {
    found = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == shell::IControlView::kIid) {
    found = static_cast<shell::IControlView*>(this);
  } else if (iid == ISupportErrorInfo::kIid) {
    found = static_cast<ISupportErrorInfo*>(this);
  }
  if (!found) return E_NOINTERFACE;
  *object = found;
  AddRefShell();
  return S_OK;
}

// --- OLE object ---------------------------------------------------------------------

HRESULT TControlShell::SetClientSite(IOleClientSite* site) {
  site_ = ComPtr<IOleClientSite>(site);
  return S_OK;
}

HRESULT TControlShell::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  return site_.CopyTo(site);
}

HRESULT TControlShell::Close(DWORD) {
  site_.Reset();
  return S_OK;
}

HRESULT TControlShell::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = class_.clsid;
  return S_OK;
}

HRESULT TControlShell::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = kControlMiscStatus;
  return S_OK;
}

HRESULT TControlShell::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points) *points = nullptr;
  return E_NOTIMPL;
}

HRESULT TControlShell::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (iid != class_.eventsIid) return CONNECT_E_NOCONNECTION;
  *point = point_.Get();
  (*point)->AddRef();
  return S_OK;
}

HRESULT TControlShell::InterfaceSupportsErrorInfo(REFIID iid) {
  return iid == class_.dualIid ? S_OK : S_FALSE;
}

void TControlShell::KeepEventSink(IDispatch* sink) { sink_ = ComPtr<IDispatch>(sink); }

// --- Painting ---------------------------------------------------------------------

HRESULT TControlShell::Draw(shell::Canvas* canvas) {
  if (!canvas) return E_POINTER;
  TCallScope scope(*this);
  PaintControl(*canvas);
  return S_OK;
}

HRESULT TControlShell::GetExtent(int32_t* width, int32_t* height) {
  if (!width || !height) return E_POINTER;
  *width = Width;
  *height = Height;
  return S_OK;
}

void TControlShell::SetSize(int32_t width, int32_t height) {
  if (width == Width && height == Height) return;
  Width = width;
  Height = height;
  // The container lays its site out again for the new size.
  if (site_) site_->RequestNewObjectLayout();
}

void TControlShell::PaintControl(shell::Canvas& canvas) {
  if (!IsDesignMode()) {
    SetSize(Width, 0);
    return;
  }
  canvas.SetBrushColor(brushColor_);
  canvas.SetPenColor(penColor_);
  canvas.SetFont(font_);
  canvas.FillRect({0, 0, Width, Height});
  DrawCaption(canvas);
}

void TControlShell::DrawCaption(shell::Canvas& canvas) {
  try {
    Caption = class_.displayName;
    const int32_t height = kCaptionHeight;
    const int32_t width = canvas.TextWidth(Caption) + 32;
    SetSize(width, height);
    canvas.DrawEdge({0, 0, width - 1, height - 1}, shell::EDGE_ETCHED, shell::BF_RECT);
    int32_t y = (height - canvas.TextHeight(u"B")) / 2;
    if (y < 0) y = 0;
    canvas.Draw(4, 4, bitmap_);
    canvas.TextRect({24, 4, width - 4, height - 4}, 24, y, Caption);
  } catch (...) {
    // A failed drawing leaves what was drawn.
  }
}

// --- Events and the About box -------------------------------------------------------

void TControlShell::Fire(DISPID id, std::span<Variant> args) {
  ComPtr<IDispatch> sink = sink_;  // the container may unadvise or release inside the event
  if (!sink) return;
  TCallScope scope(*this);
  DispResult r = InvokeDispid(sink.Get(), id, DISPATCH_METHOD, args);
  if (SUCCEEDED(r.hr)) return;
  const HRESULT hr = r.hr == DISP_E_EXCEPTION && FAILED(r.scode) ? r.scode : r.hr;
  // A sink that does not know an event does not listen to it; that is no failure.
  if (hr == DISP_E_MEMBERNOTFOUND) return;
  std::string message = r.description.empty() ? "The event sink failed (event " + std::to_string(id) + ")"
                                               : win32::Utf16ToUtf8(r.description);
  throw ComError(hr, message);
}

shell::DialogSpec TControlShell::AboutBoxDialog() const {
  shell::DialogSpec d;
  d.caption = u"About";
  d.clientWidth = 267;
  d.clientHeight = 120;
  d.centredOnScreen = true;
  d.dialogBorder = true;
  d.systemMenuOnly = true;
  d.labels = {{class_.displayName, {16, 12, 251, 28}},
              {u"Version 2.4", {16, 36, 251, 52}},
              {class_.aboutLine, {16, 60, 251, 76}}};
  shell::DialogButton ok{u"OK", {96, 88, 96 + 75, 88 + 25}};
  ok.isDefault = true;
  ok.isCancel = true;
  ok.result = shell::IDOK;
  d.buttons = {ok};
  return d;
}

void TControlShell::ShowAboutBox() {
  TCallScope scope(*this);  // the host may pump messages while the box is up
  shell::ShowModal(AboutBoxDialog());
}

}  // namespace tw
