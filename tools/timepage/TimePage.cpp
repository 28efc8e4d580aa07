#include "TimePage.h"

#include <locale.h>
#include <time.h>

#include <cstdio>
#include <string_view>

namespace tidewell::timepage {
namespace {

// Nothing before the Universal line (at "%s") may hold a comma or the word the clients look for;
// after it comes what a person who opened the page in a browser needs to read it.
constexpr std::string_view kPage = R"(<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 3.2 Final//EN">
<HTML>
<HEAD><TITLE>Tidewell Time Page</TITLE></HEAD>
<BODY>
<H2>The time on this server</H2>
<PRE>
<BR>%s
</PRE>
<P>The time of day in UTC to the second, as this server gave it when the page left.
Reload the page to ask again.</P>
</BODY>
</HTML>
)";

// strftime in the C locale, whatever the process's, for the English names of the page and HTTP.
// Its %Y drops the leading zeros of years before 1000, so `format` gives the year to printf.
std::string Format(Second utc, const char* format) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const time_t seconds = utc.time_since_epoch().count();
  tm parts{};
  ::gmtime_r(&seconds, &parts);
  char pattern[64];
  std::snprintf(pattern, sizeof pattern, format, parts.tm_year + 1900);
  char text[64];
  return std::string(text, strftime_l(text, sizeof text, pattern, &parts, cLocale));
}

}  // namespace

std::string RenderTimePage(Second utc) {
  std::string page{kPage};
  return page.replace(page.find("%s"), 2, Format(utc, "%%b. %%d, %%H:%%M:%%S Universal Time"));
}

std::string HttpDate(Second utc) { return Format(utc, "%%a, %%d %%b %04d %%H:%%M:%%S GMT"); }

std::string LogStamp(Second utc) { return Format(utc, "%04d-%%m-%%dT%%H:%%M:%%SZ"); }

}  // namespace tidewell::timepage
