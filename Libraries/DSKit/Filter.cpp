#include "Libraries/DSKit/Filter.h"

#include "Libraries/DSKit/DSKitInternal.h"

namespace tw::dskit {

using namespace tw::dshow;

TFilter::~TFilter() {
  baseFilter_.SetSize(0);
  SetFilterGraph(nullptr);
}

void TFilter::SetFilterGraph(TFilterGraph* graph) { MoveToGraph(*this, graph_, graph); }

HRESULT TFilter::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (!filter_) return com::E_NOINTERFACE;
  return filter_->QueryInterface(iid, object);
}

void TFilter::NotifyFilter(int operation, int) {
  switch (operation) {
    case foAdding:
      filter_ = baseFilter_.BindFilter();
      break;
    case foRemoving:
      if (filter_) {
        FILTER_STATE state;
        if (filter_->GetState(0, &state) == com::S_OK && (state == State_Paused || state == State_Running))
          filter_->Stop();
      }
      break;
    case foRemoved:
      filter_.Reset();
      break;
    case foRefresh:
      if (graph_) {
        graph_->DetachComponent(*this);
        graph_->AttachComponent(*this);
      }
      break;
    default:
      break;
  }
}

void TFilter::GraphDestroyed(TFilterGraph& graph) {
  if (&graph == graph_) graph_ = nullptr;
}

}  // namespace tw::dskit
