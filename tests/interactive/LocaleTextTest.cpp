// The time text of larkspan's message, turned from the character set of the user's time format
// into the UTF-8 that FLTK draws.
#include <gtest/gtest.h>
#include <locale.h>

#include <optional>
#include <string>

#include "DateTime.h"
#include "Form1.h"
#include "LinuxPlatform.h"
#include "LocaleText.h"
#include "ScopedEnvironment.h"

namespace tidewell {
namespace {

using test::ScopedEnvironment;

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr const char* kKorean = "ko_KR.EUC-KR";
constexpr const char* kAmerican = "en_US.UTF-8";

bool Installed(const char* locale) {
  const locale_t loaded = newlocale(LC_TIME_MASK, locale, static_cast<locale_t>(0));
  if (loaded == static_cast<locale_t>(0)) return false;
  freelocale(loaded);
  return true;
}

std::string Repeated(const std::string& text, int times) {
  std::string repeated;
  for (int count = 0; count < times; ++count) repeated += text;
  return repeated;
}

struct ConversionCase {
  const char* name;
  const char* characterSet;
  std::string text;
  std::string utf8;
};

class ToUtf8Test : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(ToUtf8Test, GivesTheSameCharactersInUtf8) {
  EXPECT_EQ(ToUtf8(GetParam().text, GetParam().characterSet), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToUtf8Test,
    ::testing::Values(
        // The Korean time format, "%H시 %M분 %S초", and its morning and afternoon.
        ConversionCase{"KoreanTime", "EUC-KR", "15\xBD\xC3 04\xBA\xD0 05\xC3\xCA",
                       "15시 04분 05초"},
        ConversionCase{"KoreanMorningAndAfternoon", "EUC-KR", "\xBF\xC0\xC0\xFC \xBF\xC0\xC8\xC4",
                       "오전 오후"},
        // Longer than one pass of the converter.
        ConversionCase{"LongKoreanText", "EUC-KR", Repeated("\xBD\xC3", 300), Repeated("시", 300)},
        ConversionCase{"Latin1", "ISO-8859-1", "15 f\xE9vr.", "15 févr."},
        ConversionCase{"Utf8StaysAsItIs", "UTF-8", "03:04:05 오후", "03:04:05 오후"},
        ConversionCase{"AsciiStaysAsItIs", "ANSI_X3.4-1968",
                       "Your system time was changed to 07:00:00 AM",
                       "Your system time was changed to 07:00:00 AM"},
        ConversionCase{"Empty", "EUC-KR", "", ""},
        // What no character of the set begins is marked, and the rest still converted.
        ConversionCase{"ByteOfNoCharacter", "EUC-KR", "12\xFF\xBD\xC3",
                       std::string("12") + kReplacement + "시"},
        ConversionCase{"CharacterCutShortAtTheEnd", "EUC-KR", "05\xC3",
                       std::string("05") + kReplacement},
        ConversionCase{"BrokenUtf8", "UTF-8", "a\xC3(b", std::string("a") + kReplacement + "(b"},
        ConversionCase{"UnknownSetKeepsTheAscii", "NO-SUCH-CHARACTER-SET", "07:00 \xBD\xC3",
                       std::string("07:00 ") + kReplacement + kReplacement}),
    [](const auto& info) { return std::string(info.param.name); });

struct LocaleCase {
  const char* name;
  std::optional<std::string> all;   // LC_ALL
  std::optional<std::string> time;  // LC_TIME
  std::optional<std::string> lang;  // LANG
  const char* needs;                // the locale the case needs installed
  const char* characterSet;
};

class TimeFormatCharacterSetTest : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(TimeFormatCharacterSetTest, IsTheSetOfTheUsersTimeFormat) {
  const LocaleCase& locale = GetParam();
  if (!Installed(locale.needs)) GTEST_SKIP() << locale.needs << " is not installed";
  ScopedEnvironment environment;
  environment.Set("LC_ALL", locale.all);
  environment.Set("LC_TIME", locale.time);
  environment.Set("LANG", locale.lang);
  EXPECT_EQ(TimeFormatCharacterSet(), locale.characterSet);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, TimeFormatCharacterSetTest,
    ::testing::Values(
        LocaleCase{"KoreanEverything", kKorean, std::nullopt, std::nullopt, kKorean, "EUC-KR"},
        LocaleCase{"KoreanLang", std::nullopt, std::nullopt, kKorean, kKorean, "EUC-KR"},
        // Korean times on an otherwise American UTF-8 desktop: the time's own set counts.
        LocaleCase{"KoreanTimeOnlyOnAUtf8Desktop", std::nullopt, kKorean, kAmerican, kKorean,
                   "EUC-KR"},
        LocaleCase{"AmericanUtf8", kAmerican, std::nullopt, std::nullopt, kAmerican, "UTF-8"},
        LocaleCase{"C", "C", std::nullopt, std::nullopt, "C", "ANSI_X3.4-1968"},
        // A locale that is not installed writes the "C" format.
        LocaleCase{"NotInstalled", "xx_NOWHERE.EUC-KR", std::nullopt, std::nullopt, "C",
                   "ANSI_X3.4-1968"}),
    [](const auto& info) { return std::string(info.param.name); });

// The success message as the Linux platform writes the clock's time and the box shows it.
TEST(MessageForDisplayTest, KoreanClockTextShowsInUtf8) {
  if (!Installed(kKorean)) GTEST_SKIP() << kKorean << " is not installed";
  ScopedEnvironment environment("LC_ALL", kKorean);
  LinuxPlatform platform;
  const std::string message =
      Form1::kChangedPrefix + platform.TimeOfDayText(DateTime::TimeOfDay(15, 4, 5));
  EXPECT_EQ(MessageForDisplay(message), "Your system time was changed to 15시 04분 05초");
}

}  // namespace
}  // namespace tidewell
