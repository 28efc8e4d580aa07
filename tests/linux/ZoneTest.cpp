#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sstream>
#include <string>

#include "LinuxPlatform.h"
#include "LocalClock.h"
#include "ScopedEnvironment.h"
#include "TimeCore.h"
#include "ZoneSearch.h"

namespace tidewell {
namespace {

using test::ScopedEnvironment;

struct ZoneCase {
  const char* tz;
  int year;
  TimeZoneSettings expected;  // Bias, StandardBias, DaylightBias, SM, SD, DM, DD, change seconds
};

void PrintTo(const ZoneCase& zoneCase, std::ostream* out) {
  *out << zoneCase.tz << " in " << zoneCase.year;
}

std::string Describe(const TimeZoneSettings& zone) {
  std::ostringstream out;
  out << "{Bias " << zone.Bias << ", StandardBias " << zone.StandardBias << ", DaylightBias "
      << zone.DaylightBias << ", standard " << zone.StandardMonth << "/" << zone.StandardDay
      << " at " << zone.StandardChangeSecond << " s, daylight " << zone.DaylightMonth << "/"
      << zone.DaylightDay << " at " << zone.DaylightChangeSecond << " s}";
  return out.str();
}

class ZoneForYearTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneForYearTest, MatchesTheZoneDatabase) {
  const ZoneCase& zoneCase = GetParam();
  ScopedEnvironment environment("TZ", zoneCase.tz);
  const TimeZoneSettings zone = ReadZoneForYear(zoneCase.year);
  EXPECT_TRUE(zone == zoneCase.expected)
      << "got " << Describe(zone) << ", expected " << Describe(zoneCase.expected);
}

// The days checked against `zdump -v -c 2026,2028 <zone>`: each is the local date, in the new
// offset, of the first second after the change. The change seconds are the clock's reading just
// before the change, counted from midnight of that day: 02:00 is 7200, 03:00 is 10800.
INSTANTIATE_TEST_SUITE_P(
    Zones, ZoneForYearTest,
    ::testing::Values(
        ZoneCase{"America/New_York", 2026, {300, 0, -60, 11, 1, 3, 8, 7200, 7200}},
        ZoneCase{"America/New_York", 2027, {300, 0, -60, 11, 7, 3, 14, 7200, 7200}},
        ZoneCase{"Europe/Berlin", 2026, {-60, 0, -60, 10, 25, 3, 29, 10800, 7200}},
        ZoneCase{"Australia/Sydney", 2026, {-600, 0, -60, 4, 5, 10, 4, 10800, 7200}},
        ZoneCase{"Australia/Adelaide", 2026, {-570, 0, -60, 4, 5, 10, 4, 10800, 7200}},
        // Half-hour daylight saving: 10:30 in winter, 11:00 in summer; both changes at 02:00.
        ZoneCase{"Australia/Lord_Howe", 2026, {-630, 0, -30, 4, 5, 10, 4, 7200, 7200}},
        // Santiago changes at midnight of Saturday to Sunday. Back to standard, 00:00 -03 on
        // Sunday 5 April is shown as 23:00 -04 on Saturday the 4th; forward to daylight, 00:00 -04
        // on Sunday 6 September is shown as 01:00 -03 on the 6th. So the change back comes at the
        // very end of the 4th (86400) and the change forward at the very start of the 6th (0).
        ZoneCase{"America/Santiago", 2026, {240, 0, -60, 4, 4, 9, 6, 86400, 0}},
        ZoneCase{"America/Santiago", 2027, {240, 0, -60, 4, 3, 9, 5, 86400, 0}},
        // Dublin's database calls winter time the "daylight" one (negative saving). The larger
        // offset is daylight time all the same, as Windows has it: Bias 0, summer from March,
        // from 01:00 GMT to 02:00 IST in spring, from 02:00 IST back to 01:00 GMT in autumn.
        ZoneCase{"Europe/Dublin", 2026, {0, 0, -60, 10, 25, 3, 29, 7200, 3600}},
        // Morocco keeps +01 and steps back to +00 for Ramadan: that month is its standard time.
        ZoneCase{"Africa/Casablanca", 2026, {0, 0, -60, 2, 15, 3, 22, 10800, 7200}},
        ZoneCase{"Asia/Tokyo", 2026, {-540, 0, 0, 0, 0, 0, 0}},
        ZoneCase{"Asia/Kolkata", 2026, {-330, 0, 0, 0, 0, 0, 0}},
        ZoneCase{"Asia/Tehran", 2026, {-210, 0, 0, 0, 0, 0, 0}},
        ZoneCase{"UTC", 2026, {0, 0, 0, 0, 0, 0, 0}},
        ZoneCase{"America/Phoenix", 2026, {420, 0, 0, 0, 0, 0, 0}},
        // Rules written out instead of taken from the database.
        ZoneCase{"EST5EDT,M3.2.0,M11.1.0", 2026, {300, 0, -60, 11, 1, 3, 8, 7200, 7200}},
        ZoneCase{"AEST-10AEDT,M10.1.0,M4.1.0/3", 2026, {-600, 0, -60, 4, 5, 10, 4, 10800, 7200}},
        ZoneCase{"<-04>4<-03>,M9.1.6/24,M4.1.6/24", 2026, {240, 0, -60, 4, 4, 9, 6, 86400, 0}},
        // Summer time ends at midnight of New Year's Eve: shown in winter time that is 23:00 on
        // 31 December, so the change that opens 2026 belongs to 2025 and the one that closes
        // 2026 is its own, at the end of the 31st as summer time reads it.
        ZoneCase{"XST3XDT,J182/0,J1/0", 2026, {180, 0, -60, 12, 31, 7, 1, 86400, 0}}));

// Through a whole day of change, every ten minutes: a page read by a clock that is exactly right
// must set the clock to the page's own instant, in the repeated and around the skipped hour too.
// This is the synchronisation's road from the page's Universal time to the instant the Linux
// platform sets, with the zone read from the database.
class ChangeDayRoundTripTest : public ::testing::TestWithParam<const char*> {};

std::time_t LocalMidnightAsUtc(int year, int month, int day) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  return timegm(&fields);
}

void ExpectEveryInstantOfTheDayComesBack(const TimeZoneSettings& zone, int year, int month,
                                         int day) {
  constexpr std::time_t kStep = 600;
  constexpr std::time_t kMargin = 15 * 3600;  // more than any zone's offset
  const std::time_t wall = LocalMidnightAsUtc(year, month, day);
  for (std::time_t instant = wall - kMargin; instant < wall + 86400 + kMargin; instant += kStep) {
    const DateTime clock = *LocalDateTimeAt(instant);
    const int secondOfDay = static_cast<int>(instant % 86400);
    const DateTime universal =
        DateTime::TimeOfDay(secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    const std::int32_t bias = BiasMinutesAt(zone, clock, universal);
    const DateTime local = NearestDayAt(clock, universal.AddMinutes(-bias).SecondOfDay());
    const std::optional<timespec> set = LocalToTimespec(local, bias);
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(set->tv_sec, instant) << "clock " << clock.Month() << "/" << clock.Day() << " "
                                    << clock.Hour() << ":" << clock.Minute() << ", bias " << bias;
  }
}

TEST_P(ChangeDayRoundTripTest, SetsThePagesInstantAllDay) {
  ScopedEnvironment environment("TZ", GetParam());
  for (const int year : {2025, 2026}) {
    const TimeZoneSettings zone = ReadZoneForYear(year);
    ASSERT_NE(zone.StandardMonth, 0);
    ExpectEveryInstantOfTheDayComesBack(zone, year, zone.StandardMonth, zone.StandardDay);
    ExpectEveryInstantOfTheDayComesBack(zone, year, zone.DaylightMonth, zone.DaylightDay);
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, ChangeDayRoundTripTest,
                         ::testing::Values("Europe/Berlin", "America/New_York", "Australia/Sydney",
                                           "America/Santiago", "Australia/Lord_Howe",
                                           "Europe/Dublin"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (c == '/') c = '_';
                           }
                           return name;
                         });

// Sydney changes on the first Sunday of April (03:00) and of October (02:00), so its days differ
// from one year to the next; the calendar of the standard library finds them for any year.
TimeZoneSettings SydneyIn(int year) {
  using namespace std::chrono;
  const auto firstSunday = [&](month m) {
    return static_cast<std::int16_t>(static_cast<unsigned>(
        year_month_day{sys_days{std::chrono::year{year} / m / Sunday[1]}}.day()));
  };
  return {-600, 0, -60, 4, firstSunday(April), 10, firstSunday(October), 10800, 7200};
}

TEST(ZoneSettingsTest, SydneysRuleIsTheCalendarsFirstSundays) {
  // Worked out by hand: 2026-04-05 and 2026-10-04, 2027-04-04 and 2027-10-03.
  EXPECT_TRUE(SydneyIn(2026) == (TimeZoneSettings{-600, 0, -60, 4, 5, 10, 4, 10800, 7200}));
  EXPECT_TRUE(SydneyIn(2027) == (TimeZoneSettings{-600, 0, -60, 4, 4, 10, 3, 10800, 7200}));
}

TEST(ZoneSettingsTest, TheCurrentYearIsTheYearOfTheLocalClock) {
  ScopedEnvironment environment("TZ", "Australia/Sydney");
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int year = local.tm_year + 1900;
  LinuxPlatform platform;
  const TimeZoneSettings zone = platform.ReadTimeZoneSettings();
  EXPECT_TRUE(zone == SydneyIn(year))
      << "got " << Describe(zone) << ", expected " << Describe(SydneyIn(year)) << " for " << year;
}

TEST(ZoneSettingsTest, FollowsAChangeOfTzWithinTheProcess) {
  LinuxPlatform platform;
  ScopedEnvironment environment("TZ", "Asia/Tokyo");
  EXPECT_EQ(platform.ReadTimeZoneSettings().Bias, -540);
  // Straight through setenv, as another part of the program would: the platform must take it up.
  setenv("TZ", "America/New_York", 1);
  EXPECT_EQ(platform.ReadTimeZoneSettings().Bias, 300);
}

}  // namespace
}  // namespace tidewell
