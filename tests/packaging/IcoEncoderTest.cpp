#include <gtest/gtest.h>

#include <stdexcept>

#include "IcoEncoder.h"
#include "IconDecoders.h"

namespace tidewell::icon {
namespace {

using testing::Bytes;
using testing::DecodedIco;
using testing::DecodeIco;
using testing::Rgba;

XpmImage Icon() { return ReadXpmFile(TIDEWELL_ICON_XPM_PATH); }

// Every pixel as the icon shows it: its colour where the mask is clear, nothing where it is set;
// and under a set mask bit the colour must be black, or Windows would tint the screen with it.
void ExpectSamePicture(const DecodedIco& ico, const XpmImage& image) {
  ASSERT_EQ(ico.pixels.size(), static_cast<std::size_t>(image.width * image.height));
  int mismatches = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * image.width + x;
      const Colour& want = image.At(x, y);
      const Rgba got = ico.pixels[i];
      const bool ok = want.transparent
                          ? ico.mask[i] && got == Rgba{0, 0, 0, 0}
                          : !ico.mask[i] && got == Rgba{want.red, want.green, want.blue, 255};
      if (!ok && ++mismatches <= 5) ADD_FAILURE() << "pixel " << x << "," << y << " differs";
    }
  }
  EXPECT_EQ(mismatches, 0);
}

XpmImage Solid(int width, int height, std::vector<Colour> palette,
               std::vector<std::uint8_t> pixels) {
  return XpmImage{width, height, std::move(palette), std::move(pixels)};
}

TEST(IcoEncoder, IconHeaderDescribesOne32By32SixteenColourImage) {
  const Bytes bytes = EncodeIco(Icon());
  const DecodedIco ico = DecodeIco(bytes);
  EXPECT_EQ(ico.reserved, 0);
  EXPECT_EQ(ico.type, 1);  // icon, not cursor
  EXPECT_EQ(ico.count, 1);
  EXPECT_EQ(ico.entry_width, 32);
  EXPECT_EQ(ico.entry_height, 32);
  EXPECT_EQ(ico.entry_colours, 16);
  EXPECT_EQ(ico.entry_planes, 1);
  EXPECT_EQ(ico.entry_bit_count, 4);
  EXPECT_EQ(ico.image_offset, 6u + 16u);  // straight after the directory
  EXPECT_EQ(ico.header_size, 40u);
  EXPECT_EQ(ico.bitmap_width, 32);
  EXPECT_EQ(ico.bitmap_height, 64);  // colour bitmap and mask, stacked
  EXPECT_EQ(ico.bitmap_planes, 1);
  EXPECT_EQ(ico.bitmap_bit_count, 4);
  EXPECT_EQ(ico.compression, 0u);
  EXPECT_EQ(ico.palette.size(), 16u);
  // 32 rows of 16 bytes of colour and 32 rows of 4 bytes of mask.
  EXPECT_EQ(ico.size_image, 32u * 16u + 32u * 4u);
  EXPECT_EQ(ico.bytes_in_resource, 40u + 16u * 4u + ico.size_image);
  EXPECT_EQ(bytes.size(), 6u + 16u + ico.bytes_in_resource);
  for (const Rgba& entry : ico.palette) EXPECT_EQ(entry[3], 0) << "RGBQUAD reserved byte";
}

TEST(IcoEncoder, IconBitmapsReproduceThePixelsAndTransparency) {
  const XpmImage icon = Icon();
  ExpectSamePicture(DecodeIco(EncodeIco(icon)), icon);
}

TEST(IcoEncoder, CommittedIcoIsWhatTheXpmMakes) {
  // The cross build ships packaging/icon/tidewell.ico as it is; if this fails, regenerate it:
  //   icon_convert ico packaging/icon/tidewell.xpm packaging/icon/tidewell.ico
  EXPECT_EQ(testing::ReadBytes(TIDEWELL_ICON_ICO_COMMITTED_PATH), EncodeIco(Icon()));
}

TEST(IcoEncoder, PadsRowsOfOddWidthsAndReadsBottomUp) {
  // 5 pixels: 3 bytes of colour and 1 of mask a row, each padded to 4.
  const std::vector<Colour> palette = {
      {.red = 200}, {.transparent = true}, {.green = 90, .blue = 7}};
  const XpmImage image = Solid(5, 3, palette,
                               {0, 1, 2, 0, 1,  //
                                2, 2, 2, 2, 2,  //
                                1, 0, 0, 0, 0});
  const DecodedIco ico = DecodeIco(EncodeIco(image));
  EXPECT_EQ(ico.size_image, 3u * 4u + 3u * 4u);
  ExpectSamePicture(ico, image);
}

TEST(IcoEncoder, KeepsTheXpmPaletteOrderAndAddsBlackForTransparency) {
  const std::vector<Colour> palette = {{.transparent = true}, {.red = 1}, {.green = 2}};
  const DecodedIco ico = DecodeIco(EncodeIco(Solid(2, 1, palette, {0, 2})));
  EXPECT_EQ(ico.palette[0], (Rgba{1, 0, 0, 0}));
  EXPECT_EQ(ico.palette[1], (Rgba{0, 2, 0, 0}));
  EXPECT_EQ(ico.palette[2], (Rgba{0, 0, 0, 0}));
  EXPECT_EQ(ico.indices[0], 2) << "transparent pixel not drawn in black";
  EXPECT_EQ(ico.indices[1], 1);
}

TEST(IcoEncoder, SixteenColoursFitOnlyIfBlackIsAmongThemOrNothingIsTransparent) {
  std::vector<Colour> sixteen;
  for (int i = 1; i <= 16; ++i) sixteen.push_back({.red = static_cast<std::uint8_t>(i * 15)});
  std::vector<std::uint8_t> all(16);
  for (std::uint8_t i = 0; i < 16; ++i) all[i] = i;

  const XpmImage opaque = Solid(16, 1, sixteen, all);
  ExpectSamePicture(DecodeIco(EncodeIco(opaque)), opaque);

  std::vector<Colour> with_none = sixteen;
  with_none.push_back({.transparent = true});
  all.push_back(16);
  EXPECT_THROW(EncodeIco(Solid(17, 1, with_none, all)), std::invalid_argument);

  with_none[0] = {};  // black: the transparent pixels can share its slot
  const XpmImage shared = Solid(17, 1, with_none, all);
  ExpectSamePicture(DecodeIco(EncodeIco(shared)), shared);
}

TEST(IcoEncoder, RejectsSeventeenColoursAndOversizeImages) {
  std::vector<Colour> seventeen;
  std::vector<std::uint8_t> all;
  for (int i = 0; i < 17; ++i) {
    seventeen.push_back({.blue = static_cast<std::uint8_t>(i)});
    all.push_back(static_cast<std::uint8_t>(i));
  }
  EXPECT_THROW(EncodeIco(Solid(17, 1, seventeen, all)), std::invalid_argument);
  EXPECT_THROW(EncodeIco(Solid(257, 1, {{}}, std::vector<std::uint8_t>(257))),
               std::invalid_argument);
}

TEST(IcoDecoderForTests, NoticesInconsistentSizes) {
  Bytes bytes = EncodeIco(Icon());
  ASSERT_NO_THROW(DecodeIco(bytes));
  Bytes shorter(bytes.begin(), bytes.end() - 1);
  EXPECT_THROW(DecodeIco(shorter), std::runtime_error);
  Bytes moved = bytes;
  moved[18] += 1;  // image offset
  EXPECT_THROW(DecodeIco(moved), std::runtime_error);
}

}  // namespace
}  // namespace tidewell::icon
