#pragma once

#include "Form1Layout.h"

// The window's design in pixels for the screen it is drawn on. Free of FLTK so the tests can
// check the arithmetic without a display.
namespace tidewell::form1 {

inline constexpr int kFallbackDotsPerInch = 96;

// What the X server reports is computed from the screen size in millimetres it was given, which
// virtual framebuffers, projectors and broken monitor data get wrong (0, or thousands). Outside
// this range the classic 96 dpi is nearer the truth than the report.
inline constexpr float kLeastPlausibleDotsPerInch = 48.0f;
inline constexpr float kMostPlausibleDotsPerInch = 480.0f;

// The report rounded to whole dots (a 96-dpi Xvfb reports 95.9), or 96 when it makes no sense.
constexpr int PlausibleDotsPerInch(float reported) {
  const bool plausible =
      reported >= kLeastPlausibleDotsPerInch && reported <= kMostPlausibleDotsPerInch;  // NaN too
  return plausible ? static_cast<int>(reported + 0.5f) : kFallbackDotsPerInch;
}

struct PixelBox {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;

  friend bool operator==(const PixelBox&, const PixelBox&) = default;
};

struct ScreenLayout {
  int dotsPerInchX = kFallbackDotsPerInch;
  int dotsPerInchY = kFallbackDotsPerInch;

  constexpr int ToPixelsX(int twips) const { return TwipsToPixels(twips, dotsPerInchX); }
  constexpr int ToPixelsY(int twips) const { return TwipsToPixels(twips, dotsPerInchY); }

  // The client area; left and top stay 0, the window system places the window.
  constexpr PixelBox Client() const {
    return {0, 0, ToPixelsX(kClientWidth), ToPixelsY(kClientHeight)};
  }
  constexpr PixelBox Button() const {
    return {ToPixelsX(kButtonLeft), ToPixelsY(kButtonTop), ToPixelsX(kButtonWidth),
            ToPixelsY(kButtonHeight)};
  }
  // Text of 8 points, the size the window was designed with.
  constexpr int FontPixels() const { return ToPixelsY(kFontTwips); }

  static constexpr int kFontTwips = 8 * 20;
};

}  // namespace tidewell::form1
