#pragma once

// The window's design, in twips (1/1440 inch), as the toolkits of every platform lay it out.
namespace tidewell::form1 {

inline constexpr const char* kCaption = "Corvalle Software's Tidewell";
inline constexpr const char* kButtonCaption = "Set System Clock Now";

inline constexpr int kClientWidth = 4680;
inline constexpr int kClientHeight = 1785;

inline constexpr int kButtonLeft = 1080;
inline constexpr int kButtonTop = 720;
inline constexpr int kButtonWidth = 2415;
inline constexpr int kButtonHeight = 375;

inline constexpr int kTwipsPerInch = 1440;

// Twips to pixels on a screen of `dotsPerInch`, rounded to the nearest pixel: 15 twips a pixel
// at 96 dpi, fewer on high-density screens.
constexpr int TwipsToPixels(int twips, int dotsPerInch) {
  return (twips * dotsPerInch + kTwipsPerInch / 2) / kTwipsPerInch;
}

static_assert(TwipsToPixels(kClientWidth, 96) == 312 && TwipsToPixels(kClientHeight, 96) == 119);
static_assert(TwipsToPixels(kButtonLeft, 96) == 72 && TwipsToPixels(kButtonTop, 96) == 48);
static_assert(TwipsToPixels(kButtonWidth, 96) == 161 && TwipsToPixels(kButtonHeight, 96) == 25);

}  // namespace tidewell::form1
