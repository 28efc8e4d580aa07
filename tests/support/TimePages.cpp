#include "TimePages.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace tidewell::test {

std::string TimePageAhead(double aheadSeconds) {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::time_t shown = static_cast<std::time_t>(std::floor(now + aheadSeconds));
  std::tm utc{};
  gmtime_r(&shown, &utc);
  char line[64];
  std::strftime(line, sizeof line, "<BR>%b. %d, %H:%M:%S Universal Time\n", &utc);
  return std::string("<HTML><TITLE>What time is it</TITLE><BODY><PRE>\n") + line +
         "<BR>Dec. 07, 06:20:33 AM EST\n</PRE></BODY></HTML>\n";
}

std::time_t UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return timegm(&fields);
}

}  // namespace tidewell::test
