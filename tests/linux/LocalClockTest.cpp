#include <gtest/gtest.h>
#include <locale.h>

#include <clocale>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "LinuxPlatform.h"
#include "LocalClock.h"
#include "ScopedEnvironment.h"
#include "TimePages.h"

namespace tidewell {
namespace {

using test::ScopedEnvironment;

using test::UtcSeconds;

struct ConversionCase {
  const char* what;
  const char* tz;
  DateTime local;
  std::time_t expectedUtc;
  // The offset the reading was made with, if any.
  std::optional<std::int32_t> biasMinutes = std::nullopt;
};

// The offsets a reading may be made with, in minutes west of UTC.
constexpr std::optional<std::int32_t> kNoBias = std::nullopt;
constexpr std::int32_t kBerlinWinter = -60, kBerlinSummer = -120;
constexpr std::int32_t kNewYorkStandard = 300, kNewYorkDaylight = 240;
constexpr std::int32_t kSydneyStandard = -600, kSydneyDaylight = -660;
constexpr std::int32_t kSantiagoWinter = 240, kSantiagoSummer = 180;
// Neither side of Berlin's change.
constexpr std::int32_t kNeitherSide = 0;

void PrintTo(const ConversionCase& conversion, std::ostream* out) {
  *out << conversion.what << " (" << conversion.tz << ")";
}

class LocalReadingTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(LocalReadingTest, NamesTheExpectedInstant) {
  const ConversionCase& conversion = GetParam();
  ScopedEnvironment environment("TZ", conversion.tz);
  const std::optional<timespec> instant = LocalToTimespec(conversion.local, conversion.biasMinutes);
  ASSERT_TRUE(instant.has_value());
  EXPECT_EQ(instant->tv_sec, conversion.expectedUtc);
  EXPECT_EQ(instant->tv_nsec, 0);
}

// On the day of a change a skipped or repeated reading is taken in the offset it was made with,
// and without one in the offset after the change. Other readings ignore the offset given.
const ConversionCase kReadings[] = {
    {"winter", "America/New_York",
     DateTime::FromParts(2026, 1, 15, 0, 0, 0), UtcSeconds(2026, 1, 15, 5, 0, 0), kNoBias},
    {"summer", "America/New_York",
     DateTime::FromParts(2026, 7, 1, 12, 0, 0), UtcSeconds(2026, 7, 1, 16, 0, 0), kNoBias},
    {"just before clocks go forward", "America/New_York",
     DateTime::FromParts(2026, 3, 8, 1, 59, 59), UtcSeconds(2026, 3, 8, 6, 59, 59), kNoBias},
    {"first reading after clocks go forward", "America/New_York",
     DateTime::FromParts(2026, 3, 8, 3, 0, 0), UtcSeconds(2026, 3, 8, 7, 0, 0), kNoBias},
    // 02:30 never shows that morning; read as EDT it is 06:30 UTC (the clock shows 01:30 EST).
    {"skipped by clocks going forward", "America/New_York",
     DateTime::FromParts(2026, 3, 8, 2, 30, 0), UtcSeconds(2026, 3, 8, 6, 30, 0), kNoBias},
    // 01:30 shows twice; read as EST it is the second time.
    {"repeated when clocks go back", "America/New_York",
     DateTime::FromParts(2026, 11, 1, 1, 30, 0), UtcSeconds(2026, 11, 1, 6, 30, 0), kNoBias},
    {"just before the repeated hour", "America/New_York",
     DateTime::FromParts(2026, 11, 1, 0, 59, 59), UtcSeconds(2026, 11, 1, 4, 59, 59), kNoBias},
    {"skipped in Berlin", "Europe/Berlin",
     DateTime::FromParts(2026, 3, 29, 2, 30, 0), UtcSeconds(2026, 3, 29, 0, 30, 0), kNoBias},
    {"repeated in Berlin", "Europe/Berlin",
     DateTime::FromParts(2026, 10, 25, 2, 30, 0), UtcSeconds(2026, 10, 25, 1, 30, 0), kNoBias},
    {"skipped in Sydney", "Australia/Sydney",
     DateTime::FromParts(2026, 10, 4, 2, 30, 0), UtcSeconds(2026, 10, 3, 15, 30, 0), kNoBias},
    {"repeated in Sydney", "Australia/Sydney",
     DateTime::FromParts(2026, 4, 5, 2, 30, 0), UtcSeconds(2026, 4, 4, 16, 30, 0), kNoBias},
    {"skipped midnight in Santiago", "America/Santiago",
     DateTime::FromParts(2026, 9, 6, 0, 30, 0), UtcSeconds(2026, 9, 6, 3, 30, 0), kNoBias},
    {"repeated in Berlin, summer time", "Europe/Berlin",
     DateTime::FromParts(2025, 10, 26, 2, 30, 0), UtcSeconds(2025, 10, 26, 0, 30, 0), kBerlinSummer},
    {"repeated in Berlin, winter time", "Europe/Berlin",
     DateTime::FromParts(2025, 10, 26, 2, 30, 0), UtcSeconds(2025, 10, 26, 1, 30, 0), kBerlinWinter},
    {"last second of the first showing in Berlin", "Europe/Berlin",
     DateTime::FromParts(2025, 10, 26, 2, 59, 59), UtcSeconds(2025, 10, 26, 0, 59, 59), kBerlinSummer},
    {"first second of the second showing in Berlin", "Europe/Berlin",
     DateTime::FromParts(2025, 10, 26, 2, 0, 0), UtcSeconds(2025, 10, 26, 1, 0, 0), kBerlinWinter},
    {"skipped in Berlin, winter time", "Europe/Berlin",
     DateTime::FromParts(2025, 3, 30, 2, 30, 0), UtcSeconds(2025, 3, 30, 1, 30, 0), kBerlinWinter},
    {"skipped in Berlin, summer time", "Europe/Berlin",
     DateTime::FromParts(2025, 3, 30, 2, 30, 0), UtcSeconds(2025, 3, 30, 0, 30, 0), kBerlinSummer},
    {"repeated in New York, daylight time", "America/New_York",
     DateTime::FromParts(2025, 11, 2, 1, 40, 0), UtcSeconds(2025, 11, 2, 5, 40, 0), kNewYorkDaylight},
    {"repeated in New York, standard time", "America/New_York",
     DateTime::FromParts(2025, 11, 2, 1, 40, 0), UtcSeconds(2025, 11, 2, 6, 40, 0), kNewYorkStandard},
    {"repeated in Sydney, daylight time", "Australia/Sydney",
     DateTime::FromParts(2025, 4, 6, 2, 30, 0), UtcSeconds(2025, 4, 5, 15, 30, 0), kSydneyDaylight},
    {"repeated in Sydney, standard time", "Australia/Sydney",
     DateTime::FromParts(2025, 4, 6, 2, 30, 0), UtcSeconds(2025, 4, 5, 16, 30, 0), kSydneyStandard},
    {"repeated before midnight in Santiago, summer time", "America/Santiago",
     DateTime::FromParts(2026, 4, 4, 23, 30, 0), UtcSeconds(2026, 4, 5, 2, 30, 0), kSantiagoSummer},
    {"repeated before midnight in Santiago, winter time", "America/Santiago",
     DateTime::FromParts(2026, 4, 4, 23, 30, 0), UtcSeconds(2026, 4, 5, 3, 30, 0), kSantiagoWinter},
    {"skipped midnight in Santiago, winter time", "America/Santiago",
     DateTime::FromParts(2026, 9, 6, 0, 30, 0), UtcSeconds(2026, 9, 6, 4, 30, 0), kSantiagoWinter},
    // An offset that is neither side of the change leaves the repeated reading as it was.
    {"repeated in Berlin, an offset of neither side", "Europe/Berlin",
     DateTime::FromParts(2025, 10, 26, 2, 30, 0), UtcSeconds(2025, 10, 26, 1, 30, 0), kNeitherSide},
    // The zone alone decides an ordinary reading, even when the offset given disagrees.
    {"ordinary reading with a wrong offset", "America/New_York",
     DateTime::FromParts(2026, 7, 1, 12, 0, 0), UtcSeconds(2026, 7, 1, 16, 0, 0), kNewYorkStandard},
    {"ordinary reading just before the repeated hour", "America/New_York",
     DateTime::FromParts(2026, 11, 1, 0, 59, 59), UtcSeconds(2026, 11, 1, 4, 59, 59), kNewYorkStandard},
    {"half-hour zone", "Asia/Kolkata",
     DateTime::FromParts(2026, 6, 1, 5, 30, 0), UtcSeconds(2026, 6, 1, 0, 0, 0), kNoBias},
    {"first day of the date range", "UTC",
     DateTime::FromParts(100, 1, 1, 0, 0, 0), UtcSeconds(100, 1, 1, 0, 0, 0), kNoBias},
    {"last second of the date range", "UTC",
     DateTime::FromParts(9999, 12, 31, 23, 59, 59), UtcSeconds(9999, 12, 31, 23, 59, 59), kNoBias},
};

INSTANTIATE_TEST_SUITE_P(Readings, LocalReadingTest, ::testing::ValuesIn(kReadings));

TEST(LocalToTimespecTest, ARepeatedReadingDoesNotDependOnTheConversionBeforeIt) {
  ScopedEnvironment environment("TZ", "America/New_York");
  const DateTime repeated = DateTime::FromParts(2026, 11, 1, 1, 30, 0);
  LocalToTimespec(DateTime::FromParts(2026, 7, 1, 12, 0, 0));
  const std::optional<timespec> afterSummer = LocalToTimespec(repeated);
  LocalToTimespec(DateTime::FromParts(2026, 12, 1, 12, 0, 0));
  const std::optional<timespec> afterWinter = LocalToTimespec(repeated);
  ASSERT_TRUE(afterSummer && afterWinter);
  EXPECT_EQ(afterSummer->tv_sec, afterWinter->tv_sec);
}

TEST(LocalToTimespecTest, EveryHourOfAYearComesBackAsTheSameReading) {
  // Round trip through the zone for every hour of 2026 (and the odd minutes and seconds), skipped
  // readings aside: the conversion must be the exact inverse of the zone's local time.
  for (const char* tz : {"America/New_York", "Australia/Lord_Howe", "Europe/Dublin"}) {
    ScopedEnvironment environment("TZ", tz);
    for (std::time_t instant = UtcSeconds(2026, 1, 1, 0, 17, 23);
         instant < UtcSeconds(2027, 1, 1, 0, 0); instant += 3600) {
      const std::optional<DateTime> local = LocalDateTimeAt(instant);
      ASSERT_TRUE(local.has_value());
      const std::optional<timespec> back = LocalToTimespec(*local);
      ASSERT_TRUE(back.has_value());
      // A repeated reading comes back as its second showing, at most one change of offset later.
      if (back->tv_sec != instant) {
        EXPECT_EQ(LocalDateTimeAt(back->tv_sec), local) << tz << " at " << instant;
        EXPECT_GT(back->tv_sec, instant) << tz;
        EXPECT_LE(back->tv_sec - instant, 3600) << tz;
      }
    }
  }
}

TEST(LocalDateTimeAtTest, ShowsTheInstantInTheZoneInForce) {
  ScopedEnvironment environment("TZ", "Australia/Adelaide");
  EXPECT_EQ(LocalDateTimeAt(UtcSeconds(2026, 1, 1, 0, 0)),
            DateTime::FromParts(2026, 1, 1, 10, 30, 0));
  EXPECT_EQ(LocalDateTimeAt(UtcSeconds(2026, 6, 30, 23, 59, 59)),
            DateTime::FromParts(2026, 7, 1, 9, 29, 59));
}

class LocalClockTest : public ::testing::Test {
 protected:
  // Not UTC and not a whole-hour zone, so a reading that ignored the zone would show.
  ScopedEnvironment environment_{"TZ", "Asia/Kolkata"};
  LinuxPlatform platform_;
};

// Kolkata keeps 05:30 ahead of UTC all year, so its reading of an instant follows from UTC alone.
// The system clock's seconds as the platform reads them. time() may not do: glibc answers it from
// the coarse clock, which can still show the last second just after the real clock turned.
std::time_t RealtimeSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

DateTime KolkataReading(std::time_t instant) {
  constexpr std::time_t kAheadOfUtc = 5 * 3600 + 30 * 60;
  const std::time_t shifted = instant + kAheadOfUtc;
  std::tm fields{};
  gmtime_r(&shifted, &fields);
  return DateTime::FromParts(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                             fields.tm_hour, fields.tm_min, fields.tm_sec);
}

TEST_F(LocalClockTest, ReadLocalClockAgreesWithTime) {
  const std::time_t before = RealtimeSeconds();
  const DateTime clock = platform_.ReadLocalClock();
  const std::time_t after = RealtimeSeconds();
  EXPECT_GE(clock, KolkataReading(before));
  EXPECT_LE(clock, KolkataReading(after));
}

TEST_F(LocalClockTest, TodayIsTheLocalDate) {
  const std::time_t before = RealtimeSeconds();
  const MonthDay today = platform_.Today();
  const std::time_t after = RealtimeSeconds();
  const auto matches = [&](std::time_t instant) {
    const DateTime local = KolkataReading(instant);
    return today.Month == local.Month() && today.Day == local.Day();
  };
  EXPECT_TRUE(matches(before) || matches(after));
  EXPECT_GE(today.Month, 1);
  EXPECT_LE(today.Month, 12);
}

TEST(TimeOfDayTextTest, TheCLocaleShowsTwentyFourHours) {
  ScopedEnvironment environment("LC_ALL", "C");
  LinuxPlatform platform;
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(7, 0, 0)), "07:00:00");
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(23, 59, 59)), "23:59:59");
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(0, 0, 0)), "00:00:00");
  // Only the time of day of a full date-time is shown.
  EXPECT_EQ(platform.TimeOfDayText(DateTime::FromParts(2026, 3, 8, 13, 5, 9)), "13:05:09");
}

TEST(TimeOfDayTextTest, AMissingLocaleFallsBackToC) {
  ScopedEnvironment environment("LC_ALL", "xx_NOWHERE.UTF-8");
  LinuxPlatform platform;
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(7, 0, 0)), "07:00:00");
}

TEST(TimeOfDayTextTest, LcTimeChoosesTheFormat) {
  locale_t available = newlocale(LC_TIME_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
  if (available == static_cast<locale_t>(0)) GTEST_SKIP() << "en_US.UTF-8 is not installed";
  freelocale(available);
  ScopedEnvironment environment;
  environment.Set("LC_ALL", std::nullopt);
  environment.Set("LC_TIME", "en_US.UTF-8");
  LinuxPlatform platform;
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(7, 0, 0)), "07:00:00 AM");
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(23, 59, 59)), "11:59:59 PM");
  EXPECT_EQ(platform.TimeOfDayText(DateTime::TimeOfDay(0, 0, 0)), "12:00:00 AM");
}

TEST(TimeOfDayTextTest, LeavesTheProcessLocaleAlone) {
  const std::string before = std::setlocale(LC_TIME, nullptr);
  ScopedEnvironment environment("LC_ALL", "C.UTF-8");
  LinuxPlatform platform;
  platform.TimeOfDayText(DateTime::TimeOfDay(7, 0, 0));
  EXPECT_EQ(std::setlocale(LC_TIME, nullptr), before);
}

}  // namespace
}  // namespace tidewell
