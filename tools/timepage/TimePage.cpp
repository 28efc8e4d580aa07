#include "TimePage.h"

#include <locale.h>

#include <array>
#include <cstdio>
#include <ctime>

namespace tidewell::timepage {
namespace {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::sys_days;

constexpr std::array<UsZone, 6> kUsZones = {{
    {"EST", "EDT", hours(-5), true},
    {"CST", "CDT", hours(-6), true},
    {"MST", "MDT", hours(-7), true},
    {"PST", "PDT", hours(-8), true},
    {"AKST", "AKDT", hours(-9), true},
    {"HST", "HDT", hours(-10), false},
}};

// The US switches at 2:00 on the local clock that is in force before the switch.
constexpr hours kUsSwitchHour{2};
constexpr hours kDaylightSaving{1};

// Nothing up to the Universal line may hold a comma or the word the clients look for.
constexpr std::string_view kPageHead =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n"
    "<HTML>\n"
    "<HEAD><TITLE>Tidewell Time Page</TITLE></HEAD>\n"
    "<BODY>\n"
    "<H2>The time on this server</H2>\n"
    "<PRE>\n";
constexpr std::string_view kPageTail =
    "</PRE>\n"
    "</BODY>\n"
    "</HTML>\n";

// "Dec. 07, 11:20:33": the date and time part of the page lines.
constexpr const char* kPageDateTime24 = "%b. %d, %H:%M:%S";
constexpr const char* kPageDateTime12 = "%b. %d, %I:%M:%S %p";
// The IMF-fixdate of HTTP and the log stamp, each around its year (see FourDigitYear).
constexpr const char* kHttpDateBeforeYear = "%a, %d %b ";
constexpr const char* kHttpDateAfterYear = " %H:%M:%S GMT";
constexpr const char* kLogStampAfterYear = "-%m-%dT%H:%M:%SZ";

// The calendar fields of `t` as strftime reads them.
std::tm CalendarParts(Second t) {
  const sys_days day = std::chrono::floor<days>(t);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss time{t - day};
  std::tm parts{};
  parts.tm_year = static_cast<int>(date.year()) - 1900;
  parts.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  parts.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  parts.tm_wday = static_cast<int>(std::chrono::weekday{day}.c_encoding());
  parts.tm_hour = static_cast<int>(time.hours().count());
  parts.tm_min = static_cast<int>(time.minutes().count());
  parts.tm_sec = static_cast<int>(time.seconds().count());
  return parts;
}

// strftime in the C locale, whatever locale the process runs in: its month and weekday names are
// the English ones that the page and HTTP use.
std::string Format(const std::tm& parts, const char* format) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  char text[64];
  const std::size_t length = strftime_l(text, sizeof text, format, &parts, cLocale);
  return std::string(text, length);
}

// strftime's %Y drops the leading zeros of years before 1000; HTTP and the log want four digits.
std::string FourDigitYear(const std::tm& parts) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d", parts.tm_year + 1900);
  return text;
}

// The UTC instants at which `zone` enters and leaves daylight time in `year`.
struct DaylightPeriod {
  Second start;
  Second end;
};

DaylightPeriod UsDaylightPeriod(const UsZone& zone, std::chrono::year year) {
  using namespace std::chrono;
  const sys_days startDay{year / March / Sunday[2]};
  const sys_days endDay{year / November / Sunday[1]};
  const hours standard = zone.standardOffset;
  return {startDay + kUsSwitchHour - standard,
          endDay + kUsSwitchHour - (standard + kDaylightSaving)};
}

}  // namespace

std::span<const UsZone> UsZones() { return kUsZones; }

bool UsDaylightInForce(const UsZone& zone, Second utc) {
  if (!zone.observesDaylight) return false;
  // Every zone on the page lies west of Greenwich by less than a day and switches in spring
  // and autumn, so the UTC year is the local year at both switches.
  const auto year = std::chrono::year_month_day{std::chrono::floor<days>(utc)}.year();
  const DaylightPeriod period = UsDaylightPeriod(zone, year);
  return utc >= period.start && utc < period.end;
}

ZoneReading ReadZone(const UsZone& zone, Second utc) {
  if (UsDaylightInForce(zone, utc)) {
    return {utc + zone.standardOffset + kDaylightSaving, zone.daylightName};
  }
  return {utc + zone.standardOffset, zone.standardName};
}

std::string UniversalLine(Second utc) {
  return Format(CalendarParts(utc), kPageDateTime24) + " Universal Time";
}

std::string ZoneLine(const UsZone& zone, Second utc) {
  const ZoneReading reading = ReadZone(zone, utc);
  std::string line = Format(CalendarParts(reading.localTime), kPageDateTime12);
  line += ' ';
  line += reading.name;
  return line;
}

std::string RenderTimePage(Second utc) {
  std::string page{kPageHead};
  page += "<BR>" + UniversalLine(utc) + "\n";
  for (const UsZone& zone : kUsZones) page += "<BR>" + ZoneLine(zone, utc) + "\n";
  page += kPageTail;
  return page;
}

std::string HttpDate(Second utc) {
  const std::tm parts = CalendarParts(utc);
  return Format(parts, kHttpDateBeforeYear) + FourDigitYear(parts) +
         Format(parts, kHttpDateAfterYear);
}

std::string LogStamp(Second utc) {
  const std::tm parts = CalendarParts(utc);
  return FourDigitYear(parts) + Format(parts, kLogStampAfterYear);
}

}  // namespace tidewell::timepage
