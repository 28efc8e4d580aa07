#include <gtest/gtest.h>

#include <limits>

#include "Form1Layout.h"
#include "ScreenLayout.h"

namespace tidewell::form1 {
namespace {

struct DensityCase {
  int dotsPerInch;
  PixelBox client;
  PixelBox button;
};

// Worked by hand: pixels = twips × dpi / 1440, halves rounded up.
const DensityCase kDensities[] = {
    {96, {0, 0, 312, 119}, {72, 48, 161, 25}},
    {120, {0, 0, 390, 149}, {90, 60, 201, 31}},
    {144, {0, 0, 468, 179}, {108, 72, 242, 38}},
    {192, {0, 0, 624, 238}, {144, 96, 322, 50}},
};

class ScreenLayoutTest : public ::testing::TestWithParam<DensityCase> {};

TEST_P(ScreenLayoutTest, WindowAndButtonInPixels) {
  const DensityCase& c = GetParam();
  const ScreenLayout layout{c.dotsPerInch, c.dotsPerInch};
  EXPECT_EQ(layout.Client(), c.client);
  EXPECT_EQ(layout.Button(), c.button);
  EXPECT_EQ(TwipsToPixels(kClientWidth, c.dotsPerInch), c.client.width);
  EXPECT_EQ(TwipsToPixels(kButtonHeight, c.dotsPerInch), c.button.height);
}

INSTANTIATE_TEST_SUITE_P(Densities, ScreenLayoutTest, ::testing::ValuesIn(kDensities),
                         [](const auto& info) {
                           return std::to_string(info.param.dotsPerInch) + "dpi";
                         });

TEST(ScreenLayoutAxesTest, WidthsFollowTheHorizontalDensityAndHeightsTheVertical) {
  const ScreenLayout layout{96, 192};
  EXPECT_EQ(layout.Client(), (PixelBox{0, 0, 312, 238}));
  EXPECT_EQ(layout.Button(), (PixelBox{72, 96, 161, 50}));
}

TEST(ScreenLayoutFontTest, EightPointTextAtEachDensity) {
  EXPECT_EQ((ScreenLayout{96, 96}.FontPixels()), 11);
  EXPECT_EQ((ScreenLayout{120, 120}.FontPixels()), 13);
  EXPECT_EQ((ScreenLayout{192, 192}.FontPixels()), 21);
}

struct ReportCase {
  float reported;
  int expected;
};

TEST(PlausibleDotsPerInchTest, RoundsSensibleReportsAndReplacesNonsense) {
  const ReportCase cases[] = {
      {96.0f, 96},
      {95.9f, 96},  // what a 96-dpi virtual framebuffer reports after rounding its millimetres
      {120.4f, 120},
      {143.6f, 144},
      {48.0f, 48},
      {480.0f, 480},
      {47.9f, 96},
      {480.5f, 96},
      {0.0f, 96},
      {-96.0f, 96},
      {4000.0f, 96},
      {std::numeric_limits<float>::quiet_NaN(), 96},
      {std::numeric_limits<float>::infinity(), 96},
  };
  for (const ReportCase& c : cases) {
    EXPECT_EQ(PlausibleDotsPerInch(c.reported), c.expected) << "reported " << c.reported;
  }
}

}  // namespace
}  // namespace tidewell::form1
