// What the graph components share inside the library: making a class's
// object and widening a name for the graph.
#pragma once

#include <string>

#include "Libraries/DSKit/DSUtil.h"

namespace tw::dskit {

// Makes an object of the class, raising EDirectShowException when it cannot.
inline ComPtr<com::IUnknown> Create(const GUID& clsid, const GUID& iid) {
  void* object = nullptr;
  RaiseOnFailure(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, iid, &object));
  return ComPtr<com::IUnknown>::Attach(static_cast<com::IUnknown*>(object));
}

// A name as the graph takes it (the names are ASCII).
inline std::u16string Wide(const std::string& name) { return std::u16string(name.begin(), name.end()); }

}  // namespace tw::dskit
