// The installed desktop entry must name the program, the icon and the window's own title as the
// build and the program have them; a rename on either side would leave a menu entry that starts
// nothing, or shows no icon.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "Form1Layout.h"

namespace {

// The keys of the [Desktop Entry] group. Fails the test on a line that is neither a group,
// a comment, a blank nor key=value, and on a key given twice.
std::map<std::string, std::string> ReadDesktopEntry(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot open " << path;
  std::map<std::string, std::string> keys;
  std::string group;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      group = line.substr(1, line.size() - 2);
      continue;
    }
    const std::size_t equals = line.find('=');
    EXPECT_NE(equals, std::string::npos) << "not key=value: " << line;
    if (equals == std::string::npos || group != "Desktop Entry") continue;
    const bool fresh = keys.emplace(line.substr(0, equals), line.substr(equals + 1)).second;
    EXPECT_TRUE(fresh) << "key given twice: " << line;
  }
  return keys;
}

TEST(DesktopEntry, StartsLarkspanUnderItsWindowTitleWithTheTidewellIcon) {
  const std::filesystem::path entry = TIDEWELL_DESKTOP_ENTRY_PATH;
  const std::string program = TIDEWELL_LARKSPAN_FILE_NAME;
  auto keys = ReadDesktopEntry(entry.string());
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Name"], tidewell::form1::kCaption);
  // Exec is looked up in PATH, where the program is installed under its file name.
  EXPECT_EQ(keys["Exec"], program);
  // Desktops match the window to its entry by the window's class, which is the program's name,
  // and some by the entry's file name.
  EXPECT_EQ(keys["StartupWMClass"], program);
  EXPECT_EQ(entry.filename(), program + ".desktop");
  // The hicolor theme holds the icon as apps/<name>.png.
  EXPECT_EQ(keys["Icon"], TIDEWELL_ICON_NAME);
  EXPECT_EQ(keys["Terminal"], "false");
  EXPECT_FALSE(keys["GenericName"].empty());
  EXPECT_FALSE(keys["Comment"].empty());
  ASSERT_FALSE(keys["Categories"].empty());
  EXPECT_EQ(keys["Categories"].back(), ';') << "the list must end in a semicolon";
}

}  // namespace
