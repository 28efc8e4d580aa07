#include "TimePage.h"

#include <array>
#include <cstdio>

namespace tidewell::timepage {
namespace {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::sys_days;

constexpr std::array<std::string_view, 12> kPageMonths = {
    "Jan.", "Feb.", "Mar.", "Apr.", "May.", "Jun.", "Jul.", "Aug.", "Sep.", "Oct.", "Nov.", "Dec."};
constexpr std::array<std::string_view, 12> kHttpMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kHttpWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                           "Thu", "Fri", "Sat"};

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

struct Broken {
  std::chrono::year_month_day date;
  std::chrono::hh_mm_ss<std::chrono::seconds> time;
};

Broken BreakDown(Second t) {
  const sys_days day = std::chrono::floor<days>(t);
  return {std::chrono::year_month_day{day}, std::chrono::hh_mm_ss{t - day}};
}

// "Dec. 07, " : the date part that every page line starts with.
std::string PageDate(const Broken& b) {
  char text[16];
  std::snprintf(text, sizeof text, "%s %02u, ",
                kPageMonths[static_cast<unsigned>(b.date.month()) - 1].data(),
                static_cast<unsigned>(b.date.day()));
  return text;
}

std::string TwentyFourHour(const Broken& b) {
  char text[16];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", static_cast<long>(b.time.hours().count()),
                static_cast<long>(b.time.minutes().count()),
                static_cast<long>(b.time.seconds().count()));
  return text;
}

// Midnight is 12 AM and noon is 12 PM, as on any US clock face.
std::string TwelveHour(const Broken& b) {
  const long hour24 = static_cast<long>(b.time.hours().count());
  const long hour12 = hour24 % 12 == 0 ? 12 : hour24 % 12;
  char text[20];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld %s", hour12,
                static_cast<long>(b.time.minutes().count()),
                static_cast<long>(b.time.seconds().count()), hour24 < 12 ? "AM" : "PM");
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
  const Broken b = BreakDown(utc);
  return PageDate(b) + TwentyFourHour(b) + " Universal Time";
}

std::string ZoneLine(const UsZone& zone, Second utc) {
  const ZoneReading reading = ReadZone(zone, utc);
  const Broken b = BreakDown(reading.localTime);
  std::string line = PageDate(b) + TwelveHour(b);
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
  const Broken b = BreakDown(utc);
  const std::chrono::weekday weekday{std::chrono::floor<days>(utc)};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %s GMT",
                kHttpWeekdays[weekday.c_encoding()].data(), static_cast<unsigned>(b.date.day()),
                kHttpMonths[static_cast<unsigned>(b.date.month()) - 1].data(),
                static_cast<int>(b.date.year()), TwentyFourHour(b).c_str());
  return text;
}

std::string LogStamp(Second utc) {
  const Broken b = BreakDown(utc);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%sZ", static_cast<int>(b.date.year()),
                static_cast<unsigned>(b.date.month()), static_cast<unsigned>(b.date.day()),
                TwentyFourHour(b).c_str());
  return text;
}

}  // namespace tidewell::timepage
