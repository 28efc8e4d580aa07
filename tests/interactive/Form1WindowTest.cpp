#include <FL/Enumerations.H>
#include <FL/Fl_Button.H>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "FakePlatform.h"
#include "Form1.h"
#include "Form1Window.h"
#include "ScreenLayout.h"

// The window is built but never shown, so these run without a display.
namespace tidewell {
namespace {

class Form1WindowTest : public ::testing::Test {
 protected:
  Fl_Button& Command1(Fl_Window& window) {
    EXPECT_EQ(window.children(), 1) << "Command1 is the window's only control";
    auto* button = dynamic_cast<Fl_Button*>(window.child(0));
    EXPECT_NE(button, nullptr);
    return *button;
  }

  FakePlatform platform;
  FakeRuntime runtime;
  Form1 form{platform, runtime};
};

struct ScreenCase {
  int dotsPerInchX;
  int dotsPerInchY;
  int clientWidth;
  int clientHeight;
  form1::PixelBox button;
};

void PrintTo(const ScreenCase& screen, std::ostream* out) {
  *out << screen.dotsPerInchX << " x " << screen.dotsPerInchY << " dpi";
}

class Form1WindowOnScreenTest : public Form1WindowTest,
                                public ::testing::WithParamInterface<ScreenCase> {};

// The design is a client area of 4680 x 1785 twips with the button at 1080, 720, 2415 x 375
// twips; worked by hand, pixels = twips x dpi / 1440 with halves rounded up. Widths follow the
// horizontal density and heights the vertical one.
const ScreenCase kScreens[] = {
    {96, 96, 312, 119, {72, 48, 161, 25}},
    {144, 144, 468, 179, {108, 72, 242, 38}},
    {96, 192, 312, 238, {72, 96, 161, 50}},
};

TEST_P(Form1WindowOnScreenTest, DrawsTheDesignAtTheScreensDensity) {
  const ScreenCase& screen = GetParam();
  Form1Window window(form, runtime, form1::ScreenLayout{screen.dotsPerInchX, screen.dotsPerInchY});

  EXPECT_EQ(std::string(window.label()), "Corvalle Software's Tidewell");
  EXPECT_STREQ(window.xclass(), TIDEWELL_LARKSPAN_FILE_NAME) << "desktops match it to the entry";
  EXPECT_EQ(window.w(), screen.clientWidth);
  EXPECT_EQ(window.h(), screen.clientHeight);

  const Fl_Button& button = Command1(window);
  EXPECT_EQ(std::string(button.label()), "Set System Clock Now");
  EXPECT_EQ((form1::PixelBox{button.x(), button.y(), button.w(), button.h()}), screen.button);
  EXPECT_EQ(button.shortcut(), FL_Enter);
}

INSTANTIATE_TEST_SUITE_P(Densities, Form1WindowOnScreenTest, ::testing::ValuesIn(kScreens),
                         [](const auto& info) {
                           return std::to_string(info.param.dotsPerInchX) + "x" +
                                  std::to_string(info.param.dotsPerInchY) + "dpi";
                         });

TEST_F(Form1WindowTest, EachPressRunsTheClickHandler) {
  Form1Window window(form, runtime, form1::ScreenLayout{96, 96});
  platform.ServeTime(" 17:00:00 ");
  Fl_Button& button = Command1(window);

  button.do_callback();
  button.do_callback();

  EXPECT_EQ(platform.downloads, 2);
  ASSERT_EQ(runtime.messages.size(), 2u);
  EXPECT_EQ(runtime.messages[1], "Your system time was changed to 5:00:00 PM");
}

TEST_F(Form1WindowTest, RunTimeErrorOfAPressGoesToTheRuntime) {
  Form1Window window(form, runtime, form1::ScreenLayout{96, 96});
  platform.ServeTime(" 5 o'clock ");

  Command1(window).do_callback();

  ASSERT_EQ(runtime.errorsReported.size(), 1u);
  EXPECT_EQ(runtime.errorsReported[0].Number(), kErrTypeMismatch);
  EXPECT_TRUE(runtime.messages.empty());
}

}  // namespace
}  // namespace tidewell
