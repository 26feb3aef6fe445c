// TFilter: the graph component of a filter bound from a stored moniker.
#pragma once

#include <string>

#include "Libraries/DSKit/FilterGraph.h"

namespace tw::dskit {

// A filter bound from a stored moniker.
class TFilter final : public IGraphComponent {
 public:
  TFilter() = default;
  ~TFilter();
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;

  TBaseFilter& BaseFilter() { return baseFilter_; }
  TFilterGraph* FilterGraph() const { return graph_; }
  void SetFilterGraph(TFilterGraph* graph);
  std::string Name;

  // The bound filter's interfaces (only while the graph is active).
  HRESULT QueryInterface(const GUID& iid, void** object);

  ComPtr<IBaseFilter> GetFilter() override { return filter_; }
  std::string GetName() override { return Name; }
  void NotifyFilter(int operation, int param) override;
  void GraphDestroyed(TFilterGraph& graph) override;

 private:
  TBaseFilter baseFilter_;
  TFilterGraph* graph_ = nullptr;
  ComPtr<IBaseFilter> filter_;
};

}  // namespace tw::dskit
