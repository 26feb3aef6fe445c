// What the graph components share inside the library: making a class's
// object, widening a name for the graph and moving a component between
// graphs.
#pragma once

#include <string>

#include "Libraries/DSKit/DSUtil.h"
#include "Libraries/DSKit/FilterGraph.h"

namespace tw::dskit {

// Makes an object of the class, raising EDirectShowException when it cannot.
inline ComPtr<com::IUnknown> Create(const GUID& clsid, const GUID& iid) {
  void* object = nullptr;
  RaiseOnFailure(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, iid, &object));
  return ComPtr<com::IUnknown>::Attach(static_cast<com::IUnknown*>(object));
}

// A name as the graph takes it (the names are ASCII).
inline std::u16string Wide(const std::string& name) { return std::u16string(name.begin(), name.end()); }

// Moves `component` from the graph it is in (`current`, or none) to `graph`
// (or none), and records the move in `current`.
inline void MoveToGraph(IGraphComponent& component, TFilterGraph*& current, TFilterGraph* graph) {
  if (graph == current) return;
  if (current) current->DetachComponent(component);
  if (graph) graph->AttachComponent(component);
  current = graph;
}

}  // namespace tw::dskit
