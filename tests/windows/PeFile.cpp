#include "PeFile.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tidewell::pe {
namespace {

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kMagicPe32 = 0x10b;
constexpr std::uint16_t kMagicPe32Plus = 0x20b;
constexpr std::uint32_t kImportDirectory = 1;
constexpr std::uint32_t kResourceDirectory = 2;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kHighBit = 0x80000000;

[[noreturn]] void Malformed(const std::string& what) {
  throw std::runtime_error("malformed program file: " + what);
}

class Bytes {
 public:
  explicit Bytes(const std::vector<std::uint8_t>& data) : data_(data) {}

  std::uint16_t U16(std::size_t at) const { return static_cast<std::uint16_t>(Get(at, 2)); }
  std::uint32_t U32(std::size_t at) const { return static_cast<std::uint32_t>(Get(at, 4)); }
  std::size_t Size() const { return data_.size(); }
  const std::vector<std::uint8_t>& Data() const { return data_; }

 private:
  std::uint64_t Get(std::size_t at, std::size_t width) const {
    if (at > data_.size() || width > data_.size() - at) Malformed("read past the end");
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{data_[at + i]} << (8 * i);
    return value;
  }
  const std::vector<std::uint8_t>& data_;
};

struct Section {
  std::uint32_t virtualAddress;
  std::uint32_t virtualSize;
  std::uint32_t rawOffset;
  std::uint32_t rawSize;
};

class Image {
 public:
  explicit Image(const std::vector<std::uint8_t>& data) : bytes_(data) {}

  void ReadHeaders(PeFile& file) {
    const std::uint32_t peOffset = bytes_.U32(0x3c);
    if (bytes_.U16(0) != 0x5a4d || bytes_.U32(peOffset) != kPeSignature) Malformed("signature");
    const std::size_t coff = peOffset + 4;
    file.machine = bytes_.U16(coff);
    const std::uint16_t sectionCount = bytes_.U16(coff + 2);
    const std::uint16_t optionalSize = bytes_.U16(coff + 16);
    const std::size_t optional = coff + 20;
    const std::uint16_t magic = bytes_.U16(optional);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) Malformed("optional header magic");
    file.subsystem = bytes_.U16(optional + 68);
    const std::size_t directories = optional + (magic == kMagicPe32 ? 96 : 112);
    importRva_ = bytes_.U32(directories + 8 * kImportDirectory);
    resourceRva_ = bytes_.U32(directories + 8 * kResourceDirectory);
    const std::size_t sectionTable = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
      const std::size_t at = sectionTable + 40u * i;
      sections_.push_back(
          {bytes_.U32(at + 12), bytes_.U32(at + 8), bytes_.U32(at + 20), bytes_.U32(at + 16)});
    }
  }

  std::size_t Offset(std::uint32_t rva) const {
    for (const Section& section : sections_) {
      const std::uint32_t extent = std::max(section.virtualSize, section.rawSize);
      if (rva >= section.virtualAddress && rva < section.virtualAddress + extent) {
        return section.rawOffset + (rva - section.virtualAddress);
      }
    }
    Malformed("address outside every section");
  }

  std::string AsciiAt(std::uint32_t rva) const {
    std::string text;
    for (std::size_t at = Offset(rva); at < bytes_.Size() && bytes_.Data()[at] != 0; ++at) {
      text.push_back(static_cast<char>(bytes_.Data()[at]));
    }
    return text;
  }

  void ReadImports(PeFile& file) const {
    if (importRva_ == 0) return;
    for (std::size_t at = Offset(importRva_);; at += 20) {
      const std::uint32_t nameRva = bytes_.U32(at + 12);
      if (nameRva == 0) break;
      file.importedDlls.push_back(AsciiAt(nameRva));
    }
  }

  void ReadResources(PeFile& file) const {
    if (resourceRva_ == 0) return;
    const std::size_t root = Offset(resourceRva_);
    for (const auto& [type, typeDir] : Entries(root)) {
      for (const auto& [id, idDir] : Entries(root + typeDir)) {
        for (const auto& [language, dataEntry] : Entries(root + idDir)) {
          const std::size_t entry = root + dataEntry;
          const std::size_t offset = Offset(bytes_.U32(entry));
          const std::uint32_t size = bytes_.U32(entry + 4);
          if (offset + size > bytes_.Size()) Malformed("resource past the end");
          const auto begin = bytes_.Data().begin() + static_cast<std::ptrdiff_t>(offset);
          file.resources.push_back({type, id, language, {begin, begin + size}});
        }
      }
    }
  }

 private:
  // The numbered entries of the resource directory at `directory`: id -> offset of what it
  // points at, from the start of the resource section (directories lose their high bit).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Entries(std::size_t directory) const {
    const std::uint16_t named = bytes_.U16(directory + 12);
    const std::uint16_t numbered = bytes_.U16(directory + 14);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (std::uint32_t i = named; i < std::uint32_t{named} + numbered; ++i) {
      const std::size_t at = directory + 16 + 8u * i;
      entries.emplace_back(bytes_.U32(at), bytes_.U32(at + 4) & ~kHighBit);
    }
    return entries;
  }

  Bytes bytes_;
  std::vector<Section> sections_;
  std::uint32_t importRva_ = 0;
  std::uint32_t resourceRva_ = 0;
};

std::size_t AlignFour(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

std::string Utf16ToAscii(const Bytes& bytes, std::size_t at, std::size_t units) {
  std::string text;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t unit = bytes.U16(at + 2 * i);
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

// One node of the version record: header, key, value and children.
struct Block {
  std::string key;
  std::size_t valueAt = 0;
  std::size_t valueLength = 0;  // as stored: characters for text, bytes for binary
  std::uint16_t type = 0;       // 1 text, 0 binary
  std::vector<Block> children;
};

Block ParseBlock(const Bytes& bytes, std::size_t at, std::size_t& next) {
  Block block;
  const std::uint16_t length = bytes.U16(at);
  if (length < 6) Malformed("version block too short");
  const std::size_t end = at + length;
  if (end > bytes.Size()) Malformed("version block past the end");
  block.valueLength = bytes.U16(at + 2);
  block.type = bytes.U16(at + 4);
  std::size_t cursor = at + 6;
  std::size_t keyUnits = 0;
  while (bytes.U16(cursor + 2 * keyUnits) != 0) ++keyUnits;
  block.key = Utf16ToAscii(bytes, cursor, keyUnits);
  cursor = AlignFour(cursor + 2 * (keyUnits + 1));
  block.valueAt = cursor;
  const std::size_t valueBytes = block.type == 1 ? 2 * block.valueLength : block.valueLength;
  cursor = AlignFour(cursor + valueBytes);
  while (cursor < end) {
    std::size_t childNext = 0;
    block.children.push_back(ParseBlock(bytes, cursor, childNext));
    cursor = childNext;
  }
  next = AlignFour(end);
  return block;
}

}  // namespace

std::vector<const Resource*> PeFile::OfType(std::uint32_t type) const {
  std::vector<const Resource*> found;
  for (const Resource& resource : resources) {
    if (resource.type == type) found.push_back(&resource);
  }
  return found;
}

PeFile ReadPeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                       std::istreambuf_iterator<char>()};
  PeFile file;
  Image image(data);
  image.ReadHeaders(file);
  image.ReadImports(file);
  image.ReadResources(file);
  return file;
}

VersionRecord ParseVersionRecord(const std::vector<std::uint8_t>& data) {
  const Bytes bytes(data);
  std::size_t next = 0;
  const Block root = ParseBlock(bytes, 0, next);
  if (root.key != "VS_VERSION_INFO") Malformed("version record key " + root.key);
  if (root.valueLength < 52 || bytes.U32(root.valueAt) != kFixedFileInfoSignature) {
    Malformed("fixed file information");
  }
  VersionRecord record;
  record.fileVersionMs = bytes.U32(root.valueAt + 8);
  record.fileVersionLs = bytes.U32(root.valueAt + 12);
  record.productVersionMs = bytes.U32(root.valueAt + 16);
  record.productVersionLs = bytes.U32(root.valueAt + 20);
  record.fileOs = bytes.U32(root.valueAt + 32);
  record.fileType = bytes.U32(root.valueAt + 36);
  for (const Block& info : root.children) {
    for (const Block& table : info.children) {
      if (info.key == "StringFileInfo") {
        for (const Block& string : table.children) {
          std::size_t units = string.valueLength;
          if (units > 0 && bytes.U16(string.valueAt + 2 * (units - 1)) == 0) {
            --units;
            record.terminatedKeys.push_back(string.key);
          }
          record.strings[table.key][string.key] = Utf16ToAscii(bytes, string.valueAt, units);
        }
      } else if (info.key == "VarFileInfo" && table.key == "Translation") {
        for (std::size_t i = 0; i + 4 <= table.valueLength; i += 4) {
          record.translations.push_back(bytes.U32(table.valueAt + i));
        }
      }
    }
  }
  return record;
}

}  // namespace tidewell::pe
