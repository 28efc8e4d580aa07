#include <gtest/gtest.h>

#include <stdexcept>
#include <string_view>

#include "IconDecoders.h"
#include "PngEncoder.h"

namespace tidewell::icon {
namespace {

using testing::Bytes;
using testing::DecodedPng;
using testing::DecodePng;
using testing::Rgba;

Bytes Ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The pixel an encoder should write for a palette colour.
Rgba Expected(const Colour& c) {
  if (c.transparent) return {0, 0, 0, 0};
  return {c.red, c.green, c.blue, 255};
}

void ExpectSamePicture(const DecodedPng& png, const XpmImage& image, int scale) {
  ASSERT_EQ(png.width, static_cast<std::uint32_t>(image.width * scale));
  ASSERT_EQ(png.height, static_cast<std::uint32_t>(image.height * scale));
  int mismatches = 0;
  for (std::uint32_t y = 0; y < png.height; ++y) {
    for (std::uint32_t x = 0; x < png.width; ++x) {
      const Rgba want =
          Expected(image.At(static_cast<int>(x) / scale, static_cast<int>(y) / scale));
      if (png.pixels[y * png.width + x] != want && ++mismatches <= 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << " differs at scale " << scale;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// An image with every pixel different enough that a shifted row or swapped channel shows.
XpmImage Gradient(int width, int height) {
  XpmImage image;
  image.width = width;
  image.height = height;
  image.palette = {{.transparent = true},
                   {.red = 10, .green = 200, .blue = 30},
                   {.red = 250, .green = 5, .blue = 128},
                   {.red = 1, .green = 2, .blue = 3}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      image.pixels.push_back(static_cast<std::uint8_t>((x * 3 + y) % 4));
  }
  return image;
}

TEST(Checksums, MatchTheirPublishedCheckValues) {
  // The check values that the CRC-32 and Adler-32 definitions give for these texts.
  EXPECT_EQ(Crc32(Ascii("123456789")), 0xCBF43926u);
  EXPECT_EQ(Adler32(Ascii("Wikipedia")), 0x11E60398u);
  EXPECT_EQ(Crc32({}), 0u);
  EXPECT_EQ(Adler32({}), 1u);
}

TEST(Checksums, AgreeWithTheTestsOwnVersionsOnLongInput) {
  // Long enough for Adler's sums to wrap their modulus many times.
  Bytes data(300000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(255 - i % 7);
  EXPECT_EQ(Crc32(data), testing::BitwiseCrc32(data.data(), data.size()));
  EXPECT_EQ(Adler32(data), testing::PlainAdler32(data));
}

TEST(PngEncoder, IconDecodesToTheSamePixels) {
  const XpmImage icon = ReadXpmFile(TIDEWELL_ICON_XPM_PATH);
  for (const int scale : {1, 2, 4}) {
    SCOPED_TRACE(scale);
    ExpectSamePicture(DecodePng(EncodePng(icon, scale)), icon, scale);
  }
}

TEST(PngEncoder, SplitsLargeDataIntoSeveralStoredBlocks) {
  // 200 x 100 RGBA is 80,100 bytes with the filter bytes: more than one stored block holds.
  const XpmImage image = Gradient(200, 100);
  const DecodedPng png = DecodePng(EncodePng(image));
  EXPECT_EQ(png.stored_blocks, 2);
  ExpectSamePicture(png, image, 1);
}

TEST(PngEncoder, DataOfExactlyOneFullBlockTakesOneBlock) {
  // 255 rows of 1 + 4 x 64 bytes are 65,535 bytes: a full stored block, and no empty one after.
  const XpmImage full = Gradient(64, 255);
  const XpmImage over = Gradient(64, 256);
  const DecodedPng one = DecodePng(EncodePng(full));
  EXPECT_EQ(one.stored_blocks, 1);
  ExpectSamePicture(one, full, 1);
  const DecodedPng two = DecodePng(EncodePng(over));
  EXPECT_EQ(two.stored_blocks, 2);
  ExpectSamePicture(two, over, 1);
}

TEST(PngEncoder, RejectsScalesOutOfRange) {
  const XpmImage image = Gradient(2, 2);
  EXPECT_THROW(EncodePng(image, 0), std::invalid_argument);
  EXPECT_THROW(EncodePng(image, kMaxPngScale + 1), std::invalid_argument);
  EXPECT_NO_THROW(EncodePng(image, kMaxPngScale));
}

TEST(PngDecoderForTests, NoticesACorruptedChunk) {
  // The checks above are only worth something if the decoder does fail on a bad file.
  const XpmImage image = Gradient(4, 4);
  Bytes png = EncodePng(image);
  ASSERT_NO_THROW(DecodePng(png));
  Bytes flipped = png;
  flipped[40] ^= 0x01;  // inside the IDAT data
  EXPECT_THROW(DecodePng(flipped), std::runtime_error);
  Bytes truncated(png.begin(), png.end() - 12);  // IEND gone
  EXPECT_THROW(DecodePng(truncated), std::runtime_error);
}

}  // namespace
}  // namespace tidewell::icon
