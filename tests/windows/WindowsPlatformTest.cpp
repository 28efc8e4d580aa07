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
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "BindByName.h"
#include "ExpectRuntimeError.h"
#include "TestPages.h"
#include "TimeCore.h"
#include "WindowsPlatform.h"

namespace tidewell {
namespace {

namespace pages = wine_tests;
using Clock = std::chrono::steady_clock;

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// What one download did, as the platform saw it.
struct DownloadRecord {
  std::string agent;
  InternetHandle session = 0;
  InternetHandle url = 0;
  std::vector<std::uint32_t> asked;
  std::vector<std::uint32_t> delivered;
  std::vector<InternetHandle> closed;
};

// Passes every call on to the real platform and keeps what the download did.
class RecordingPlatform : public Platform {
 public:
  RecordingPlatform(Platform& inner, DownloadRecord& record) : inner_(inner), record_(record) {}

  TimeZoneSettings ReadTimeZoneSettings() override { return inner_.ReadTimeZoneSettings(); }
  MonthDay Today() override { return inner_.Today(); }
  DateTime ReadLocalClock() override { return inner_.ReadLocalClock(); }
  // Never the real clock here.
  bool SetLocalClock(const DateTime&, std::int32_t) override { return false; }
  std::string TimeOfDayText(const DateTime& time) override { return inner_.TimeOfDayText(time); }

  InternetHandle InternetOpen(const std::string& agent) override {
    record_.agent = agent;
    record_.session = inner_.InternetOpen(agent);
    return record_.session;
  }
  InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) override {
    record_.url = inner_.InternetOpenUrl(session, address);
    return record_.url;
  }
  std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                 std::uint32_t bytesToRead) override {
    record_.asked.push_back(bytesToRead);
    const std::uint32_t delivered = inner_.InternetReadFile(url, buffer, bytesToRead);
    record_.delivered.push_back(delivered);
    return delivered;
  }
  void InternetCloseHandle(InternetHandle handle) override {
    record_.closed.push_back(handle);
    inner_.InternetCloseHandle(handle);
  }

 private:
  Platform& inner_;
  DownloadRecord& record_;
};

// The download routine of the synchronisation component, reachable from a test.
class Downloader : public TimeCore {
 public:
  using TimeCore::GetUrlText;
  using TimeCore::TimeCore;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto base = Environment("TIDEWELL_TEST_PAGES");
    if (!base) GTEST_SKIP() << "TIDEWELL_TEST_PAGES names no test-page server";
    base_ = *base;
  }

  std::string Download(const std::string& address, const InternetLimits& limits = {}) {
    record_ = {};
    WindowsPlatform platform({}, limits);
    RecordingPlatform recording(platform, record_);
    Downloader downloader(recording);
    return downloader.GetUrlText(address);
  }

  // Every read asked for the component's 2048 bytes, none delivered more, the last delivered
  // nothing and none before it did; the handles were closed address first, then the session.
  void ExpectWellFormedReads() {
    ASSERT_FALSE(record_.delivered.empty());
    for (std::uint32_t asked : record_.asked) EXPECT_EQ(asked, 2048u);
    for (std::uint32_t delivered : record_.delivered) EXPECT_LE(delivered, 2048u);
    EXPECT_EQ(record_.delivered.back(), 0u);
    for (std::size_t i = 0; i + 1 < record_.delivered.size(); ++i) {
      EXPECT_GT(record_.delivered[i], 0u) << "read " << i << " ended the body early";
    }
    std::vector<InternetHandle> expectedClosed;
    if (record_.url != 0) expectedClosed.push_back(record_.url);
    if (record_.session != 0) expectedClosed.push_back(record_.session);
    EXPECT_EQ(record_.closed, expectedClosed);
  }

  std::size_t DeliveredTotal() const {
    return std::accumulate(record_.delivered.begin(), record_.delivered.end(), std::size_t{0});
  }

  std::string base_;
  DownloadRecord record_;
};

TEST_F(DownloadTest, SessionIsNamedVbProject) {
  Download(base_ + pages::kEmptyPath);
  EXPECT_EQ(record_.agent, "VB Project");
  EXPECT_NE(record_.session, 0u);
  EXPECT_NE(record_.url, 0u);
}

TEST_F(DownloadTest, EmptyBodyIsEmptyTextAfterOneRead) {
  EXPECT_EQ(Download(base_ + pages::kEmptyPath), "");
  EXPECT_EQ(record_.delivered, std::vector<std::uint32_t>{0});
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, BodyOfExactlyOneChunkEndsWithAnEmptyRead) {
  EXPECT_EQ(Download(base_ + pages::kExactChunkPath), pages::PatternBody(pages::kExactChunkSize));
  EXPECT_GE(record_.delivered.size(), 2u);
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, BodyOfFiveThousandBytesArrivesWholeAndInOrder) {
  const std::string text = Download(base_ + pages::kSplitBodyPath);
  EXPECT_EQ(text.size(), pages::kSplitBodySize);
  EXPECT_EQ(text, pages::PatternBody(pages::kSplitBodySize));  // bytes 0..255, one per char
  EXPECT_GE(record_.delivered.size(), 4u);  // at least 2048 + 2048 + 904 + the empty read
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, BodyOfAnErrorReplyIsReturnedLikeAnyOther) {
  EXPECT_EQ(Download(base_ + pages::kNotFoundPath), pages::kNotFoundBody);
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, UnreachablePortGivesEmptyTextAndClosesTheSession) {
  // Nothing listens on port 1 of loopback: the connection is refused at once.
  EXPECT_EQ(Download("http://127.0.0.1:1/cgi-bin/timer.pl"), "");
  EXPECT_EQ(record_.url, 0u);
  EXPECT_NE(record_.session, 0u);
  EXPECT_EQ(record_.delivered, std::vector<std::uint32_t>{0});
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, ServerThatNeverAnswersFailsAfterTheStallLimit) {
  // Wine (8.0) ignores the time-outs set on a session ("fixme: INTERNET_OPTION_SEND/RECEIVE_
  // TIMEOUT"), and InternetOpenUrlA gives no handle to set them on before it waits for the
  // reply; Windows passes the session's time-outs on to the address.
  if (RunningUnderWine()) GTEST_SKIP() << "Wine does not apply a session's receive time-out";
  InternetLimits limits;
  limits.stallTimeout = std::chrono::milliseconds(1000);
  const auto started = Clock::now();
  EXPECT_EQ(Download(base_ + pages::kNeverAnswersPath, limits), "");
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(8));
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, ServerThatNeverAnswersIsLeftAtTheDeadline) {
  // The stall limit stays at its 15 s: here only the overall deadline can end the wait for a
  // reply inside InternetOpenUrlA, which under Wine heeds no time-out at all.
  InternetLimits limits;
  limits.overallDeadline = std::chrono::milliseconds(2000);
  const auto started = Clock::now();
  EXPECT_EQ(Download(base_ + pages::kNeverAnswersPath, limits), "");
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(6));
  EXPECT_EQ(record_.url, 0u);
  EXPECT_NE(record_.session, 0u);
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, BodyThatStallsEndsAfterTheStallLimit) {
  // The receive time-out is set on the address before every read; Wine (8.0) applies a
  // receive time-out only to connections it opens afterwards.
  if (RunningUnderWine()) {
    GTEST_SKIP() << "Wine does not apply a receive time-out to an open address";
  }
  InternetLimits limits;
  limits.stallTimeout = std::chrono::milliseconds(1000);
  const auto started = Clock::now();
  const std::string text = Download(base_ + pages::kStallPath, limits);
  EXPECT_EQ(text, std::string(pages::kBytesBeforeStall, 's'));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(6));
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, SlowBodyIsCutAtTheDeadline) {
  InternetLimits limits;
  limits.overallDeadline = std::chrono::milliseconds(1500);
  const auto started = Clock::now();
  const std::string text = Download(base_ + pages::kDripPath, limits);  // 40 s to send whole
  const auto took = Clock::now() - started;
  EXPECT_GT(text.size(), 0u);  // what had come by then is kept
  EXPECT_LT(text.size(), 2000u);
  EXPECT_EQ(text, std::string(text.size(), 'd'));
  EXPECT_LT(took, std::chrono::seconds(6));
  ExpectWellFormedReads();
}

TEST_F(DownloadTest, LargeBodyStopsAtTheSizeCap) {
  InternetLimits limits;
  limits.sizeCap = 100'000;  // not a multiple of 2048: the last read is cut short
  const std::string text = Download(base_ + pages::kLargePath, limits);
  EXPECT_EQ(text.size(), 100'000u);
  EXPECT_EQ(DeliveredTotal(), 100'000u);
  ExpectWellFormedReads();
}

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
  downloader.GetUrlText(base_ + c.path);
  const auto after = Clock::now();

  const std::optional<ReplyTiming> timing = platform.LastReplyTiming();
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
                      TimingCase{"no figures", pages::kExactChunkPath, std::nullopt}));

TEST_F(DownloadTest, AFailedDownloadLeavesNoFiguresOfTheOneBefore) {
  WindowsPlatform platform;
  Downloader downloader(platform);
  downloader.GetUrlText(base_ + pages::kTimedPath);
  ASSERT_TRUE(platform.LastReplyTiming().has_value());
  downloader.GetUrlText("http://127.0.0.1:1/cgi-bin/timer.pl");
  EXPECT_FALSE(platform.LastReplyTiming().has_value());
}

// The time-page server holds a plain request to its next whole second; asked not to, it
// answers at once, with the figures that date its page.
TEST(TimePageDownloadTest, TheTimePageComesAtOnceWithItsFigures) {
  using namespace std::chrono_literals;
  const auto address = Environment("TIDEWELL_TEST_TIMEPAGE");
  if (!address) GTEST_SKIP() << "TIDEWELL_TEST_TIMEPAGE names no time page";
  for (int attempt = 0; attempt < 3; ++attempt) {
    WindowsPlatform platform;
    Downloader downloader(platform);
    const auto start = Clock::now();
    downloader.GetUrlText(*address);
    const auto took = Clock::now() - start;
    const std::optional<ReplyTiming> timing = platform.LastReplyTiming();
    ASSERT_TRUE(timing.has_value());
    EXPECT_LT(timing->server.hold, 50ms) << "the request was held for the second";
    EXPECT_LT(timing->server.age, 1001ms);
    EXPECT_LT(took, 500ms);
    std::this_thread::sleep_for(330ms);  // another moment of the second
  }
}

TEST(TimePageDownloadTest, TimePageCarriesTheUniversalTimeEntry) {
  const auto address = Environment("TIDEWELL_TEST_TIMEPAGE");
  if (!address) GTEST_SKIP() << "TIDEWELL_TEST_TIMEPAGE names no time page";
  WindowsPlatform platform;
  DownloadRecord record;
  RecordingPlatform recording(platform, record);
  Downloader downloader(recording);
  const std::string page = downloader.GetUrlText(*address);
  const auto marker = page.find("Universal");
  ASSERT_NE(marker, std::string::npos) << page;
  EXPECT_NE(page.rfind(',', marker), std::string::npos) << page;
  for (std::uint32_t delivered : record.delivered) EXPECT_LE(delivered, 2048u);
}

TEST(BindByNameTest, MissingInternetLibraryRaisesTheMissingLibraryError) {
  WindowsPlatform platform({}, {}, "tidewell-no-such-library.dll");
  ExpectRuntimeError(kErrMissingLibrary, [&] { platform.InternetOpen("VB Project"); });
  try {
    platform.InternetOpen("VB Project");
  } catch (const RuntimeError& error) {
    EXPECT_NE(error.Description().find("tidewell-no-such-library.dll"), std::string::npos);
  }
}

TEST(BindByNameTest, MissingEntryPointRaisesTheMissingLibraryError) {
  const HMODULE kernel = LoadLibraryOrRaise("kernel32.dll");
  ExpectRuntimeError(kErrMissingLibrary, [&] {
    EntryPointOrRaise<void (*)()>(kernel, "kernel32.dll", "TidewellNoSuchEntryPoint");
  });
  try {
    EntryPointOrRaise<void (*)()>(kernel, "kernel32.dll", "TidewellNoSuchEntryPoint");
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.Description(),
              "Can't find DLL entry point TidewellNoSuchEntryPoint in kernel32.dll");
  }
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
  EXPECT_FALSE(platform.SetLocalClock(before.AddMinutes(60), 0));  // Windows needs no bias
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
