// Invoke in three steps: pick the row by DISPID and call kind, build one
// variant per declared parameter from the caller's arguments (reversed,
// dereferenced, coerced), then run the member and hand [out] values back.
// The parameter variants are owned here, except borrowed VT_VARIANT inputs.
#include "platform/com/dispatch_table.h"

#include <algorithm>

namespace tw::com {

namespace {

char16_t Lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char16_t x, char16_t y) { return Lower(x) == Lower(y); });
}

std::u16string_view NulTerminated(const OLECHAR* s) {
  return s ? std::u16string_view(s) : std::u16string_view();
}

bool IsRetval(const DispParam& p) { return (p.flags & PARAMFLAG_FRETVAL) != 0; }
bool IsOut(const DispParam& p) { return (p.flags & PARAMFLAG_FOUT) != 0; }
bool IsIn(const DispParam& p) { return (p.flags & PARAMFLAG_FIN) != 0 || !IsOut(p); }

constexpr size_t kMaxParams = 64;

void Validate(const DispMemberInfo& m) {
  if (m.params.size() > kMaxParams) throw std::invalid_argument("too many parameters");
  for (size_t i = 0; i < m.params.size(); ++i) {
    const DispParam& p = m.params[i];
    if (p.vt & (VT_BYREF | VT_ARRAY)) throw std::invalid_argument("parameter types are base types");
    if (IsRetval(m.params[i]) && (i + 1 != m.params.size() || !IsOut(p))) {
      throw std::invalid_argument("only the last parameter can be [out,retval]");
    }
  }
  if (m.kind == DispKind::PropPut && (m.params.empty() || !IsIn(m.params.back()) || IsOut(m.params.back()))) {
    throw std::invalid_argument("a property put takes its value as the last [in] parameter");
  }
}

// Writes an [out] value (owned, in `value`) through the caller's reference
// argument `target`, freeing what the reference held before.
HRESULT WriteThrough(VARIANT& value, VARIANT& target) {
  VARTYPE to = static_cast<VARTYPE>(target.vt & ~VT_BYREF);
  if (!(target.vt & VT_BYREF) || !target.byref) return DISP_E_TYPEMISMATCH;
  if (to == VT_VARIANT) {
    HRESULT hr = VariantClear(target.pvarVal);
    if (FAILED(hr)) return hr;
    *target.pvarVal = value;
    VariantInit(&value);
    return S_OK;
  }
  if (to != value.vt) {
    HRESULT hr = VariantChangeType(&value, &value, 0, to);
    if (FAILED(hr)) return hr;
  }
  switch (to) {
    case VT_BSTR:
      SysFreeString(*target.pbstrVal);
      *target.pbstrVal = value.bstrVal;
      break;
    case VT_UNKNOWN:
      if (*target.ppunkVal) (*target.ppunkVal)->Release();
      *target.ppunkVal = value.punkVal;
      break;
    case VT_DISPATCH:
      if (*target.ppdispVal) (*target.ppdispVal)->Release();
      *target.ppdispVal = value.pdispVal;
      break;
    case VT_I1: *target.pcVal = value.cVal; break;
    case VT_UI1: *target.pbVal = value.bVal; break;
    case VT_I2: *target.piVal = value.iVal; break;
    case VT_UI2: *target.puiVal = value.uiVal; break;
    case VT_I4: *target.plVal = value.lVal; break;
    case VT_UI4: *target.pulVal = value.ulVal; break;
    case VT_INT: *target.pintVal = value.intVal; break;
    case VT_UINT: *target.puintVal = value.uintVal; break;
    case VT_BOOL: *target.pboolVal = value.boolVal; break;
    case VT_ERROR: *target.pscode = value.scode; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  VariantInit(&value);  // ownership went to the caller
  return S_OK;
}

// The caller's argument with references to variants followed.
const VARIANT& Unwrapped(const VARIANT& arg) {
  const VARIANT* a = &arg;
  for (int depth = 0; a->vt == (VT_BYREF | VT_VARIANT) && a->pvarVal && depth < 8; ++depth) a = a->pvarVal;
  return *a;
}

// The member's parameter variants; clears the owned ones on destruction.
// Members have few parameters, so up to kInline of them live on the stack.
class ParamFrame {
 public:
  explicit ParamFrame(size_t n) : size_(n) {
    if (n > kInline) heap_.resize(n);
    for (size_t i = 0; i < n; ++i) VariantInit(&Data()[i]);
  }
  ~ParamFrame() {
    for (size_t i = 0; i < size_; ++i) {
      if (!IsBorrowed(i)) VariantClear(&Data()[i]);
    }
  }
  ParamFrame(const ParamFrame&) = delete;
  ParamFrame& operator=(const ParamFrame&) = delete;

  VARIANT& operator[](size_t i) { return Data()[i]; }
  void Borrow(size_t i, const VARIANT& v) {
    Data()[i] = v;
    borrowed_ |= uint64_t{1} << i;
  }
  VARIANT* Data() { return size_ > kInline ? heap_.data() : inline_; }

 private:
  static constexpr size_t kInline = 8;
  bool IsBorrowed(size_t i) const { return (borrowed_ >> i) & 1; }

  size_t size_;
  VARIANT inline_[kInline];
  std::vector<VARIANT> heap_;
  uint64_t borrowed_ = 0;  // one bit a parameter: members have at most kMaxParams
};

// An initial (zero, null) value of base type `vt`.
void InitialValue(VARIANT& v, VARTYPE vt) {
  VariantInit(&v);
  v.vt = vt == VT_VARIANT ? VARTYPE{VT_EMPTY} : vt;
}

}  // namespace

DispatchTableCore::DispatchTableCore(REFIID iid, std::u16string source, std::vector<DispMemberInfo> members)
    : iid_(iid), source_(std::move(source)), members_(std::move(members)) {
  for (const auto& m : members_) Validate(m);
}

HRESULT DispatchTableCore::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const {
  if (count == 0) return S_OK;
  if (!names || !ids) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  std::u16string_view name = NulTerminated(names[0]);
  auto it = std::find_if(members_.begin(), members_.end(),
                         [&](const DispMemberInfo& m) { return SameName(m.name, name); });
  if (it == members_.end()) return DISP_E_UNKNOWNNAME;
  ids[0] = it->id;
  // Parameters are not named in the table.
  return count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
}

const DispMemberInfo* DispatchTableCore::Find(DISPID id, WORD flags, size_t* index) const {
  auto find = [&](DispKind kind) -> const DispMemberInfo* {
    for (size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].id == id && members_[i].kind == kind) {
        *index = i;
        return &members_[i];
      }
    }
    return nullptr;
  };
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return find(DispKind::PropPut);
  const DispMemberInfo* m = nullptr;
  if (flags & DISPATCH_METHOD) m = find(DispKind::Method);
  if (!m && (flags & DISPATCH_PROPERTYGET)) m = find(DispKind::PropGet);
  return m;
}

HRESULT DispatchTableCore::Invoke(DISPID id, WORD flags, DISPPARAMS* dp, VARIANT* result,
                                  EXCEPINFO* excep, UINT* argErr,
                                  const std::function<HRESULT(size_t, VARIANT*)>& call) const {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!dp) dp = &none;
  if (dp->cArgs > 0 && !dp->rgvarg) return E_INVALIDARG;
  if (dp->cNamedArgs > dp->cArgs || (dp->cNamedArgs > 0 && !dp->rgdispidNamedArgs)) return E_INVALIDARG;
  size_t index = 0;
  const DispMemberInfo* m = Find(id, flags, &index);
  if (!m) return DISP_E_MEMBERNOTFOUND;

  bool put = m->kind == DispKind::PropPut;
  // The only named argument understood is the value of a put.
  if (dp->cNamedArgs > 1 || (dp->cNamedArgs == 1 && (!put || dp->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))) {
    return DISP_E_NONAMEDARGS;
  }
  size_t expected = std::count_if(m->params.begin(), m->params.end(),
                                  [](const DispParam& p) { return !IsRetval(p); });
  if (dp->cArgs != expected) return DISP_E_BADPARAMCOUNT;

  // Declared parameter j (not the retval) is rgvarg[cArgs - 1 - j]; a put's
  // value, the last parameter, is therefore rgvarg[0], where the named
  // DISPID_PROPERTYPUT argument stands.
  ParamFrame frame(m->params.size());
  for (size_t j = 0; j < m->params.size(); ++j) {
    const DispParam& p = m->params[j];
    if (IsRetval(p)) {
      InitialValue(frame[j], p.vt);
      continue;
    }
    UINT argIndex = static_cast<UINT>(dp->cArgs - 1 - j);
    VARIANT& arg = dp->rgvarg[argIndex];
    auto fail = [&](HRESULT hr) {
      if (argErr) *argErr = argIndex;
      return hr;
    };
    if (IsOut(p) && !(arg.vt & VT_BYREF)) return fail(DISP_E_TYPEMISMATCH);
    if (IsOut(p) && !IsIn(p)) {
      InitialValue(frame[j], p.vt);
      continue;
    }
    if (p.vt == VT_VARIANT && !IsOut(p)) {
      frame.Borrow(j, Unwrapped(arg));
      continue;
    }
    HRESULT hr = p.vt == VT_VARIANT ? VariantCopyInd(&frame[j], &arg)
                                    : VariantChangeType(&frame[j], &arg, 0, p.vt);
    if (FAILED(hr)) return fail(hr);
  }

  HRESULT hr = GuardMember([&] { return call(index, frame.Data()); }, iid_, source_);
  if (FAILED(hr)) return ReportMemberFailure(hr, excep, source_);

  for (size_t j = 0; j < m->params.size(); ++j) {
    const DispParam& p = m->params[j];
    if (!IsOut(p)) continue;
    if (IsRetval(p)) {
      if (result) {
        *result = frame[j];
        VariantInit(&frame[j]);
      }
      continue;
    }
    UINT argIndex = static_cast<UINT>(dp->cArgs - 1 - j);
    HRESULT written = WriteThrough(frame[j], dp->rgvarg[argIndex]);
    if (FAILED(written)) {
      if (argErr) *argErr = argIndex;
      return written;
    }
  }
  return hr;
}

HRESULT ReportMemberFailure(HRESULT hr, EXCEPINFO* excep, std::u16string_view source) {
  if (!excep) return hr;
  *excep = EXCEPINFO{};  // the caller's structure holds nothing of ours yet
  excep->scode = hr;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Out()) == S_OK && info) {
    info->GetSource(&excep->bstrSource);
    info->GetDescription(&excep->bstrDescription);
    info->GetHelpFile(&excep->bstrHelpFile);
    info->GetHelpContext(&excep->dwHelpContext);
  }
  if (!excep->bstrSource && !source.empty()) excep->bstrSource = SysAllocString(source);
  return DISP_E_EXCEPTION;
}

void ClearExcepInfo(EXCEPINFO* e) {
  if (!e) return;
  SysFreeString(e->bstrSource);
  SysFreeString(e->bstrDescription);
  SysFreeString(e->bstrHelpFile);
  *e = EXCEPINFO{};
}

}  // namespace tw::com
