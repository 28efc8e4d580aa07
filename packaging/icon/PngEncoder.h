#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "XpmImage.h"

namespace tidewell::icon {

// The two checksums a PNG needs: CRC-32 over each chunk's type and data, Adler-32 over the
// uncompressed image data inside the zlib stream.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);
std::uint32_t Adler32(std::span<const std::uint8_t> bytes);

// Largest enlargement EncodePng accepts; 16 makes a 512-pixel picture of the 32-pixel icon.
inline constexpr int kMaxPngScale = 16;

// The image as an 8-bit RGBA PNG, each pixel repeated `scale` times across and down. The data
// is stored, not compressed: a few kilobytes for an icon, and no deflate coder to get wrong.
// Throws std::invalid_argument for a scale outside 1..kMaxPngScale.
std::vector<std::uint8_t> EncodePng(const XpmImage& image, int scale = 1);

}  // namespace tidewell::icon
