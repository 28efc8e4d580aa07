#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "XpmImage.h"

// The icon as larkspan compiles it in; including it here also proves that it is valid C++.
#include "tidewell.xpm"

namespace tidewell::icon {
namespace {

constexpr int kIconSide = 32;
constexpr std::size_t kMaxOpaqueColours = 16;

XpmImage CommittedIcon() { return ReadXpmFile(TIDEWELL_ICON_XPM_PATH); }

// The colours that pixels of the picture actually use.
std::vector<Colour> UsedColours(const XpmImage& image) {
  std::set<std::uint8_t> used(image.pixels.begin(), image.pixels.end());
  std::vector<Colour> colours;
  for (const std::uint8_t index : used) colours.push_back(image.palette[index]);
  return colours;
}

TEST(TidewellIcon, Is32By32WithAtMostSixteenOpaqueColoursAndTransparency) {
  const XpmImage icon = CommittedIcon();
  EXPECT_EQ(icon.width, kIconSide);
  EXPECT_EQ(icon.height, kIconSide);
  ASSERT_EQ(icon.pixels.size(), static_cast<std::size_t>(kIconSide * kIconSide));
  std::size_t opaque = 0;
  std::size_t transparent = 0;
  for (const Colour& c : icon.palette) (c.transparent ? transparent : opaque)++;
  EXPECT_LE(opaque, kMaxOpaqueColours);
  EXPECT_EQ(transparent, 1u);
}

TEST(TidewellIcon, IsTransparentAroundThePicture) {
  const XpmImage icon = CommittedIcon();
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{
           {0, 0}, {kIconSide - 1, 0}, {0, kIconSide - 1}, {kIconSide - 1, kIconSide - 1}}) {
    EXPECT_TRUE(icon.At(x, y).transparent) << "corner " << x << "," << y;
  }
  for (int x = 0; x < kIconSide; ++x) {
    EXPECT_TRUE(icon.At(x, 0).transparent) << "top row, x " << x;
  }
  for (int y = 0; y < kIconSide; ++y) {
    EXPECT_TRUE(icon.At(0, y).transparent) << "left column, y " << y;
    EXPECT_TRUE(icon.At(kIconSide - 1, y).transparent) << "right column, y " << y;
  }
}

TEST(TidewellIcon, HasARedCentre) {
  const XpmImage icon = CommittedIcon();
  const Colour& centre = icon.At(kIconSide / 2, kIconSide / 2);
  EXPECT_FALSE(centre.transparent);
  EXPECT_GE(centre.red, 180);
  EXPECT_LE(centre.green, 80);
  EXPECT_LE(centre.blue, 80);
}

// The picture is described in words: brass case, white face, blue marks, black hands. A
// palette edit that lost one of them would still parse, so look for each among the pixels.
TEST(TidewellIcon, UsesTheColoursOfItsDescription) {
  const std::vector<Colour> used = UsedColours(CommittedIcon());
  auto any = [&](auto predicate) {
    return std::any_of(used.begin(), used.end(),
                       [&](const Colour& c) { return !c.transparent && predicate(c); });
  };
  EXPECT_TRUE(any([](const Colour& c) { return c.red == 255 && c.green == 255 && c.blue == 255; }))
      << "no white face";
  EXPECT_TRUE(any([](const Colour& c) { return c.red + c.green + c.blue < 48; })) << "no black";
  EXPECT_TRUE(any([](const Colour& c) { return c.blue > 150 && c.blue > c.red + 80; }))
      << "no blue marks";
  EXPECT_TRUE(any([](const Colour& c) {
    return c.red > 150 && c.red > c.green && c.green > c.blue + 60;
  })) << "no brass";
}

TEST(TidewellIcon, CompiledArrayIsTheSamePictureAsTheFile) {
  const XpmImage compiled = ParseXpmLines(tidewell_xpm);
  const XpmImage file = CommittedIcon();
  EXPECT_EQ(compiled.width, file.width);
  EXPECT_EQ(compiled.height, file.height);
  EXPECT_EQ(compiled.palette, file.palette);
  EXPECT_EQ(compiled.pixels, file.pixels);
}

XpmImage Parse(std::vector<const char*> lines) { return ParseXpmLines(lines); }

TEST(XpmParser, ReadsColoursAndIndices) {
  const XpmImage image = Parse({"3 2 3 1", "  c None", ". c #FF8000", "x c #0a0B0c", " .x", "x. "});
  ASSERT_EQ(image.width, 3);
  ASSERT_EQ(image.height, 2);
  EXPECT_TRUE(image.At(0, 0).transparent);
  EXPECT_EQ(image.At(1, 0), (Colour{.red = 0xFF, .green = 0x80, .blue = 0x00}));
  EXPECT_EQ(image.At(2, 0), (Colour{.red = 0x0A, .green = 0x0B, .blue = 0x0C}));
  EXPECT_EQ(image.At(0, 1), image.At(2, 0));
  EXPECT_TRUE(image.At(2, 1).transparent);
}

TEST(XpmParser, NoneIsCaseInsensitive) {
  EXPECT_TRUE(Parse({"1 1 1 1", "a c none", "a"}).At(0, 0).transparent);
  EXPECT_TRUE(Parse({"1 1 1 1", "a c NONE", "a"}).At(0, 0).transparent);
}

TEST(XpmParser, RejectsWhatItDoesNotSupportOrWhatIsBroken) {
  EXPECT_THROW(Parse({"2 1 1 2", "aa c #000000", "aaaa"}), XpmError);  // two chars per pixel
  EXPECT_THROW(Parse({"2 1 1 1", "a c #000000", "a"}), XpmError);      // short row
  EXPECT_THROW(Parse({"2 1 1 1", "a c #000000", "aaa"}), XpmError);    // long row
  EXPECT_THROW(Parse({"1 1 1 1", "a c #000000", "b"}), XpmError);      // undefined colour
  EXPECT_THROW(Parse({"1 1 1 1", "a c #00000", "a"}), XpmError);       // five digits
  EXPECT_THROW(Parse({"1 1 1 1", "a c #00000g", "a"}), XpmError);      // not hex
  EXPECT_THROW(Parse({"1 1 1 1", "a c red", "a"}), XpmError);          // named colour
  EXPECT_THROW(Parse({"1 1 1 1", "a m #000000", "a"}), XpmError);      // no c key
  EXPECT_THROW(Parse({"1 1 2 1", "a c #000000", "a c #FFFFFF", "a"}), XpmError);  // twice
  EXPECT_THROW(Parse({"1 2 1 1", "a c #000000", "a"}), XpmError);                 // row missing
  EXPECT_THROW(Parse({"1 1 1 1", "a c #000000", "a", "a"}), XpmError);            // extra string
  EXPECT_THROW(Parse({"0 1 1 1", "a c #000000"}), XpmError);                      // empty
  EXPECT_THROW(Parse({"one 1 1 1", "a c #000000", "a"}), XpmError);               // not a number
  EXPECT_THROW(Parse({}), XpmError);
}

TEST(XpmParser, SourceSkipsCommentsAndReadsEscapes) {
  const XpmImage image = ParseXpmSource(R"(/* XPM */
/* a "quoted" word in a comment is not a string */
static const char* x_xpm[] = {
// nor is "this"
"2 1 2 1",
"\" c #112233",
"\\ c None",
"\"\\"};
)");
  ASSERT_EQ(image.width, 2);
  EXPECT_EQ(image.At(0, 0), (Colour{.red = 0x11, .green = 0x22, .blue = 0x33}));
  EXPECT_TRUE(image.At(1, 0).transparent);
}

TEST(XpmParser, SourceRejectsUnclosedStringOrComment) {
  EXPECT_THROW(ParseXpmSource("\"1 1 1 1\", \"a c #000000\", \"a"), XpmError);
  EXPECT_THROW(ParseXpmSource("\"1 1 1 1\", \"a c #000000\", \"a\" /* end"), XpmError);
}

TEST(XpmParser, MissingFileIsAnError) {
  EXPECT_THROW(ReadXpmFile("/nonexistent/tidewell.xpm"), XpmError);
}

}  // namespace
}  // namespace tidewell::icon
