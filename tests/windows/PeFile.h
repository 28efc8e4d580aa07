#pragma once

// A reader of the parts of a Windows program file (PE) that the Wine tests check from Linux:
// the machine and subsystem, the DLLs it imports, and its resources, with the version record
// taken apart.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tidewell::pe {

inline constexpr std::uint16_t kMachineI386 = 0x014c;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kSubsystemWindowsGui = 2;

inline constexpr std::uint32_t kResourceIcon = 3;
inline constexpr std::uint32_t kResourceVersion = 16;
inline constexpr std::uint32_t kResourceGroupIcon = 14;
inline constexpr std::uint32_t kResourceManifest = 24;

struct Resource {
  std::uint32_t type = 0;  // numbered types only; named ones are skipped
  std::uint32_t id = 0;
  std::uint32_t language = 0;
  std::vector<std::uint8_t> data;
};

struct PeFile {
  std::uint16_t machine = 0;
  std::uint16_t subsystem = 0;
  std::vector<std::string> importedDlls;
  std::vector<Resource> resources;  // in the order of the resource directory

  std::vector<const Resource*> OfType(std::uint32_t type) const;
};

// Throws std::runtime_error when the file is not a well-formed PE file.
PeFile ReadPeFile(const std::string& path);

// The version record (VS_VERSIONINFO) taken apart.
struct VersionRecord {
  std::uint32_t fileVersionMs = 0, fileVersionLs = 0;
  std::uint32_t productVersionMs = 0, productVersionLs = 0;
  std::uint32_t fileOs = 0, fileType = 0;
  // String table name (e.g. "040904B0") -> key -> value, without the terminating NUL.
  std::map<std::string, std::map<std::string, std::string>> strings;
  std::vector<std::uint32_t> translations;  // each language in the low word, code page high
  // Values that carried a terminating NUL in their stored length.
  std::vector<std::string> terminatedKeys;
};

// Throws std::runtime_error when the data is not a well-formed version record.
VersionRecord ParseVersionRecord(const std::vector<std::uint8_t>& data);

}  // namespace tidewell::pe
