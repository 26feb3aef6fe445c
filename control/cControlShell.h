// The control shell that both controls are built on: reference counting with
// a safe deferred destruction, the container's client site and ambient
// design mode, the design-time caption box and the run-time height of 0, the
// event sink of one events interface (a single-sink connection point),
// firing events at it, the member failure guard and the About box. A control
// derives from TControlObject<Self, IDual>, adds its engine, members and
// firers, and describes itself in a TControlClass; its library's class
// factory and registration are TControlModule (cControlModule.h).
//
// Ownership: a control object lives while the container holds references;
// the last Release destroys it at once, or, when it comes while the control
// is inside one of its own members or events, once that call has returned
// to the message loop. The control keeps one reference to the client site
// and one to the event sink (and one more to the sink for the duration of
// each event).
#pragma once

#include <array>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "platform/com/classes.h"
#include "platform/com/connection.h"
#include "platform/com/dispatch_call.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/errorinfo.h"
#include "platform/com/ole.h"
#include "platform/shell/canvas.h"
#include "platform/shell/dialog.h"
#include "platform/win32/window.h"

namespace tw {

// What a control class tells the shell about itself.
struct TControlClass {
  com::CLSID clsid;
  com::IID dualIid;
  com::IID eventsIid;
  com::GUID libid;
  const char* progId;
  const char* typeLibName;     // e.g. "twParleySrv"
  const char* typeLibVersion;  // e.g. "1.0"
  const char* dualName;        // e.g. "ItwParleySrvX"
  const char* eventsName;      // e.g. "ItwParleySrvXEvents"
  const char16_t* displayName; // design-time caption and About title line
  const char16_t* aboutLine;   // the About box's third line
  const shell::Bitmap& (*bitmap)();  // the 16 x 16 control image
};

// The 16 x 16 control image from rows of characters: '#' dark, 'h' light
// grey, 'g' green; anything else is the transparent ground.
shell::Bitmap ControlBitmap(const char* const (&rows)[16]);

// Conversions between the engines' values and their COM forms at a member's
// boundary: strings from BSTR copies, Booleans from any non-zero value, and
// results through an [out] pointer (VARIANT_BOOL true = -1, a new BSTR).
inline std::u16string FromBstr(com::BSTR s) { return std::u16string(com::BstrView(s)); }
inline bool FromVariantBool(com::VARIANT_BOOL v) { return v != com::VARIANT_FALSE; }
inline void AssignOut(com::LONG* out, int32_t v) { *out = v; }
inline void AssignOut(com::VARIANT_BOOL* out, bool v) { *out = com::ToVariantBool(v); }
void AssignOut(com::BSTR* out, const std::u16string& v);  // std::bad_alloc when out of memory

// Misc status the class registers: "acts like a label" plus what the
// factory adds (0x22191 in all).
inline constexpr com::DWORD kControlMiscStatus =
    com::OLEMISC_ACTSLIKELABEL | com::OLEMISC_RECOMPOSEONRESIZE | com::OLEMISC_CANTLINKINSIDE |
    com::OLEMISC_INSIDEOUT | com::OLEMISC_ACTIVATEWHENVISIBLE | com::OLEMISC_SETCLIENTSITEFIRST;
static_assert(kControlMiscStatus == 0x22191);

class TControlShell : public com::IOleObject,
                      public com::IConnectionPointContainer,
                      public shell::IControlView,
                      public com::ISupportErrorInfo {
 public:
  // Window message that carries out a deferred destruction.
  static constexpr win32::UINT kDestroyMessage = win32::WM_USER + 100;

  // Size at creation and the design-time box height.
  static constexpr int32_t kInitialWidth = 200;
  static constexpr int32_t kInitialHeight = 20;
  static constexpr int32_t kCaptionHeight = 24;

  // The framework's initialisation step, run once by the factory right
  // after construction: no border, then the control binds its engine.
  void Initialize();

  // IOleObject
  com::HRESULT SetClientSite(com::IOleClientSite* site) override;
  com::HRESULT GetClientSite(com::IOleClientSite** site) override;
  com::HRESULT Close(com::DWORD saveOption) override;
  com::HRESULT GetUserClassID(com::CLSID* clsid) override;
  com::HRESULT GetMiscStatus(com::DWORD aspect, com::DWORD* status) override;
  // IConnectionPointContainer
  com::HRESULT EnumConnectionPoints(com::IEnumConnectionPoints** points) override;
  com::HRESULT FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) override;
  // IControlView: PaintControl onto the container's canvas.
  com::HRESULT Draw(shell::Canvas* canvas) override;
  com::HRESULT GetExtent(int32_t* width, int32_t* height) override;
  // ISupportErrorInfo: the dual interface reports failures through error info.
  com::HRESULT InterfaceSupportsErrorInfo(com::REFIID iid) override;

  const TControlClass& Class() const { return class_; }

 protected:
  TControlShell(const TControlClass& cls, com::ModuleLockCount& module);
  virtual ~TControlShell();
  TControlShell(const TControlShell&) = delete;
  TControlShell& operator=(const TControlShell&) = delete;

  // Binds the engine's events to the control's firers.
  virtual void WireEvents() = 0;

  // IUnknown for the final class (TControlObject forwards to these).
  com::HRESULT QueryShell(com::REFIID iid, void** object);
  com::ULONG AddRefShell();
  com::ULONG ReleaseShell();

  // Runs one interface member inside the failure guard and a call scope,
  // noting the message dispatch level it runs at (see InOwnMember).
  template <class Fn>
  com::HRESULT Member(Fn&& fn) noexcept {
    TCallScope scope(*this);
    const int outer = std::exchange(memberLevel_, win32::DispatchDepth());
    const com::HRESULT hr = com::GuardMember(std::forward<Fn>(fn), class_.dualIid, source_);
    memberLevel_ = outer;
    return hr;
  }
  // A member with a result: E_POINTER for a null result pointer, else the
  // engine value `fn()` in its COM form.
  template <class T, class Fn>
  com::HRESULT Answer(T* out, Fn&& fn) noexcept {
    if (!out) return com::E_POINTER;
    return Member([&] { AssignOut(out, fn()); });
  }
  // GenerateKeypair's work: both keys as new strings and the engine's answer.
  template <class Engine>
  com::HRESULT AnswerKeypair(Engine& engine, com::BSTR* aPublicKey, com::BSTR* aPrivateKey,
                             com::VARIANT_BOOL* Value) noexcept {
    if (!aPublicKey || !aPrivateKey || !Value) return com::E_POINTER;
    return Member([&] {
      std::u16string publicKey, privateKey;
      const bool ok = engine.GenerateKeypair(publicKey, privateKey);
      com::Bstr pub(publicKey), priv(privateKey);
      if (!pub.Get() || !priv.Get()) throw std::bad_alloc();
      *aPublicKey = pub.Detach();
      *aPrivateKey = priv.Detach();
      *Value = com::ToVariantBool(ok);
    });
  }
  // True while the innermost running member is on the current message
  // dispatch level: an event raised now comes straight from that member
  // (not from a message loop it runs), so the member can report a failure.
  bool InOwnMember() const { return memberLevel_ >= 0 && win32::DispatchDepth() == memberLevel_; }

  // Events: true while a sink is connected. Fire calls its Invoke with `id`
  // and the arguments in declaration order, synchronously, holding the sink
  // for the call; a failure the sink returns is raised as com::ComError,
  // except DISP_E_MEMBERNOTFOUND (a sink that does not handle the event).
  bool HasSink() const { return sink_ != nullptr; }
  void Fire(com::DISPID id, std::span<com::Variant> args);
  // Fire with the arguments given one by one (each made a Variant).
  template <class... A>
  void FireEvent(com::DISPID id, A&&... args) {
    std::array<com::Variant, sizeof...(A)> list{com::Variant(std::forward<A>(args))...};
    Fire(id, list);
  }

  // The AboutBox member's work: the modal About box.
  void ShowAboutBox();
  shell::DialogSpec AboutBoxDialog() const;

  // The control's window rectangle and look.
  int32_t Width = kInitialWidth;
  int32_t Height = kInitialHeight;
  bool BorderNone = false;
  std::u16string Caption;

 private:
  // Counts the control's own members and events on the stack; the
  // outermost one to leave carries out a destruction requested meanwhile.
  class TCallScope {
   public:
    explicit TCallScope(TControlShell& c) : c_(c) { ++c_.depth_; }
    ~TCallScope() {
      if (--c_.depth_ == 0 && c_.destroyPending_) c_.ScheduleDestroy();
    }
    TCallScope(const TCallScope&) = delete;
    TCallScope& operator=(const TCallScope&) = delete;

   private:
    TControlShell& c_;
  };

  // The event sink keeping step, called by the connection point with the
  // sink already queried for the events interface (null: removed).
  void KeepEventSink(com::IDispatch* sink);
  void ScheduleDestroy();
  void PaintControl(shell::Canvas& canvas);
  void DrawCaption(shell::Canvas& canvas);
  bool IsDesignMode() const { return com::IsDesignMode(site_.Get()); }
  void SetSize(int32_t width, int32_t height);

  const TControlClass& class_;
  com::ModuleLock moduleLock_;
  std::u16string source_;  // ProgID as error source
  std::atomic<com::ULONG> refs_{0};
  int depth_ = 0;
  int memberLevel_ = -1;  // dispatch depth of the innermost running member; -1: none
  bool destroyPending_ = false;
  win32::HiddenWindow window_;
  com::ComPtr<com::IOleClientSite> site_;
  com::ComPtr<com::ConnectionPoint> point_;  // one sink at a time
  com::ComPtr<com::IDispatch> sink_;
  shell::Bitmap bitmap_;
  shell::Color brushColor_ = shell::Color::System(shell::Color::ButtonFace);
  shell::Color penColor_ = shell::Color::System(shell::Color::WindowText);
  shell::Font font_{u"MS Shell Dlg 2", 8, true};
};

// IUnknown and IDispatch for a control class `Self` whose dual interface is
// `IDual`, served by the table `Self::DispTable()`.
template <class Self, class IDual>
class TControlObject : public TControlShell, public com::DispatchImpl<Self, IDual> {
 public:
  com::HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch || iid == IDual::kIid) {
      *object = static_cast<IDual*>(this);
      AddRefShell();
      return com::S_OK;
    }
    return QueryShell(iid, object);
  }
  com::ULONG AddRef() override { return AddRefShell(); }
  com::ULONG Release() override { return ReleaseShell(); }

 protected:
  using TControlShell::TControlShell;
};

}  // namespace tw
