#pragma once

#include <cstdint>
#include <vector>

#include "XpmImage.h"

namespace tidewell::icon {

// The image as a Windows .ico holding one 4-bit (16-colour) picture: a BITMAPINFOHEADER whose
// height counts both bitmaps, a 16-entry palette, the colour bitmap bottom-up and the 1-bit AND
// mask that makes the see-through pixels transparent. The palette keeps the XPM's order of its
// opaque colours. Throws std::invalid_argument when the image is larger than 256 pixels a side
// or needs more than 16 colours (counting black, which the transparent pixels must be drawn in).
std::vector<std::uint8_t> EncodeIco(const XpmImage& image);

}  // namespace tidewell::icon
