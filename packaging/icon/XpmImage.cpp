#include "XpmImage.h"

#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

namespace tidewell::icon {
namespace {

// Sizes past these are not an icon; refusing them keeps a typo from allocating gigabytes.
constexpr int kMaxSide = 1024;
// Pixels hold their palette index in one byte.
constexpr int kMaxColours = 256;

struct Header {
  int width = 0;
  int height = 0;
  int colours = 0;
};

Header ParseHeader(const char* line) {
  std::istringstream in(line);
  Header header;
  int chars_per_pixel = 0;
  if (!(in >> header.width >> header.height >> header.colours >> chars_per_pixel)) {
    throw XpmError("XPM header is not \"width height colours chars-per-pixel\"");
  }
  if (header.width < 1 || header.height < 1 || header.width > kMaxSide ||
      header.height > kMaxSide) {
    throw XpmError("XPM size out of range");
  }
  if (header.colours < 1 || header.colours > kMaxColours) {
    throw XpmError("XPM colour count out of range");
  }
  if (chars_per_pixel != 1) {
    throw XpmError("only XPMs with one character per pixel are supported");
  }
  return header;
}

std::optional<int> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

bool IsNone(std::string_view value) {
  constexpr std::string_view kNone = "none";
  if (value.size() != kNone.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) != kNone[i]) return false;
  }
  return true;
}

Colour ParseColourValue(std::string_view value) {
  if (IsNone(value)) return Colour{.transparent = true};
  if (value.size() != 7 || value[0] != '#') {
    throw XpmError("XPM colour must be #RRGGBB or None, got \"" + std::string(value) + "\"");
  }
  std::array<std::uint8_t, 3> channels{};
  for (std::size_t i = 0; i < channels.size(); ++i) {
    const auto high = HexDigit(value[1 + 2 * i]);
    const auto low = HexDigit(value[2 + 2 * i]);
    if (!high || !low) throw XpmError("XPM colour has a non-hex digit: " + std::string(value));
    channels[i] = static_cast<std::uint8_t>(*high * 16 + *low);
  }
  return Colour{.red = channels[0], .green = channels[1], .blue = channels[2]};
}

// A colour line is "<char> c <value>"; the character itself may be a space.
Colour ParseColourLine(std::string_view line) {
  std::istringstream in{std::string(line.substr(1))};
  std::string key;
  std::string value;
  std::string extra;
  if (!(in >> key >> value) || key != "c" || (in >> extra)) {
    throw XpmError("XPM colour line must be \"<char> c <colour>\": \"" + std::string(line) + "\"");
  }
  return ParseColourValue(value);
}

}  // namespace

XpmImage ParseXpmLines(std::span<const char* const> lines) {
  if (lines.empty() || lines[0] == nullptr) throw XpmError("XPM has no header");
  const Header header = ParseHeader(lines[0]);
  const std::size_t expected = 1 + static_cast<std::size_t>(header.colours) + header.height;
  if (lines.size() != expected) {
    throw XpmError("XPM has " + std::to_string(lines.size()) + " strings, expected " +
                   std::to_string(expected));
  }

  XpmImage image;
  image.width = header.width;
  image.height = header.height;

  // Which palette index each pixel character stands for; -1 where it stands for none.
  std::array<int, 256> index_of;
  index_of.fill(-1);
  for (int i = 0; i < header.colours; ++i) {
    const std::string_view line = lines[1 + i];
    if (line.empty()) throw XpmError("XPM colour line is empty");
    const auto symbol = static_cast<unsigned char>(line[0]);
    if (index_of[symbol] != -1) throw XpmError("XPM colour character used twice");
    index_of[symbol] = i;
    image.palette.push_back(ParseColourLine(line));
  }

  image.pixels.reserve(static_cast<std::size_t>(header.width) * header.height);
  for (int y = 0; y < header.height; ++y) {
    const std::string_view row = lines[1 + header.colours + y];
    if (row.size() != static_cast<std::size_t>(header.width)) {
      throw XpmError("XPM row " + std::to_string(y) + " is not " + std::to_string(header.width) +
                     " pixels wide");
    }
    for (const char c : row) {
      const int index = index_of[static_cast<unsigned char>(c)];
      if (index < 0) throw XpmError(std::string("XPM pixel uses undefined colour '") + c + "'");
      image.pixels.push_back(static_cast<std::uint8_t>(index));
    }
  }
  return image;
}

XpmImage ParseXpmSource(std::string_view source) {
  // Each string literal is one XPM string; comments may hold quotes, so they are skipped whole.
  std::vector<std::string> strings;
  std::size_t i = 0;
  while (i < source.size()) {
    if (source.substr(i, 2) == "/*") {
      const std::size_t end = source.find("*/", i + 2);
      if (end == std::string_view::npos) throw XpmError("XPM source has an unclosed comment");
      i = end + 2;
    } else if (source.substr(i, 2) == "//") {
      i = source.find('\n', i);
    } else if (source[i] == '"') {
      std::string text;
      for (++i; i < source.size() && source[i] != '"'; ++i) {
        if (source[i] == '\n') throw XpmError("XPM source has an unclosed string");
        if (source[i] == '\\' && i + 1 < source.size()) ++i;
        text += source[i];
      }
      if (i >= source.size()) throw XpmError("XPM source has an unclosed string");
      ++i;
      strings.push_back(std::move(text));
    } else {
      ++i;
    }
  }
  std::vector<const char*> lines;
  lines.reserve(strings.size());
  for (const std::string& s : strings) lines.push_back(s.c_str());
  return ParseXpmLines(lines);
}

XpmImage ReadXpmFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw XpmError("cannot open " + path.string());
  const std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return ParseXpmSource(source);
}

}  // namespace tidewell::icon
