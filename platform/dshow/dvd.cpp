// The disc navigator's graph builder. This system reads no disc drive: the
// builder makes an empty graph manager, and its navigator answers every
// question about the disc with VFW_E_DVD_NO_DISC.
#include "platform/dshow/internal.h"

namespace tw::dshow::detail {

namespace {

class DvdNavigator final : public com::ComObject<DvdNavigator, IDvdInfo2> {
 public:
  HRESULT GetAudioLanguage(ULONG, DWORD* language) override { return NoDisc(language); }
  HRESULT GetSubpictureLanguage(ULONG, DWORD* language) override { return NoDisc(language); }

 private:
  static HRESULT NoDisc(DWORD* language) {
    if (!language) return com::E_POINTER;
    *language = 0;
    return VFW_E_DVD_NO_DISC;
  }
};

class DvdGraphBuilder final : public com::ComObject<DvdGraphBuilder, IDvdGraphBuilder> {
 public:
  HRESULT GetFiltergraph(IFilterGraph2** graph) override {
    if (!graph) return com::E_POINTER;
    *graph = nullptr;
    if (!graph_) graph_ = MakeFilterGraph().As<IFilterGraph2>();
    if (!graph_) return com::E_OUTOFMEMORY;
    return graph_.CopyTo(graph);
  }
  HRESULT GetDvdInterface(const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (!navigator_) navigator_ = com::MakeComObject<DvdNavigator>();
    if (!navigator_) return com::E_OUTOFMEMORY;
    return navigator_->QueryInterface(iid, object);
  }

 private:
  ComPtr<IFilterGraph2> graph_;
  ComPtr<DvdNavigator> navigator_;
};

}  // namespace

ComPtr<IUnknown> MakeDvdGraphBuilder() {
  return ComPtr<IUnknown>(com::MakeComObject<DvdGraphBuilder>()->Identity());
}

}  // namespace tw::dshow::detail

namespace tw::dshow {

std::string EnglishLanguageName(DWORD lcid) {
  // The primary language is the low 10 bits of the id.
  static constexpr struct {
    DWORD primary;
    const char* name;
  } kLanguages[] = {{0x01, "Arabic"},  {0x04, "Chinese"},  {0x05, "Czech"},   {0x06, "Danish"},  {0x07, "German"},
                    {0x08, "Greek"},   {0x09, "English"},  {0x0A, "Spanish"}, {0x0B, "Finnish"}, {0x0C, "French"},
                    {0x0D, "Hebrew"},  {0x0E, "Hungarian"}, {0x10, "Italian"}, {0x11, "Japanese"}, {0x12, "Korean"},
                    {0x13, "Dutch"},   {0x14, "Norwegian"}, {0x15, "Polish"},  {0x16, "Portuguese"},
                    {0x19, "Russian"}, {0x1D, "Swedish"},  {0x1F, "Turkish"}};
  if (lcid == 0) return {};
  const DWORD primary = lcid & 0x3FF;
  for (const auto& l : kLanguages) {
    if (l.primary == primary) return l.name;
  }
  return {};
}

}  // namespace tw::dshow
