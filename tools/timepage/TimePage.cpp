#include "TimePage.h"

#include <locale.h>

#include <cstdio>
#include <ctime>
#include <string_view>

namespace tidewell::timepage {
namespace {

// Nothing up to the Universal line may hold a comma or the word the clients look for.
constexpr std::string_view kPageHead =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n"
    "<HTML>\n"
    "<HEAD><TITLE>Tidewell Time Page</TITLE></HEAD>\n"
    "<BODY>\n"
    "<H2>The time on this server</H2>\n"
    "<PRE>\n";
// What a person who opened the page in a browser needs to read it.
constexpr std::string_view kPageTail =
    "</PRE>\n"
    "<P>The time of day in UTC to the second, as this server gave it when the page left.\n"
    "Reload the page to ask again.</P>\n"
    "</BODY>\n"
    "</HTML>\n";

// The calendar fields of `t` as strftime reads them.
std::tm CalendarParts(Second t) {
  const std::chrono::sys_days day = std::chrono::floor<std::chrono::days>(t);
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
// the English ones that the page and HTTP use. strftime's %Y drops the leading zeros of years
// before 1000, and HTTP and the log want four digits, so `format` names the year "%%Y" and it is
// filled in afterwards.
std::string Format(Second utc, const char* format) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const std::tm parts = CalendarParts(utc);
  char pattern[64];
  std::snprintf(pattern, sizeof pattern, format, parts.tm_year + 1900);
  char text[64];
  return std::string(text, strftime_l(text, sizeof text, pattern, &parts, cLocale));
}

}  // namespace

std::string UniversalLine(Second utc) {
  return Format(utc, "%%b. %%d, %%H:%%M:%%S Universal Time");
}

std::string RenderTimePage(Second utc) {
  return std::string{kPageHead} + "<BR>" + UniversalLine(utc) + "\n" + std::string{kPageTail};
}

std::string HttpDate(Second utc) { return Format(utc, "%%a, %%d %%b %04d %%H:%%M:%%S GMT"); }

std::string LogStamp(Second utc) { return Format(utc, "%04d-%%m-%%dT%%H:%%M:%%SZ"); }

}  // namespace tidewell::timepage
