// The icon files the build makes from tidewell.xpm, read back with ImageMagick and icoutils: the
// PNGs the desktop entry shows and the .ico the Windows programs embed (the committed copy).

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ShellOutput.h"

namespace {

using tidewell::test::OutputOf;

namespace fs = std::filesystem;

const std::string kConvert = TIDEWELL_CONVERT_PATH;
const std::string kIcotool = TIDEWELL_ICOTOOL_PATH;
const fs::path kXpm = TIDEWELL_ICON_XPM_PATH;
const fs::path kCommittedIco = TIDEWELL_ICON_ICO_COMMITTED_PATH;
// Empty when the build made no icons, for want of convert or icotool; these tests then skip.
const fs::path kMadeIcons = TIDEWELL_ICON_BUILD_DIR;
constexpr const char* kNoTools = "the build made no icons (convert or icotool missing)";

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

std::vector<char> BytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The number of pixels that differ between two pictures ImageMagick can read (arguments already
// quoted, and may be parenthesised operations), alpha included.
long PixelsThatDiffer(const std::string& first, const std::string& second) {
  const std::string text = OutputOf(kConvert + " " + first + " " + second +
                                    " -metric AE -compare -format '%[distortion]' info:");
  return text.empty() ? -1 : std::stol(text);
}

// One pixel as "#RRGGBBAA", in the XPM's coordinates: the top left of its block in a picture
// enlarged `scale` times.
std::string PixelAt(const fs::path& picture, int x, int y, int scale) {
  std::ostringstream crop;
  crop << "1x1+" << x * scale << "+" << y * scale;
  const std::string text = OutputOf(kConvert + " " + Quoted(picture) + " -crop " + crop.str() +
                                    " -depth 8 -format '#%[hex:p{0,0}]' info:");
  return text;
}

struct IconFile {
  const char* name;  // in the build folder
  int side;
};

std::ostream& operator<<(std::ostream& out, const IconFile& file) { return out << file.name; }

class MadeIcon : public ::testing::TestWithParam<IconFile> {
 protected:
  void SetUp() override {
    if (kMadeIcons.empty()) GTEST_SKIP() << kNoTools;
    file_ = kMadeIcons / GetParam().name;
    scale_ = GetParam().side / 32;
  }
  fs::path file_;
  int scale_ = 1;
};

TEST_P(MadeIcon, IsASquareOfTheSizeItsNameSays) {
  const int side = GetParam().side;
  EXPECT_EQ(OutputOf(kConvert + " " + Quoted(file_) + " -format '%w %h %A' info:"),
            std::to_string(side) + " " + std::to_string(side) + " True");
}

// Worked values, read off tidewell.xpm's rows and palette: a wrong colour, a shifted or
// flipped picture, or lost transparency changes at least one of them.
TEST_P(MadeIcon, ShowsTheXpmsColoursWhereTheXpmHasThem) {
  struct Expected {
    int x, y;
    const char* rgba;
  };
  const Expected pixels[] = {
      {0, 0, "#00000000"},   {31, 31, "#00000000"},  // transparent corners
      {13, 1, "#2A1A06FF"},                          // dark outline, at the top
      {15, 2, "#EDC65CFF"},  {16, 2, "#8C5E12FF"},   // light and dark brass
      {3, 4, "#FFF1B8FF"},   {8, 4, "#C99A2EFF"},    // the left bell
      {13, 9, "#C9CFDAFF"},  {12, 11, "#7090E6FF"},  // rim shadow, small hour mark
      {8, 16, "#1C3EBEFF"},  {9, 16, "#FFFFFFFF"},   // nine o'clock mark, face
      {15, 16, "#E3151DFF"}, {17, 16, "#000000FF"},  // centre, hour hand
  };
  for (const Expected& pixel : pixels) {
    const std::string got = PixelAt(file_, pixel.x, pixel.y, scale_);
    // A transparent pixel's colour is not shown; the .ico's own check below pins it to black.
    if (std::string(pixel.rgba).ends_with("00")) {
      EXPECT_TRUE(got.ends_with("00")) << pixel.x << "," << pixel.y << " is " << got;
    } else {
      EXPECT_EQ(got, pixel.rgba) << "at " << pixel.x << "," << pixel.y;
    }
  }
}

TEST_P(MadeIcon, EqualsTheXpmPixelForPixelAndStaysSharp) {
  const std::string side = std::to_string(GetParam().side);
  // Each pixel of the XPM repeated scale x scale times: no blur, no shift, nothing else.
  EXPECT_EQ(PixelsThatDiffer(Quoted(file_),
                             "\\( " + Quoted(kXpm) + " -sample " + side + "x" + side + " \\)"),
            0);
}

INSTANTIATE_TEST_SUITE_P(Icons, MadeIcon,
                         ::testing::Values(IconFile{"tidewell.ico", 32},
                                           IconFile{"tidewell-32.png", 32},
                                           IconFile{"tidewell-64.png", 64},
                                           IconFile{"tidewell-128.png", 128}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(CommittedIco, IsWhatTheXpmMakes) {
  // The Windows build embeds packaging/icon/tidewell.ico as it is; if this fails, copy the
  // build's packaging/icon/tidewell.ico over it.
  if (kMadeIcons.empty()) GTEST_SKIP() << kNoTools;
  EXPECT_EQ(BytesOf(kCommittedIco), BytesOf(kMadeIcons / "tidewell.ico"));
}

TEST(CommittedIco, HoldsOne32By32PictureOf16Colours) {
  // The classic format every Windows version draws: 4 bits a pixel with a 1-bit mask.
  if (kMadeIcons.empty()) GTEST_SKIP() << kNoTools;
  EXPECT_EQ(OutputOf(kIcotool + " --list " + Quoted(kCommittedIco)),
            "--icon --index=1 --width=32 --height=32 --bit-depth=4 --palette-size=16\n");
}

TEST(CommittedIco, IsBlackUnderItsTransparentPixels) {
  // Windows draws an icon as (screen AND mask) XOR colour: any other colour under the mask
  // would tint the desktop behind the transparent parts.
  if (kMadeIcons.empty()) GTEST_SKIP() << kNoTools;
  const std::string ico = Quoted(kCommittedIco);
  EXPECT_EQ(
      PixelsThatDiffer(ico + " -alpha off", "\\( " + ico + " -background black -alpha remove \\)"),
      0);
}

}  // namespace
