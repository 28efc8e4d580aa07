// The Windows platform services, run under Wine (or on Windows) by the Wine tests. The pages come
// from servers on loopback that the test script starts and names in the environment:
//   TIDEWELL_TEST_PAGES      http://127.0.0.1:PORT of the scripted test-page server
//   TIDEWELL_TEST_TIMEPAGE   the time page of tidewell-timepage
//   TIDEWELL_TEST_TZ         the zone the process was started in (TZ), for the zone test
//   TIDEWELL_TEST_REFUSED_CLOCK=1 when the process is known not to hold the right to set the
//                            clock: only then is a real change of the clock attempted.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "BindByName.h"
#include "DownloadContract.h"
#include "TestPages.h"
#include "ThrowsRuntimeError.h"
#include "WindowsPlatform.h"

namespace tidewell {
namespace {

using test::Downloader;
using test::ThrowsRuntimeError;
using Clock = std::chrono::steady_clock;
namespace pages = wine_tests;

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// The download contract against WinInet, on the pages of the scripted server.
class DownloadContract : public ::testing::TestWithParam<test::DownloadCase> {};

TEST_P(DownloadContract, Holds) {
  const auto base = Environment("TIDEWELL_TEST_PAGES");
  if (!base) GTEST_SKIP() << "TIDEWELL_TEST_PAGES names no test-page server";
  // Wine (8.0) ignores the time-outs set on a session ("fixme: INTERNET_OPTION_SEND/RECEIVE_
  // TIMEOUT") and applies a receive time-out only to connections opened after it is set, so
  // the stall limit cannot be seen to work there; Windows passes the session's time-outs on to
  // its addresses.
  if (GetParam().needsReceiveTimeout && RunningUnderWine()) {
    GTEST_SKIP() << "Wine does not apply WinInet's receive time-outs";
  }
  WindowsPlatform platform({}, GetParam().limits);
  test::ExpectContractHeld(platform, *base, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Pages, DownloadContract, ::testing::ValuesIn(test::DownloadCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The other pages of the scripted server.
class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto base = Environment("TIDEWELL_TEST_PAGES");
    if (!base) GTEST_SKIP() << "TIDEWELL_TEST_PAGES names no test-page server";
    base_ = *base;
  }

  std::string base_;
};

struct TimingCase {
  const char* what;
  const char* path;
  std::optional<ServerFigures> figures;
};

void PrintTo(const TimingCase& c, std::ostream* out) { *out << c.what; }

class ReplyTimingTest : public DownloadTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(ReplyTimingTest, IsKeptWhenTheReplyCarriesBothFigures) {
  using namespace std::chrono_literals;
  const TimingCase& c = GetParam();
  WindowsPlatform platform;
  Downloader downloader(platform);
  const auto before = Clock::now();
  const std::optional<ReplyTiming> timing = downloader.GetUrlText(base_ + c.path).timing;
  const auto after = Clock::now();

  ASSERT_EQ(timing.has_value(), c.figures.has_value());
  if (!timing) return;
  EXPECT_EQ(timing->server, *c.figures);
  // From the request to the response: the server's pause and not much more.
  const auto pause = std::chrono::milliseconds(pages::kTimedPauseMs);
  EXPECT_GE(timing->exchange, pause - 1ms);  // Wine's clock and the server's may round apart
  EXPECT_LT(timing->exchange, pause + 250ms);
  EXPECT_GE(timing->arrived, before + pause - 1ms);
  EXPECT_LE(timing->arrived, after);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTimingTest,
    ::testing::Values(TimingCase{"both figures", pages::kTimedPath,
                                 ServerFigures{std::chrono::microseconds{100'250},
                                               std::chrono::microseconds{250'500}}},
                      TimingCase{"unsound figures", pages::kBadlyTimedPath, std::nullopt},
                      TimingCase{"no figures", pages::kUntimedPath, std::nullopt}));

TEST_F(DownloadTest, AFailedDownloadLeavesNoFiguresOfTheOneBefore) {
  WindowsPlatform platform;
  Downloader downloader(platform);
  const UrlText timed = downloader.GetUrlText(base_ + pages::kTimedPath);
  ASSERT_TRUE(timed.timing.has_value());
  EXPECT_EQ(timed.failure, "");
  const UrlText failed = downloader.GetUrlText("http://127.0.0.1:1/cgi-bin/timer.pl");
  EXPECT_FALSE(failed.timing.has_value());
  EXPECT_NE(failed.failure, "") << "an address that cannot be opened says why";
}

// The programs' request is the plain fetch they have always made: the time-page server holds it
// to its next whole second and says how long in its figures, which the download keeps.
TEST(TimePageDownloadTest, TheTimePageComesOnItsSecondWithItsFigures) {
  using namespace std::chrono_literals;
  const auto address = Environment("TIDEWELL_TEST_TIMEPAGE");
  if (!address) GTEST_SKIP() << "TIDEWELL_TEST_TIMEPAGE names no time page";
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::this_thread::sleep_for(330ms);  // another moment of the second
    WindowsPlatform platform;
    Downloader downloader(platform);
    const auto start = Clock::now();
    const std::optional<ReplyTiming> timing = downloader.GetUrlText(*address).timing;
    const auto took = Clock::now() - start;
    ASSERT_TRUE(timing.has_value());
    EXPECT_LT(timing->server.age, 50ms) << "a held reply leaves on its second";
    EXPECT_LT(timing->server.hold, 1001ms);
    // The exchange holds the server's hold; what is left over is the network's, tiny here.
    EXPECT_GE(timing->exchange + 5ms, timing->server.hold);
    EXPECT_LT(timing->exchange - timing->server.hold, 200ms);
    EXPECT_LT(took, 1500ms);
  }
}

TEST(TimePageDownloadTest, TimePageCarriesTheUniversalTimeEntry) {
  const auto address = Environment("TIDEWELL_TEST_TIMEPAGE");
  if (!address) GTEST_SKIP() << "TIDEWELL_TEST_TIMEPAGE names no time page";
  WindowsPlatform platform;
  const test::DownloadRecord record = test::DownloadThrough(platform, *address);
  const std::string& page = record.text;
  const auto marker = page.find("Universal");
  ASSERT_NE(marker, std::string::npos) << page;
  EXPECT_NE(page.rfind(',', marker), std::string::npos) << page;
  for (std::uint32_t delivered : record.delivered) EXPECT_LE(delivered, 2048u);
}

TEST(BindByNameTest, MissingInternetLibraryRaisesTheMissingLibraryError) {
  WindowsPlatform platform({}, {}, "tidewell-no-such-library.dll");
  EXPECT_THAT(
      [&] { platform.InternetOpen("VB Project"); },
      ThrowsRuntimeError(kErrMissingLibrary, ::testing::HasSubstr("tidewell-no-such-library.dll")));
}

TEST(BindByNameTest, MissingEntryPointRaisesTheMissingLibraryError) {
  const HMODULE kernel = LoadLibraryOrRaise("kernel32.dll");
  EXPECT_THAT(
      [&] { EntryPointOrRaise<void (*)()>(kernel, "kernel32.dll", "TidewellNoSuchEntryPoint"); },
      ThrowsRuntimeError(kErrMissingLibrary,
                         "Can't find DLL entry point TidewellNoSuchEntryPoint in kernel32.dll"));
}

TEST(LocalClockTest, TodayIsTheDateOfTheClock) {
  WindowsPlatform platform;
  for (int attempt = 0; attempt < 3; ++attempt) {  // a reading across midnight is taken again
    const DateTime before = platform.ReadLocalClock();
    const MonthDay today = platform.Today();
    const DateTime after = platform.ReadLocalClock();
    if (before.DayNumber() != after.DayNumber()) continue;
    EXPECT_EQ(today.Month, before.Month());
    EXPECT_EQ(today.Day, before.Day());
    EXPECT_GE(before.Year(), 2020);
    return;
  }
  FAIL() << "the date changed during every reading";
}

TEST(LocalClockTest, TimeOfDayTextShowsTheTimeInTheUsersFormat) {
  WindowsPlatform platform;
  const std::string text = platform.TimeOfDayText(DateTime::TimeOfDay(13, 5, 9));
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.find("05"), std::string::npos) << text;
  EXPECT_NE(text.find("09"), std::string::npos) << text;
  EXPECT_NE(platform.TimeOfDayText(DateTime::TimeOfDay(23, 59, 58)).find("58"), std::string::npos);
}

TEST(LocalClockTest, RefusedChangeLeavesTheClockAndReportsFalse) {
  if (Environment("TIDEWELL_TEST_REFUSED_CLOCK") != "1") {
    GTEST_SKIP() << "only where the process is known not to hold the right to set the clock";
  }
  WindowsPlatform platform;
  const DateTime before = platform.ReadLocalClock();
  EXPECT_FALSE(platform.SetLocalClock({before.AddMinutes(60), {}}, 0));  // Windows needs no bias
  const DateTime after = platform.ReadLocalClock();
  EXPECT_LT(after.SerialSeconds() - before.SerialSeconds(), 30);
  EXPECT_GE(after.SerialSeconds(), before.SerialSeconds());
}

// What Windows says about the zone named by TZ (Wine takes it from there), read through the
// platform in the year of the clock: the biases, and the days of the changes worked out by hand.
// New York changes on the second Sunday of March and the first of November, Berlin on the last
// Sundays of March and October, Sydney on the first Sundays of October and April.
struct KnownZone {
  const char* name;
  int year;
  std::int32_t bias;
  std::int32_t daylightBias;
  int standardMonth, standardDay;
  int daylightMonth, daylightDay;
};

constexpr KnownZone kKnownZones[] = {
    {"America/New_York", 2026, 300, -60, 11, 1, 3, 8},
    {"America/New_York", 2027, 300, -60, 11, 7, 3, 14},
    {"Europe/Berlin", 2026, -60, -60, 10, 25, 3, 29},
    {"Europe/Berlin", 2027, -60, -60, 10, 31, 3, 28},
    {"Australia/Sydney", 2026, -600, -60, 4, 5, 10, 4},
    {"Australia/Sydney", 2027, -600, -60, 4, 4, 10, 3},
    {"Asia/Tokyo", 2026, -540, 0, 0, 0, 0, 0},
    {"Asia/Tokyo", 2027, -540, 0, 0, 0, 0, 0},
};

TEST(TimeZoneTest, SettingsMatchTheZoneNamedByTz) {
  const auto zoneName = Environment("TIDEWELL_TEST_TZ");
  if (!zoneName) GTEST_SKIP() << "TIDEWELL_TEST_TZ names no zone";
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const KnownZone* zone = nullptr;
  for (const KnownZone& known : kKnownZones) {
    if (*zoneName == known.name && now.wYear == known.year) zone = &known;
  }
  if (zone == nullptr) GTEST_SKIP() << "no expectations for " << *zoneName << " in " << now.wYear;

  WindowsPlatform platform;
  const TimeZoneSettings settings = platform.ReadTimeZoneSettings();
  EXPECT_EQ(settings.Bias, zone->bias);
  EXPECT_EQ(settings.StandardBias, 0);
  EXPECT_EQ(settings.StandardMonth, zone->standardMonth);
  EXPECT_EQ(settings.DaylightMonth, zone->daylightMonth);
  if (zone->standardMonth == 0) return;
  EXPECT_EQ(settings.DaylightBias, zone->daylightBias);
  EXPECT_EQ(settings.StandardDay, zone->standardDay);
  EXPECT_EQ(settings.DaylightDay, zone->daylightDay);
}

}  // namespace
}  // namespace tidewell
