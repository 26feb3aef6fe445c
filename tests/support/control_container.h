// What a container needs to drive a control library from its file, for the
// control tests and benchmarks: a library's exports, an event sink that
// records what it is told and may react, and the probes of a dual
// interface's member table (vtable slots, raw Invoke).
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "platform/com/connection.h"
#include "platform/com/dispatch_call.h"

namespace tw::test {

// Calls one export of a library file, loading it for the call only.
com::HRESULT CallExport(const char* library, const char* name);
// The library's own DllCanUnloadNow while it is loaded (S_OK: nothing
// alive); E_FAIL when it is not loaded at all.
com::HRESULT LoadedCanUnloadNow(const char* library);

// One recorded event: its DISPID and its arguments as text.
struct TEvent {
  com::DISPID id;
  std::vector<std::string> args;
};

// An argument as text: "bytes:N" for a byte array, the value for a
// reference, else the value as a string ("?" when it has none).
std::string ArgText(const com::VARIANT& v);

// A new byte array holding `bytes`.
com::Variant ByteArrayOf(const std::string& bytes);

// A container's event sink for one events interface: records every event
// and runs the reaction set for its DISPID, whose HRESULT goes back to the
// control.
struct TEventSink {
  std::vector<TEvent> events;
  std::map<com::DISPID, std::function<com::HRESULT(std::span<com::VARIANT>)>> react;
  com::ComPtr<com::IDispatch> dispatch;
  com::DWORD cookie = 0;

  explicit TEventSink(com::REFIID eventsIid);
  size_t Count(com::DISPID id) const;
  const TEvent* Last(com::DISPID id) const;
  // Connects to `control`'s connection point for `eventsIid`.
  bool Advise(com::IUnknown* control, com::REFIID eventsIid);
};

// The vtable slot of a virtual member function (Itanium C++ ABI: the
// pointer holds 1 + the slot's byte offset).
template <class F>
size_t SlotOf(F member) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } raw;
  static_assert(sizeof raw == sizeof member);
  std::memcpy(&raw, &member, sizeof raw);
  return (raw.ptr - 1) / sizeof(void*);
}

// One row of a dual interface's member table as the tests state it.
enum class Kind { Method, Get, Put };

struct Row {
  const char16_t* name;
  com::DISPID id;
  Kind kind;
  size_t slot;      // declared
  size_t actual;    // of the header's member
  unsigned inputs;  // arguments a caller passes (no retval)
};

com::WORD FlagsOf(Kind k);

// IDispatch::Invoke with the arguments already reversed; a put names its
// value DISPID_PROPERTYPUT unless `namedPut` is false.
com::HRESULT RawInvoke(com::IDispatch* d, com::DISPID id, com::WORD flags, std::vector<com::Variant>& reversed,
                       com::VARIANT* result, com::UINT* argErr = nullptr, bool namedPut = true);

}  // namespace tw::test
