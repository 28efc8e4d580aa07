// The files the build makes with icon_convert, and icon_convert as a command.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "IcoEncoder.h"
#include "IconDecoders.h"
#include "PngEncoder.h"

namespace tidewell::icon {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;

XpmImage Icon() { return ReadXpmFile(TIDEWELL_ICON_XPM_PATH); }

// Runs icon_convert with `arguments` (already quoted) and returns its exit status.
int RunConverter(const std::string& arguments) {
  const std::string command =
      std::string("'") + TIDEWELL_ICON_CONVERT_PATH + "' " + arguments + " 2>/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

class IconConvertTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tidewell-icon-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST(BuiltIcons, AreWhatTheEncodersMakeFromTheXpm) {
  // packaging_icons made these; stale or wrongly scaled copies would be installed as they are.
  const XpmImage icon = Icon();
  const fs::path dir = TIDEWELL_ICON_BUILD_DIR;
  EXPECT_EQ(ReadBytes(dir / "tidewell.ico"), EncodeIco(icon));
  EXPECT_EQ(ReadBytes(dir / "tidewell-32.png"), EncodePng(icon, 1));
  EXPECT_EQ(ReadBytes(dir / "tidewell-64.png"), EncodePng(icon, 2));
  EXPECT_EQ(ReadBytes(dir / "tidewell-128.png"), EncodePng(icon, 4));
}

TEST_F(IconConvertTool, WritesPngAtTheScaleAskedFor) {
  const fs::path out = dir_ / "icon.png";
  ASSERT_EQ(RunConverter("png " + Quoted(TIDEWELL_ICON_XPM_PATH) + " " + Quoted(out) + " 3"), 0);
  EXPECT_EQ(ReadBytes(out), EncodePng(Icon(), 3));
}

TEST_F(IconConvertTool, WritesPngAtScaleOneByDefault) {
  const fs::path out = dir_ / "icon.png";
  ASSERT_EQ(RunConverter("png " + Quoted(TIDEWELL_ICON_XPM_PATH) + " " + Quoted(out)), 0);
  EXPECT_EQ(ReadBytes(out), EncodePng(Icon(), 1));
}

TEST_F(IconConvertTool, WritesIco) {
  const fs::path out = dir_ / "icon.ico";
  ASSERT_EQ(RunConverter("ico " + Quoted(TIDEWELL_ICON_XPM_PATH) + " " + Quoted(out)), 0);
  EXPECT_EQ(ReadBytes(out), EncodeIco(Icon()));
}

TEST_F(IconConvertTool, RefusesBadUsage) {
  const std::string in = Quoted(TIDEWELL_ICON_XPM_PATH);
  const std::string out = Quoted(dir_ / "x");
  EXPECT_EQ(RunConverter(""), 2);
  EXPECT_EQ(RunConverter("gif " + in + " " + out), 2);
  EXPECT_EQ(RunConverter("png " + in), 2);
  EXPECT_EQ(RunConverter("png " + in + " " + out + " 0"), 2);
  EXPECT_EQ(RunConverter("png " + in + " " + out + " 17"), 2);
  EXPECT_EQ(RunConverter("png " + in + " " + out + " 2x"), 2);
  EXPECT_EQ(RunConverter("ico " + in + " " + out + " 2"), 2);
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(IconConvertTool, FailsWithoutOutputOnABadXpm) {
  const fs::path out = dir_ / "icon.ico";
  EXPECT_EQ(RunConverter("ico " + Quoted(dir_ / "missing.xpm") + " " + Quoted(out)), 1);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(IconConvertTool, FailsWhenTheOutputCannotBeWritten) {
  const fs::path out = dir_ / "no-such-folder" / "icon.png";
  EXPECT_EQ(RunConverter("png " + Quoted(TIDEWELL_ICON_XPM_PATH) + " " + Quoted(out)), 1);
}

}  // namespace
}  // namespace tidewell::icon
