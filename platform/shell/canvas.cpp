#include "platform/shell/canvas.h"

namespace tw::shell {

int32_t RecordingCanvas::TextWidth(std::u16string_view text) {
  return static_cast<int32_t>(text.size()) * kCharWidth;
}

int32_t RecordingCanvas::TextHeight(std::u16string_view) { return kLineHeight; }

void RecordingCanvas::FillRect(const Rect& r) { ops.push_back({Op::Fill, r}); }

void RecordingCanvas::DrawEdge(const Rect& r, uint32_t edge, uint32_t flags) {
  Op op{Op::Edge, r};
  op.edge = edge;
  op.flags = flags;
  ops.push_back(op);
}

void RecordingCanvas::Draw(int32_t x, int32_t y, const shell::Bitmap&) {
  Op op{Op::Bitmap};
  op.x = x;
  op.y = y;
  ops.push_back(op);
}

void RecordingCanvas::TextRect(const Rect& clip, int32_t x, int32_t y, std::u16string_view text) {
  Op op{Op::Text, clip};
  op.x = x;
  op.y = y;
  op.text = text;
  ops.push_back(op);
}

}  // namespace tw::shell
