#include "IconDecoders.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace tidewell::icon::testing {
namespace {

void Require(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

// A cursor over the file that refuses to read past its end.
class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}

  std::uint8_t U8() {
    Require(pos_ < bytes_.size(), "file ends early at byte " + std::to_string(pos_));
    return bytes_[pos_++];
  }
  std::uint16_t U16Le() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
  std::uint32_t U32Le() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(U8()) << (8 * i);
    return v;
  }
  std::uint32_t U32Be() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | U8();
    return v;
  }
  Bytes Take(std::size_t n) {
    Require(n <= bytes_.size() - pos_, "file ends inside a " + std::to_string(n) + "-byte field");
    Bytes out(bytes_.begin() + pos_, bytes_.begin() + pos_ + n);
    pos_ += n;
    return out;
  }
  std::size_t pos() const { return pos_; }
  void Seek(std::size_t pos) {
    Require(pos <= bytes_.size(), "offset past the end of the file");
    pos_ = pos;
  }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  const Bytes& bytes_;
  std::size_t pos_ = 0;
};

// Undoes a zlib stream made of stored deflate blocks only.
Bytes InflateStored(const Bytes& zlib, int& blocks) {
  Reader in(zlib);
  const std::uint8_t cmf = in.U8();
  const std::uint8_t flg = in.U8();
  Require((cmf & 0x0F) == 8, "zlib method is not deflate");
  Require((cmf >> 4) <= 7, "zlib window larger than 32 KiB");
  Require((cmf * 256 + flg) % 31 == 0, "zlib header check fails");
  Require((flg & 0x20) == 0, "zlib preset dictionary is not allowed in PNG");
  Bytes out;
  blocks = 0;
  for (bool final = false; !final;) {
    const std::uint8_t head = in.U8();
    final = (head & 1) != 0;
    Require(((head >> 1) & 3) == 0, "deflate block is compressed; expected stored blocks");
    const std::uint16_t len = in.U16Le();
    const std::uint16_t nlen = in.U16Le();
    Require(static_cast<std::uint16_t>(~len) == nlen, "stored block NLEN is not ~LEN");
    const Bytes data = in.Take(len);
    out.insert(out.end(), data.begin(), data.end());
    ++blocks;
  }
  Require(in.U32Be() == PlainAdler32(out), "Adler-32 of the image data does not match");
  Require(in.AtEnd(), "bytes after the zlib stream");
  return out;
}

Rgba PaletteColour(const std::vector<Rgba>& palette, std::size_t index) {
  Require(index < palette.size(), "pixel index outside the palette");
  return palette[index];
}

}  // namespace

std::uint32_t BitwiseCrc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::uint32_t PlainAdler32(const Bytes& data) {
  std::uint64_t a = 1;
  std::uint64_t b = 0;
  for (const std::uint8_t byte : data) {
    a += byte;
    b += a;
    a %= 65521;
    b %= 65521;
  }
  return static_cast<std::uint32_t>(b << 16 | a);
}

DecodedPng DecodePng(const Bytes& png) {
  static const Bytes kSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  Reader in(png);
  Require(in.Take(8) == kSignature, "PNG signature is wrong");

  DecodedPng decoded;
  Bytes zlib;
  std::vector<std::string> types;
  while (!in.AtEnd()) {
    const std::uint32_t length = in.U32Be();
    const std::size_t start = in.pos();
    const Bytes type_bytes = in.Take(4);
    const Bytes data = in.Take(length);
    const std::uint32_t crc = in.U32Be();
    const std::string type(type_bytes.begin(), type_bytes.end());
    Require(crc == BitwiseCrc32(png.data() + start, 4 + length), "CRC of " + type + " is wrong");
    types.push_back(type);
    if (type == "IHDR") {
      Require(types.size() == 1, "IHDR is not the first chunk");
      Require(length == 13, "IHDR is not 13 bytes");
      Reader ihdr(data);
      decoded.width = ihdr.U32Be();
      decoded.height = ihdr.U32Be();
      Require(ihdr.U8() == 8, "bit depth is not 8");
      Require(ihdr.U8() == 6, "colour type is not RGBA");
      Require(ihdr.U8() == 0, "compression method is not 0");
      Require(ihdr.U8() == 0, "filter method is not 0");
      Require(ihdr.U8() == 0, "image is interlaced");
    } else if (type == "IDAT") {
      zlib.insert(zlib.end(), data.begin(), data.end());
    } else if (type == "IEND") {
      Require(length == 0, "IEND carries data");
      Require(in.AtEnd(), "bytes after IEND");
    }
  }
  Require(!types.empty() && types.front() == "IHDR", "no IHDR");
  Require(types.back() == "IEND", "the last chunk is not IEND");
  Require(decoded.width > 0 && decoded.height > 0, "empty image");

  const Bytes raw = InflateStored(zlib, decoded.stored_blocks);
  const std::size_t row_bytes = 1 + std::size_t{decoded.width} * 4;
  Require(raw.size() == row_bytes * decoded.height, "image data is not height x (1 + 4 x width)");
  for (std::size_t y = 0; y < decoded.height; ++y) {
    const std::uint8_t* row = raw.data() + y * row_bytes;
    Require(row[0] == 0, "row " + std::to_string(y) + " uses a filter");
    for (std::size_t x = 0; x < decoded.width; ++x) {
      const std::uint8_t* p = row + 1 + x * 4;
      decoded.pixels.push_back({p[0], p[1], p[2], p[3]});
    }
  }
  return decoded;
}

DecodedIco DecodeIco(const Bytes& ico) {
  Reader in(ico);
  DecodedIco d;
  d.reserved = in.U16Le();
  d.type = in.U16Le();
  d.count = in.U16Le();
  Require(d.count == 1, "expected one image in the icon");
  d.entry_width = in.U8();
  d.entry_height = in.U8();
  d.entry_colours = in.U8();
  Require(in.U8() == 0, "ICONDIRENTRY reserved byte is not 0");
  d.entry_planes = in.U16Le();
  d.entry_bit_count = in.U16Le();
  d.bytes_in_resource = in.U32Le();
  d.image_offset = in.U32Le();
  Require(std::size_t{d.image_offset} + d.bytes_in_resource == ico.size(),
          "image offset + size is not the file's length");

  in.Seek(d.image_offset);
  d.header_size = in.U32Le();
  d.bitmap_width = static_cast<std::int32_t>(in.U32Le());
  d.bitmap_height = static_cast<std::int32_t>(in.U32Le());
  d.bitmap_planes = in.U16Le();
  d.bitmap_bit_count = in.U16Le();
  d.compression = in.U32Le();
  d.size_image = in.U32Le();
  in.U32Le();  // resolutions, which icons ignore
  in.U32Le();
  d.colours_used = in.U32Le();
  in.U32Le();  // important colours
  Require(d.header_size == 40, "not a BITMAPINFOHEADER");
  Require(d.bitmap_bit_count == 4, "only 4-bit icons are read here");
  Require(d.bitmap_width > 0 && d.bitmap_height > 0 && d.bitmap_height % 2 == 0,
          "bitmap height must be positive and count both bitmaps");

  const std::size_t palette_size = d.colours_used == 0 ? 16 : d.colours_used;
  for (std::size_t i = 0; i < palette_size; ++i) {
    const Bytes q = in.Take(4);  // RGBQUAD: blue, green, red, reserved
    d.palette.push_back({q[2], q[1], q[0], q[3]});
  }

  const auto width = static_cast<std::size_t>(d.bitmap_width);
  const auto height = static_cast<std::size_t>(d.bitmap_height / 2);
  const std::size_t xor_row = (width * 4 + 31) / 32 * 4;
  const std::size_t and_row = (width + 31) / 32 * 4;
  Require(d.size_image == (xor_row + and_row) * height, "biSizeImage disagrees with the bitmaps");
  Require(in.pos() + d.size_image == ico.size(), "bitmaps do not end at the end of the file");

  const Bytes xor_bits = in.Take(xor_row * height);
  const Bytes and_bits = in.Take(and_row * height);
  d.pixels.resize(width * height);
  d.mask.resize(width * height);
  d.indices.resize(width * height);
  for (std::size_t row = 0; row < height; ++row) {
    const std::size_t y = height - 1 - row;  // stored bottom-up
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint8_t byte = xor_bits[row * xor_row + x / 2];
      const std::uint8_t index = x % 2 == 0 ? byte >> 4 : byte & 0x0F;
      const bool transparent = (and_bits[row * and_row + x / 8] >> (7 - x % 8)) & 1;
      Rgba colour = PaletteColour(d.palette, index);
      colour[3] = transparent ? 0 : 255;
      d.pixels[y * width + x] = colour;
      d.mask[y * width + x] = transparent;
      d.indices[y * width + x] = index;
    }
  }
  return d;
}

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tidewell::icon::testing
