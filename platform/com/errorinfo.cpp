// Error objects are small immutable records; the slot is a thread_local
// reference, released when the thread ends.
#include "platform/com/errorinfo.h"

#include "platform/win32/text.h"

namespace tw::com {

namespace {

class ErrorObject final : public ComObject<ErrorObject, IErrorInfo> {
 public:
  ErrorObject(REFGUID iid, std::u16string_view source, std::u16string_view description)
      : iid_(iid), source_(source), description_(description) {}

  HRESULT GetGUID(GUID* guid) override {
    if (!guid) return E_INVALIDARG;
    *guid = iid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* source) override { return Hand(source_, source); }
  HRESULT GetDescription(BSTR* description) override { return Hand(description_, description); }
  HRESULT GetHelpFile(BSTR* helpFile) override { return Hand({}, helpFile); }
  HRESULT GetHelpContext(DWORD* helpContext) override {
    if (!helpContext) return E_INVALIDARG;
    *helpContext = 0;
    return S_OK;
  }

 private:
  static HRESULT Hand(std::u16string_view text, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (text.empty()) return S_OK;
    *out = SysAllocString(text);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  GUID iid_;
  std::u16string source_;
  std::u16string description_;
};

thread_local ComPtr<IErrorInfo> t_errorInfo;

}  // namespace

ComError::~ComError() = default;

HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info) {
  if (reserved != 0) return E_INVALIDARG;
  t_errorInfo = ComPtr<IErrorInfo>(info);
  return S_OK;
}

HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info) {
  if (!info) return E_INVALIDARG;
  *info = nullptr;
  if (reserved != 0) return E_INVALIDARG;
  if (!t_errorInfo) return S_FALSE;
  *info = t_errorInfo.Detach();
  return S_OK;
}

ComPtr<IErrorInfo> CreateErrorInfo(REFGUID iid, std::u16string_view source,
                                   std::u16string_view description) {
  return MakeComObject<ErrorObject>(iid, source, description);
}

void SetErrorText(REFGUID iid, std::u16string_view source, std::u16string_view description) {
  ComPtr<IErrorInfo> info = CreateErrorInfo(iid, source, description);
  SetErrorInfo(0, info.Get());
}

std::string CaughtExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

HRESULT ReportCurrentException(REFGUID iid, std::u16string_view source) noexcept {
  HRESULT hr = E_UNEXPECTED;
  std::string message;
  try {
    throw;
  } catch (const ComError& e) {
    if (FAILED(e.hr())) hr = e.hr();
    message = e.what();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown failure";
  }
  try {
    SetErrorText(iid, source, win32::Utf8ToUtf16(message));
  } catch (...) {
    SetErrorInfo(0, nullptr);  // out of memory while reporting: the HRESULT still tells
  }
  return hr;
}

}  // namespace tw::com
