// Error information: the per-thread slot through which a failing member tells
// its caller what went wrong (SetErrorInfo / GetErrorInfo), and the failure
// guard that every automation member of a control runs inside.
//
// Ownership: SetErrorInfo takes a new reference to the given object; GetErrorInfo
// hands the slot's reference to the caller and empties the slot, so each
// error is read at most once. Strings from the IErrorInfo getters are new
// BSTRs owned by the caller.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/com/bstr.h"
#include "platform/com/unknown.h"

namespace tw::com {

class IErrorInfo : public IUnknown {
 public:
  static constexpr IID kIid{0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
  using Base = IUnknown;

  virtual HRESULT GetGUID(GUID* guid) = 0;
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
  virtual HRESULT GetHelpContext(DWORD* helpContext) = 0;

 protected:
  ~IErrorInfo() = default;
};

class ISupportErrorInfo : public IUnknown {
 public:
  static constexpr IID kIid{0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
  using Base = IUnknown;

  // S_OK when the interface `iid` reports failures through error info.
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

// ISupportErrorInfo for a class whose interfaces `I...` report failures
// through error info: class Sample : public ComObject<Sample, ISample, SupportErrorInfoImpl<ISample>>.
template <class... I>
class SupportErrorInfoImpl : public ISupportErrorInfo {
 public:
  HRESULT InterfaceSupportsErrorInfo(REFIID iid) override {
    return ((iid == I::kIid) || ...) ? S_OK : S_FALSE;
  }

 protected:
  ~SupportErrorInfoImpl() = default;
};

inline constexpr IID IID_IErrorInfo = IErrorInfo::kIid;
inline constexpr IID IID_ISupportErrorInfo = ISupportErrorInfo::kIid;

// `reserved` must be 0. A null `info` empties the slot.
HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info);
// S_FALSE (and *info null) when the slot is empty.
HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info);

// A new error object: `iid` names the interface that failed, `source` the
// component (e.g. a ProgID), `description` the message.
ComPtr<IErrorInfo> CreateErrorInfo(REFGUID iid, std::u16string_view source,
                                   std::u16string_view description);
// Creates an error object and puts it in this thread's slot.
void SetErrorText(REFGUID iid, std::u16string_view source, std::u16string_view description);

// A failure that carries its own HRESULT (a negative one; anything else is
// reported as E_UNEXPECTED by the guard). The message is UTF-8.
class ComError : public std::runtime_error {
 public:
  ComError(HRESULT hr, const std::string& message) : std::runtime_error(message), hr_(hr) {}
  // Defined in the platform library, so the type has one identity there and
  // a control library built with hidden visibility throws the same type.
  ~ComError() override;
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

// The text of the exception being handled, for a failure report: what() of
// a std::exception, else "unknown exception". Call only from a catch block.
std::string CaughtExceptionText();

// Turns the exception in flight into an HRESULT and error info (the
// exception's message as description, `source` as source). Call only from
// a catch block.
HRESULT ReportCurrentException(REFGUID iid, std::u16string_view source) noexcept;

// Runs one member: returns what `fn` returns (an HRESULT, or S_OK for a void
// function); an exception raised below it returns E_UNEXPECTED, or the
// ComError's negative HRESULT, with error info carrying its message.
// The slot is emptied first, so error info seen after a failure is this call's.
template <class Fn>
HRESULT GuardMember(Fn&& fn, REFGUID iid = GUID_NULL, std::u16string_view source = {}) noexcept {
  try {
    SetErrorInfo(0, nullptr);
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&>>) {
      fn();
      return S_OK;
    } else {
      return static_cast<HRESULT>(fn());
    }
  } catch (...) {
    return ReportCurrentException(iid, source);
  }
}

}  // namespace tw::com
