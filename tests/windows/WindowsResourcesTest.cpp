// The version record, icon, manifest, imports and subsystem of the built Windows programs, read
// from the files themselves. The Wine test script runs this natively for each Windows build:
//   TIDEWELL_WINDOWS_BUILD     the build folder (holding interactive/windows/larkspan.exe and
//                              silent/windows/fenwhit.exe)
//   TIDEWELL_EXPECT_MACHINE    i386 or amd64
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "PeFile.h"

namespace tidewell::pe {
namespace {

struct Program {
  const char* name;
  const char* relativePath;
};

std::ostream& operator<<(std::ostream& out, const Program& program) { return out << program.name; }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t Le(const std::vector<std::uint8_t>& data, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) value |= std::uint32_t{data.at(at + i)} << (8 * i);
  return value;
}

class WindowsProgramTest : public ::testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    const char* build = std::getenv("TIDEWELL_WINDOWS_BUILD");
    if (build == nullptr) GTEST_SKIP() << "TIDEWELL_WINDOWS_BUILD names no Windows build";
    file_ = ReadPeFile(std::string(build) + "/" + GetParam().relativePath);
  }
  PeFile file_;
};

TEST_P(WindowsProgramTest, IsAWindowedProgramForTheExpectedMachine) {
  EXPECT_EQ(file_.subsystem, kSubsystemWindowsGui);
  const char* machine = std::getenv("TIDEWELL_EXPECT_MACHINE");
  ASSERT_NE(machine, nullptr);
  EXPECT_EQ(file_.machine, std::string(machine) == "i386" ? kMachineI386 : kMachineAmd64);
}

TEST_P(WindowsProgramTest, StandsAloneAndLoadsWininetOnlyWhenDownloading) {
  ASSERT_FALSE(file_.importedDlls.empty());
  for (const std::string& dll : file_.importedDlls) {
    const std::string name = Lower(dll);
    EXPECT_NE(name, "wininet.dll") << "wininet.dll must be bound by name at the first download";
    EXPECT_EQ(name.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(name.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(name.find("winpthread"), std::string::npos) << dll;
  }
}

TEST_P(WindowsProgramTest, CarriesTheVersionRecord) {
  const auto versions = file_.OfType(kResourceVersion);
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_EQ(versions[0]->id, 1u);
  const VersionRecord record = ParseVersionRecord(versions[0]->data);
  EXPECT_EQ(record.fileVersionMs, 0x00010000u);  // 1.0
  EXPECT_EQ(record.fileVersionLs, 0x00000000u);  // .0.0
  EXPECT_EQ(record.productVersionMs, 0x00010000u);
  EXPECT_EQ(record.productVersionLs, 0x00000000u);
  EXPECT_EQ(record.fileType, 1u);  // VFT_APP

  const std::string name = GetParam().name;
  const std::map<std::string, std::string> expected = {
      {"CompanyName", "Corvalle Software"},
      {"ProductName", "Corvalle Software's Tidewell"},
      {"FileVersion", "1.00"},
      {"ProductVersion", "1.00"},
      {"InternalName", name},
      {"OriginalFilename", name + ".exe"},
  };
  ASSERT_EQ(record.strings.size(), 1u);
  ASSERT_EQ(record.strings.count("040904B0"), 1u);
  EXPECT_EQ(record.strings.at("040904B0"), expected);
  EXPECT_EQ(record.translations, std::vector<std::uint32_t>{0x04B00409});  // 0x0409, 1200
}

TEST_P(WindowsProgramTest, FirstIconIsTidewellsIcon) {
  const auto groups = file_.OfType(kResourceGroupIcon);
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(groups[0]->id, 1u);
  const std::vector<std::uint8_t>& group = groups[0]->data;
  const std::vector<std::uint8_t> ico = ReadWholeFile(TIDEWELL_ICON_ICO);
  ASSERT_GE(ico.size(), 6u);

  const std::uint32_t count = Le(ico, 4, 2);
  ASSERT_GT(count, 0u);
  ASSERT_EQ(Le(group, 2, 2), 1u);  // icons
  ASSERT_EQ(Le(group, 4, 2), count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t inFile = 6 + 16 * i;
    const std::size_t inGroup = 6 + 14 * i;
    // width, height, colours, reserved, planes, bits per pixel and size agree.
    for (std::size_t field = 0; field < 12; ++field) {
      EXPECT_EQ(group.at(inGroup + field), ico.at(inFile + field)) << "image " << i;
    }
    const std::uint32_t iconId = Le(group, inGroup + 12, 2);
    const std::uint32_t size = Le(ico, inFile + 8, 4);
    const std::uint32_t offset = Le(ico, inFile + 12, 4);
    const std::vector<std::uint8_t> image(ico.begin() + offset, ico.begin() + offset + size);
    const Resource* icon = nullptr;
    for (const Resource* candidate : file_.OfType(kResourceIcon)) {
      if (candidate->id == iconId) icon = candidate;
    }
    ASSERT_NE(icon, nullptr) << "icon " << iconId;
    EXPECT_EQ(icon->data, image) << "image " << i;
  }
}

TEST_P(WindowsProgramTest, CarriesOneManifestAskingForNoElevation) {
  const auto manifests = file_.OfType(kResourceManifest);
  ASSERT_EQ(manifests.size(), 1u);
  EXPECT_EQ(manifests[0]->id, 1u);  // CREATEPROCESS_MANIFEST_RESOURCE_ID
  const std::string text(manifests[0]->data.begin(), manifests[0]->data.end());
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(text.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(text.find("PerMonitorV2"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Programs, WindowsProgramTest,
                         ::testing::Values(Program{"larkspan", "interactive/windows/larkspan.exe"},
                                           Program{"fenwhit", "silent/windows/fenwhit.exe"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tidewell::pe
