#include "PngEncoder.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

namespace tidewell::icon {
namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint8_t kBitDepth = 8;
constexpr std::uint8_t kColourTypeRgba = 6;
constexpr std::uint8_t kFilterNone = 0;
// A stored deflate block carries at most this many bytes (its length field is 16 bits).
constexpr std::size_t kMaxStoredBlock = 65535;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < table.size(); ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr auto kCrcTable = MakeCrcTable();

void PutBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PutChunk(std::vector<std::uint8_t>& out, std::string_view type,
              std::span<const std::uint8_t> data) {
  PutBigEndian32(out, static_cast<std::uint32_t>(data.size()));
  // The CRC covers the type and the data, so both go into one buffer first.
  std::vector<std::uint8_t> typed(type.begin(), type.end());
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  PutBigEndian32(out, Crc32(typed));
}

// The rows as PNG wants them before compression: a filter byte, then RGBA for each pixel.
std::vector<std::uint8_t> ScanLines(const XpmImage& image, int scale) {
  std::vector<std::uint8_t> raw;
  const std::size_t row_bytes = 1 + static_cast<std::size_t>(image.width) * scale * 4;
  raw.reserve(row_bytes * image.height * scale);
  for (int y = 0; y < image.height * scale; ++y) {
    raw.push_back(kFilterNone);
    for (int x = 0; x < image.width * scale; ++x) {
      const Colour& c = image.At(x / scale, y / scale);
      // A see-through pixel is written as transparent black, so equal pixels stay equal bytes.
      if (c.transparent) {
        raw.insert(raw.end(), {0, 0, 0, 0});
      } else {
        raw.insert(raw.end(), {c.red, c.green, c.blue, 0xFF});
      }
    }
  }
  return raw;
}

// A zlib stream of stored deflate blocks around `raw`, closed by raw's Adler-32.
std::vector<std::uint8_t> StoredZlib(std::span<const std::uint8_t> raw) {
  // CMF 0x78: deflate with a 32 KiB window; FLG 0x01 makes CMF*256+FLG a multiple of 31.
  std::vector<std::uint8_t> out = {0x78, 0x01};
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min(kMaxStoredBlock, raw.size() - offset);
    const bool last = offset + length == raw.size();
    out.push_back(last ? 0x01 : 0x00);  // BFINAL, and BTYPE 00: stored
    const auto len = static_cast<std::uint16_t>(length);
    const auto nlen = static_cast<std::uint16_t>(~len);
    out.insert(out.end(), {static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8),
                           static_cast<std::uint8_t>(nlen), static_cast<std::uint8_t>(nlen >> 8)});
    out.insert(out.end(), raw.begin() + offset, raw.begin() + offset + length);
    offset += length;
  } while (offset < raw.size());
  PutBigEndian32(out, Adler32(raw));
  return out;
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (const std::uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t Adler32(std::span<const std::uint8_t> bytes) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (const std::uint8_t byte : bytes) {
    a = (a + byte) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

std::vector<std::uint8_t> EncodePng(const XpmImage& image, int scale) {
  if (scale < 1 || scale > kMaxPngScale) throw std::invalid_argument("PNG scale out of range");

  std::vector<std::uint8_t> header;
  PutBigEndian32(header, static_cast<std::uint32_t>(image.width * scale));
  PutBigEndian32(header, static_cast<std::uint32_t>(image.height * scale));
  // Bit depth, colour type, then compression, filter and interlace methods, all 0.
  header.insert(header.end(), {kBitDepth, kColourTypeRgba, 0, 0, 0});

  std::vector<std::uint8_t> png(kSignature.begin(), kSignature.end());
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", StoredZlib(ScanLines(image, scale)));
  PutChunk(png, "IEND", {});
  return png;
}

}  // namespace tidewell::icon
