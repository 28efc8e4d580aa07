// The version record, icon, manifest, imports and subsystem of the built Windows programs, read
// back from the files by binutils (objdump, windres) and icoutils (wrestool). The Wine test
// script runs this natively for each Windows build:
//   TIDEWELL_WINDOWS_BUILD     the build folder (holding interactive/windows/larkspan.exe and
//                              silent/windows/fenwhit.exe)
//   TIDEWELL_EXPECT_MACHINE    i386 or amd64
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ShellOutput.h"

namespace {

using tidewell::test::OutputOf;

struct Program {
  const char* name;
  const char* relativePath;
  const char* executionLevel;  // what the manifest asks Windows for
};

std::ostream& operator<<(std::ostream& out, const Program& program) { return out << program.name; }

// The DLLs every Windows has; anything else would have to ship beside the program.
const std::set<std::string> kSystemDlls = {"advapi32.dll", "comctl32.dll", "gdi32.dll",
                                           "kernel32.dll", "msvcrt.dll",   "shell32.dll",
                                           "user32.dll"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string BytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every first capture of `pattern` in `text`, in order.
std::vector<std::string> AllMatches(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex expression(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
       it != std::sregex_iterator(); ++it) {
    found.push_back((*it)[1].str());
  }
  return found;
}

// The version record as windres writes it back as resource script: the fixed part's lines
// (e.g. "FILEVERSION" -> "1, 0, 0, 0") and the values of each block ("040904B0" -> key -> value,
// "VarFileInfo" -> "Translation" -> "0x409, 1200").
struct VersionRecord {
  std::map<std::string, std::string> fixed;
  std::map<std::string, std::map<std::string, std::string>> blocks;
  int records = 0;
};

VersionRecord ParseVersionScript(const std::string& script) {
  static const std::regex kFixed(R"re(^\s*(FILEVERSION|PRODUCTVERSION|FILEOS|FILETYPE) (.*)$)re");
  static const std::regex kBlock(R"re(^\s*BLOCK "([^"]*)"\s*$)re");
  static const std::regex kValue(R"re(^\s*VALUE "([^"]*)", (.*)$)re");
  VersionRecord record;
  std::istringstream lines(script);
  std::string line, block;
  bool inside = false;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (line.ends_with(" VERSIONINFO")) {
      ++record.records;
      inside = true;
    } else if (!inside) {
      continue;
    } else if (line == "END") {
      inside = false;
    } else if (std::regex_match(line, match, kFixed)) {
      record.fixed[match[1]] = match[2];
    } else if (std::regex_match(line, match, kBlock)) {
      block = match[1];
    } else if (std::regex_match(line, match, kValue)) {
      std::string value = match[2];
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      record.blocks[block][match[1]] = value;
    }
  }
  return record;
}

class WindowsProgramTest : public ::testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    const char* build = std::getenv("TIDEWELL_WINDOWS_BUILD");
    if (build == nullptr) GTEST_SKIP() << "TIDEWELL_WINDOWS_BUILD names no Windows build";
    const char* machine = std::getenv("TIDEWELL_EXPECT_MACHINE");
    ASSERT_NE(machine, nullptr);
    i386_ = std::string(machine) == "i386";
    tools_ = i386_ ? "i686-w64-mingw32-" : "x86_64-w64-mingw32-";
    exe_ = "'" + std::string(build) + "/" + GetParam().relativePath + "'";
  }

  std::string Resource(const std::string& type, int name) const {
    return OutputOf("wrestool --extract --raw --type=" + type + " --name=" + std::to_string(name) +
                    " " + exe_);
  }

  bool i386_ = false;
  std::string tools_;
  std::string exe_;
};

TEST_P(WindowsProgramTest, IsAWindowedProgramForTheExpectedMachine) {
  const std::string headers = OutputOf(tools_ + "objdump -f -p " + exe_);
  EXPECT_EQ(AllMatches(headers, R"re(file format (\S+))re"),
            std::vector<std::string>{i386_ ? "pei-i386" : "pei-x86-64"});
  EXPECT_EQ(AllMatches(headers, R"re(\nSubsystem\s+\S+\s+\(([^)]*)\))re"),
            std::vector<std::string>{"Windows GUI"});
}

TEST_P(WindowsProgramTest, StandsAloneAndLoadsWininetOnlyWhenDownloading) {
  const auto dlls = AllMatches(OutputOf(tools_ + "objdump -p " + exe_), R"re(DLL Name: (\S+))re");
  ASSERT_FALSE(dlls.empty());
  for (const std::string& dll : dlls) {
    const std::string name = Lower(dll);
    EXPECT_NE(name, "wininet.dll") << "wininet.dll must be bound by name at the first download";
    EXPECT_TRUE(kSystemDlls.count(name)) << dll << " is not part of Windows";
  }
}

TEST_P(WindowsProgramTest, CarriesOneOfEachResourceUnderNumberOne) {
  // Explorer shows the first icon group; Windows reads the manifest only under number 1.
  const auto resources = AllMatches(OutputOf("wrestool --list " + exe_),
                                    R"re((--type=\d+ --name=\d+ --language=\d+))re");
  EXPECT_EQ(resources,
            (std::vector<std::string>{
                "--type=3 --name=1 --language=1033", "--type=14 --name=1 --language=1033",
                "--type=16 --name=1 --language=1033", "--type=24 --name=1 --language=1033"}));
}

TEST_P(WindowsProgramTest, CarriesTheVersionRecord) {
  VersionRecord record = ParseVersionScript(
      OutputOf(tools_ + "windres --input-format=coff --input=" + exe_ + " --output-format=rc"));
  EXPECT_EQ(record.records, 1);
  EXPECT_EQ(record.fixed["FILEVERSION"], TIDEWELL_VERSION_FIXED);
  EXPECT_EQ(record.fixed["PRODUCTVERSION"], TIDEWELL_VERSION_FIXED);
  EXPECT_EQ(record.fixed["FILEOS"], "0x4");    // VOS__WINDOWS32
  EXPECT_EQ(record.fixed["FILETYPE"], "0x1");  // VFT_APP

  const std::string name = GetParam().name;
  const std::map<std::string, std::map<std::string, std::string>> expected = {
      {"040904B0",
       {{"CompanyName", "Corvalle Software"},
        {"ProductName", "Corvalle Software's Tidewell"},
        {"FileVersion", TIDEWELL_VERSION_TEXT},
        {"ProductVersion", TIDEWELL_VERSION_TEXT},
        {"InternalName", name},
        {"OriginalFilename", name + ".exe"}}},
      {"VarFileInfo", {{"Translation", "0x409, 1200"}}},
  };
  EXPECT_EQ(record.blocks, expected);
}

TEST_P(WindowsProgramTest, FirstIconIsTidewellsIcon) {
  // The .ico holds one picture: a 6-byte header, a 16-byte entry, then the picture. The group
  // resource keeps the header and the entry's first 12 bytes, then the number of the icon
  // resource that holds the picture.
  const std::string ico = BytesOf(TIDEWELL_ICON_ICO);
  ASSERT_GT(ico.size(), 22u);
  ASSERT_EQ(ico.substr(4, 2), std::string("\1\0", 2)) << "one picture";
  const std::string group = Resource("14", 1);
  EXPECT_EQ(group, ico.substr(0, 18) + std::string("\1\0", 2));
  EXPECT_EQ(Resource("3", 1), ico.substr(22));
}

TEST_P(WindowsProgramTest, ManifestAsksForTheRightsTheProgramNeeds) {
  const std::string text = Resource("24", 1);
  EXPECT_EQ(AllMatches(text, R"re(<requestedExecutionLevel level="([^"]*)" uiAccess="false"/>)re"),
            std::vector<std::string>{GetParam().executionLevel});
  EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(text.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
  EXPECT_TRUE(text.ends_with("</assembly>\n")) << "manifest cut short";
}

// larkspan's one action needs the system-time privilege, so Windows asks for consent as it
// starts; fenwhit runs unattended, where nobody could answer.
INSTANTIATE_TEST_SUITE_P(Programs, WindowsProgramTest,
                         ::testing::Values(Program{"larkspan", "interactive/windows/larkspan.exe",
                                                   "requireAdministrator"},
                                           Program{"fenwhit", "silent/windows/fenwhit.exe",
                                                   "asInvoker"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
