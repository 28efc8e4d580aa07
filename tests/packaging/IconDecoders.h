#pragma once

// Readers for the files icon_convert writes, written separately from the writers (their own
// CRC and Adler code, their own idea of the layouts) so that a test that decodes what an encoder
// wrote checks the encoder against a second reading of the formats, not against itself.
// Every structural fault throws std::runtime_error saying what was wrong.

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tidewell::icon::testing {

using Rgba = std::array<std::uint8_t, 4>;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t BitwiseCrc32(const std::uint8_t* data, std::size_t size);
std::uint32_t PlainAdler32(const Bytes& data);

struct DecodedPng {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<Rgba> pixels;  // row by row from the top
  int stored_blocks = 0;     // how many deflate blocks the image data came in
};

// Accepts what our encoder may write: 8-bit RGBA, no interlace, filter 0 on every row, and a
// zlib stream of stored deflate blocks. Checks the CRC of every chunk and the Adler-32.
DecodedPng DecodePng(const Bytes& png);

struct DecodedIco {
  // ICONDIR and its one ICONDIRENTRY.
  std::uint16_t reserved = 0;
  std::uint16_t type = 0;
  std::uint16_t count = 0;
  std::uint8_t entry_width = 0;
  std::uint8_t entry_height = 0;
  std::uint8_t entry_colours = 0;
  std::uint16_t entry_planes = 0;
  std::uint16_t entry_bit_count = 0;
  std::uint32_t bytes_in_resource = 0;
  std::uint32_t image_offset = 0;
  // BITMAPINFOHEADER.
  std::uint32_t header_size = 0;
  std::int32_t bitmap_width = 0;
  std::int32_t bitmap_height = 0;
  std::uint16_t bitmap_planes = 0;
  std::uint16_t bitmap_bit_count = 0;
  std::uint32_t compression = 0;
  std::uint32_t size_image = 0;
  std::uint32_t colours_used = 0;
  std::vector<Rgba> palette;  // alpha is the reserved byte as written
  // What the icon shows: the colour from the XOR bitmap, alpha 0 where the AND bit is set.
  std::vector<Rgba> pixels;           // row by row from the top
  std::vector<bool> mask;             // the AND bits, row by row from the top
  std::vector<std::uint8_t> indices;  // the XOR bitmap's palette indices, from the top
};

// Reads a one-image, 4-bit icon; checks that the sizes and the offset agree with the file.
DecodedIco DecodeIco(const Bytes& ico);

Bytes ReadBytes(const std::filesystem::path& path);

}  // namespace tidewell::icon::testing
