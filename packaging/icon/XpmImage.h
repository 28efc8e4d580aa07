#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace tidewell::icon {

// One colour of an XPM palette: an opaque RGB value, or "None" for a see-through pixel.
struct Colour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool transparent = false;

  friend bool operator==(const Colour&, const Colour&) = default;
};

// A palette image as the XPM holds it: the colours in the order the file lists them and one
// palette index per pixel, row by row from the top. Keeping the indices (rather than flattening
// to RGBA) lets the .ico reuse the XPM's own palette order.
struct XpmImage {
  int width = 0;
  int height = 0;
  std::vector<Colour> palette;
  std::vector<std::uint8_t> pixels;

  const Colour& At(int x, int y) const {
    return palette[pixels[static_cast<std::size_t>(y) * width + x]];
  }
};

class XpmError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the XPM strings themselves, as a program that #includes the file sees them. Only the
// subset Tidewell draws in: one character per pixel, colours given as "c #RRGGBB" or "c None".
// Throws XpmError on anything else.
XpmImage ParseXpmLines(std::span<const char* const> lines);

// Reads XPM C source: the string literals in order, with comments skipped.
XpmImage ParseXpmSource(std::string_view source);

XpmImage ReadXpmFile(const std::filesystem::path& path);

}  // namespace tidewell::icon
