#include "IcoEncoder.h"

#include <algorithm>
#include <stdexcept>

namespace tidewell::icon {
namespace {

constexpr int kMaxSide = 256;
constexpr std::size_t kPaletteSize = 16;
constexpr std::uint16_t kBitsPerPixel = 4;
constexpr std::uint32_t kIconDirSize = 6;
constexpr std::uint32_t kIconDirEntrySize = 16;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr Colour kBlack{};

void PutLittleEndian16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLittleEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Bitmap rows are padded to whole 32-bit words.
std::uint32_t RowBytes(int width, int bits_per_pixel) {
  return static_cast<std::uint32_t>((width * bits_per_pixel + 31) / 32 * 4);
}

// The .ico palette and, for each XPM palette index, its slot in it. Windows draws an icon as
// (screen AND mask) XOR colour, so under a set mask bit the colour must be black or it would
// tint whatever lies behind: transparent pixels take black's slot, added if the XPM has none.
struct IcoPalette {
  std::vector<Colour> colours;
  std::vector<std::uint8_t> slot_of;
};

IcoPalette BuildPalette(const XpmImage& image) {
  IcoPalette palette;
  for (const Colour& c : image.palette) {
    if (!c.transparent) palette.colours.push_back(c);
  }
  const bool has_transparent = std::any_of(image.palette.begin(), image.palette.end(),
                                           [](const Colour& c) { return c.transparent; });
  if (has_transparent &&
      std::find(palette.colours.begin(), palette.colours.end(), kBlack) == palette.colours.end()) {
    palette.colours.push_back(kBlack);
  }
  if (palette.colours.size() > kPaletteSize) {
    throw std::invalid_argument("a 16-colour icon cannot hold this image's colours");
  }
  for (const Colour& c : image.palette) {
    const Colour& wanted = c.transparent ? kBlack : c;
    const auto at = std::find(palette.colours.begin(), palette.colours.end(), wanted);
    palette.slot_of.push_back(static_cast<std::uint8_t>(at - palette.colours.begin()));
  }
  palette.colours.resize(kPaletteSize, kBlack);
  return palette;
}

void PutPalette(std::vector<std::uint8_t>& out, const IcoPalette& palette) {
  for (const Colour& c : palette.colours) out.insert(out.end(), {c.blue, c.green, c.red, 0});
}

// Two pixels a byte, the left one in the high nibble; rows from the bottom up.
void PutColourBitmap(std::vector<std::uint8_t>& out, const XpmImage& image,
                     const IcoPalette& palette) {
  const std::uint32_t row_bytes = RowBytes(image.width, kBitsPerPixel);
  for (int y = image.height - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(row_bytes, 0);
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t slot =
          palette.slot_of[image.pixels[static_cast<std::size_t>(y) * image.width + x]];
      row[x / 2] |= static_cast<std::uint8_t>(x % 2 == 0 ? slot << 4 : slot);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
}

// One bit a pixel, most significant first, set where the screen shows through; bottom-up.
void PutMask(std::vector<std::uint8_t>& out, const XpmImage& image) {
  const std::uint32_t row_bytes = RowBytes(image.width, 1);
  for (int y = image.height - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(row_bytes, 0);
    for (int x = 0; x < image.width; ++x) {
      if (image.At(x, y).transparent) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
}

}  // namespace

std::vector<std::uint8_t> EncodeIco(const XpmImage& image) {
  if (image.width < 1 || image.height < 1 || image.width > kMaxSide || image.height > kMaxSide) {
    throw std::invalid_argument("an icon is 1 to 256 pixels a side");
  }
  const IcoPalette palette = BuildPalette(image);
  const std::uint32_t colour_bytes = RowBytes(image.width, kBitsPerPixel) * image.height;
  const std::uint32_t mask_bytes = RowBytes(image.width, 1) * image.height;
  const std::uint32_t image_bytes = kInfoHeaderSize + kPaletteSize * 4 + colour_bytes + mask_bytes;

  std::vector<std::uint8_t> ico;
  // ICONDIR: reserved, type 1 (icon), one image.
  PutLittleEndian16(ico, 0);
  PutLittleEndian16(ico, 1);
  PutLittleEndian16(ico, 1);
  // ICONDIRENTRY: a side of 256 is written as 0.
  ico.push_back(static_cast<std::uint8_t>(image.width % 256));
  ico.push_back(static_cast<std::uint8_t>(image.height % 256));
  ico.push_back(static_cast<std::uint8_t>(kPaletteSize));
  ico.push_back(0);
  PutLittleEndian16(ico, 1);  // planes
  PutLittleEndian16(ico, kBitsPerPixel);
  PutLittleEndian32(ico, image_bytes);
  PutLittleEndian32(ico, kIconDirSize + kIconDirEntrySize);

  // BITMAPINFOHEADER: the height covers the colour bitmap and the mask stacked.
  PutLittleEndian32(ico, kInfoHeaderSize);
  PutLittleEndian32(ico, static_cast<std::uint32_t>(image.width));
  PutLittleEndian32(ico, static_cast<std::uint32_t>(image.height * 2));
  PutLittleEndian16(ico, 1);  // planes
  PutLittleEndian16(ico, kBitsPerPixel);
  PutLittleEndian32(ico, 0);  // BI_RGB, uncompressed
  PutLittleEndian32(ico, colour_bytes + mask_bytes);
  PutLittleEndian32(ico, 0);             // horizontal resolution: unused for icons
  PutLittleEndian32(ico, 0);             // vertical resolution
  PutLittleEndian32(ico, kPaletteSize);  // colours used
  PutLittleEndian32(ico, 0);             // colours important: all

  PutPalette(ico, palette);
  PutColourBitmap(ico, image, palette);
  PutMask(ico, image);
  return ico;
}

}  // namespace tidewell::icon
