// icon_convert: turns Tidewell's XPM icon into the files the desktops want, at build time.
//
//   icon_convert png IN.xpm OUT.png [SCALE]   RGBA PNG, each pixel SCALE x SCALE (default 1)
//   icon_convert ico IN.xpm OUT.ico           Windows icon, one 16-colour picture
//
// It runs on the build machine only, so it stays free of image libraries.

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "IcoEncoder.h"
#include "PngEncoder.h"
#include "XpmImage.h"

namespace {

constexpr std::string_view kUsage =
    "usage: icon_convert png IN.xpm OUT.png [SCALE]\n"
    "       icon_convert ico IN.xpm OUT.ico\n";

bool ParseScale(std::string_view text, int& scale) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), scale);
  return error == std::errc() && end == text.data() + text.size() && scale >= 1 &&
         scale <= tidewell::icon::kMaxPngScale;
}

// Writes the whole file or reports why not; a half-written icon must not pass for a good one.
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::cerr << "icon_convert: cannot write " << path << "\n";
    // Left behind, a partial file would look newer than its XPM and the build would keep it.
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return false;
  }
  return true;
}

int Run(const std::vector<std::string_view>& args) {
  const bool png = args.size() >= 3 && args[0] == "png" && args.size() <= 4;
  const bool ico = args.size() == 3 && args[0] == "ico";
  int scale = 1;
  if ((!png && !ico) || (png && args.size() == 4 && !ParseScale(args[3], scale))) {
    std::cerr << kUsage << "SCALE is a whole number from 1 to " << tidewell::icon::kMaxPngScale
              << "\n";
    return 2;
  }
  const auto image = tidewell::icon::ReadXpmFile(std::string(args[1]));
  const auto bytes =
      png ? tidewell::icon::EncodePng(image, scale) : tidewell::icon::EncodeIco(image);
  return WriteFile(std::string(args[2]), bytes) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    return Run(args);
  } catch (const std::exception& e) {
    std::cerr << "icon_convert: " << e.what() << "\n";
    return 1;
  }
}
