// Pixel conversions of the layer: what the colour converter and the cameras
// do to turn a camera's format into 24-bit bottom-up RGB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/dshow/dshow.h"

namespace tw::dshow {

// Converts one frame of `subtype` (YUY2, RGB32, RGB555 or RGB565; `height`
// negative for top-down RGB rows, YUY2 always top-down) of `width` x |height|
// into 24-bit rows, bottom-up, in `dst`. False when the subtype is not one of
// these or a buffer is shorter than a whole frame.
bool ConvertToRgb24(const GUID& subtype, const uint8_t* src, size_t srcLength, int width, int height, uint8_t* dst,
                    size_t dstLength);

}  // namespace tw::dshow
