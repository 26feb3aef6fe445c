// IUnknown, the root of every interface, and the C++ helpers around it:
// ComPtr (a counted reference) and ComObject (reference counting and
// QueryInterface for a class that implements one or more interfaces).
//
// Interfaces are abstract classes whose virtual functions appear in slot
// order; they have no virtual destructor (it would take a slot). Each names
// its identifier as `kIid` and its parent interface as `Base`, which lets
// ComObject answer QueryInterface for every interface up the chain.
//
// Ownership: an interface pointer returned through an out-parameter carries
// one reference that the receiver releases; ComPtr does that for C++ code.
#pragma once

#include <atomic>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/types.h"

namespace tw::com {

class IUnknown {
 public:
  static constexpr IID kIid{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = void;

  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

inline constexpr IID IID_IUnknown = IUnknown::kIid;

// A counted reference to an interface; null-able. Copying adds a reference,
// destruction releases it.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to `p` (AddRef).
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  // Adopts a reference the caller already owns (no AddRef).
  static ComPtr Attach(T* owned) {
    ComPtr c;
    c.p_ = owned;
    return c;
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(ComPtr<U> o) : p_(o.Detach()) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Releases the current reference and hands out the slot for an [out]
  // interface parameter.
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }

  // QueryInterface for U; null when the object does not offer it.
  template <class U>
  ComPtr<U> As() const {
    ComPtr<U> u;
    if (p_) p_->QueryInterface(U::kIid, u.OutVoid());
    return u;
  }

  // Hands out a new reference through an [out] parameter.
  HRESULT CopyTo(T** out) const {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

namespace detail {

// Walks I, I::Base, ... and hands out `self` as the interface whose kIid is
// `iid`, cast through I so that the right sub-object is chosen.
template <class I, class Self>
bool FindInterface(Self* self, REFIID iid, void** out) {
  if constexpr (std::is_void_v<I>) {
    return false;
  } else {
    if (iid == I::kIid) {
      *out = static_cast<I*>(self);
      return true;
    }
    return FindInterface<typename I::Base>(static_cast<I*>(self), iid, out);
  }
}

}  // namespace detail

// Reference counting and QueryInterface for a class that implements the
// interfaces `I...`: `class Sample : public ComObject<Sample, ISample, ISupportErrorInfo>`.
// Create instances with MakeComObject; the last Release deletes the object.
// QueryInterface of IUnknown always answers the first interface's IUnknown.
template <class Self, class... I>
class ComObject : public I... {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool found = (detail::FindInterface<I>(static_cast<Self*>(this), iid, object) || ...);
    if (!found) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Self*>(this);
    return left;
  }

  // The object's own identity as IUnknown (no new reference).
  IUnknown* Identity() { return static_cast<First*>(this); }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  using First = std::tuple_element_t<0, std::tuple<I...>>;
  std::atomic<ULONG> refs_{0};
};

// A new object held by one reference. Null if allocation fails.
template <class T, class... Args>
ComPtr<T> MakeComObject(Args&&... args) {
  return ComPtr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

}  // namespace tw::com
