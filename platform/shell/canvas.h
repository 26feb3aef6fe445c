// The drawing seam between a control and its container: the control paints
// through a Canvas that the container hands it (the Qt host wraps a
// QPainter), and the container asks the control to paint through
// IControlView. RecordingCanvas is the default canvas: it draws nothing,
// measures text with fixed metrics and records every operation, so tests and
// headless containers can see what would be drawn.
//
// Ownership: the container owns the canvas for the duration of one Draw call;
// bitmaps are plain values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/unknown.h"

namespace tw::shell {

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A colour: either one of the system's colours, which the container maps to
// its palette, or an RGB value.
struct Color {
  enum Kind : uint8_t { Rgb, ButtonFace, WindowText };
  Kind kind = Rgb;
  uint32_t rgb = 0;  // 0xRRGGBB when kind is Rgb
  static constexpr Color System(Kind k) { return Color{k, 0}; }
  friend bool operator==(const Color&, const Color&) = default;
};

struct Font {
  std::u16string name;
  int32_t points = 8;
  bool bold = false;
  friend bool operator==(const Font&, const Font&) = default;
};

// A small image, 0xRRGGBB pixels row by row from the top. A transparent
// bitmap is drawn without the pixels of its transparent colour, which is the
// colour of its bottom-left pixel.
struct Bitmap {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;
  bool transparent = false;
  uint32_t TransparentColor() const {
    return pixels.empty() ? 0 : pixels[static_cast<size_t>(height - 1) * static_cast<size_t>(width)];
  }
};

// DrawEdge styles and borders (the subset controls use).
constexpr uint32_t EDGE_ETCHED = 0x0006;
constexpr uint32_t BF_RECT = 0x000F;

class Canvas {
 public:
  virtual ~Canvas() = default;
  // Settings that later operations use.
  virtual void SetBrushColor(Color c) = 0;
  virtual void SetPenColor(Color c) = 0;
  virtual void SetFont(const Font& f) = 0;
  virtual int32_t TextWidth(std::u16string_view text) = 0;
  virtual int32_t TextHeight(std::u16string_view text) = 0;
  virtual void FillRect(const Rect& r) = 0;  // with the brush
  virtual void DrawEdge(const Rect& r, uint32_t edge, uint32_t flags) = 0;
  virtual void Draw(int32_t x, int32_t y, const Bitmap& bitmap) = 0;
  // Text at (x, y) in the pen colour, clipped to `clip`.
  virtual void TextRect(const Rect& clip, int32_t x, int32_t y, std::u16string_view text) = 0;
};

// Fixed metrics: every character is kCharWidth wide and a line kLineHeight
// high, whatever the font.
class RecordingCanvas final : public Canvas {
 public:
  static constexpr int32_t kCharWidth = 6;
  static constexpr int32_t kLineHeight = 13;

  struct Op {
    enum Kind : uint8_t { Fill, Edge, Bitmap, Text } kind;
    Rect rect;          // Fill, Edge: the rectangle; Text: the clip
    int32_t x = 0, y = 0;  // Bitmap, Text
    uint32_t edge = 0, flags = 0;
    std::u16string text;
  };

  void SetBrushColor(Color c) override { brush = c; }
  void SetPenColor(Color c) override { pen = c; }
  void SetFont(const Font& f) override { font = f; }
  int32_t TextWidth(std::u16string_view text) override;
  int32_t TextHeight(std::u16string_view text) override;
  void FillRect(const Rect& r) override;
  void DrawEdge(const Rect& r, uint32_t edge, uint32_t flags) override;
  void Draw(int32_t x, int32_t y, const shell::Bitmap& bitmap) override;
  void TextRect(const Rect& clip, int32_t x, int32_t y, std::u16string_view text) override;

  Color brush, pen;
  Font font;
  std::vector<Op> ops;
};

// What a container asks of an embedded control to show it: its size (the
// control may change it when it paints, and then asks its site for a new
// layout) and its picture.
class IControlView : public com::IUnknown {
 public:
  static constexpr com::IID kIid{0x7A3C51E0, 0x44B1, 0x4F0D, {0x9E, 0x21, 0x5C, 0x0B, 0x8D, 0x61, 0x30, 0x01}};
  using Base = com::IUnknown;

  virtual com::HRESULT Draw(Canvas* canvas) = 0;
  virtual com::HRESULT GetExtent(int32_t* width, int32_t* height) = 0;

 protected:
  ~IControlView() = default;
};

}  // namespace tw::shell
