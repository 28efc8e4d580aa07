// The page for a given second: the Universal line the clients read, the US zone lines with
// the daylight rule at its switches, and the date stamps of the reply headers and the log.

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "TimePage.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono;

Second Utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

// The lines of the <PRE> block, each still with its <BR>.
std::vector<std::string> PreLines(const std::string& page) {
  const std::size_t open = page.find("<PRE>\n");
  const std::size_t close = page.find("</PRE>");
  std::vector<std::string> lines;
  if (open == std::string::npos || close == std::string::npos) return lines;
  std::size_t at = open + 6;
  while (at < close) {
    const std::size_t end = page.find('\n', at);
    lines.push_back(page.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

struct PageCase {
  const char* what;
  Second utc;
  std::vector<std::string> lines;  // Universal, EST, CST, MST, PST, AKST, HST (without <BR>)
};

class PageLines : public ::testing::TestWithParam<PageCase> {};

TEST_P(PageLines, ShowEveryZoneAtTheSecondServed) {
  const PageCase& c = GetParam();
  std::vector<std::string> expected;
  for (const std::string& line : c.lines) expected.push_back("<BR>" + line);
  EXPECT_EQ(PreLines(RenderTimePage(c.utc)), expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Dates, PageLines,
    ::testing::Values(PageCase{"winter: standard time everywhere",
                               Utc(2026, 12, 7, 11, 20, 33),
                               {"Dec. 07, 11:20:33 Universal Time", "Dec. 07, 06:20:33 AM EST",
                                "Dec. 07, 05:20:33 AM CST", "Dec. 07, 04:20:33 AM MST",
                                "Dec. 07, 03:20:33 AM PST", "Dec. 07, 02:20:33 AM AKST",
                                "Dec. 07, 01:20:33 AM HST"}},
                      PageCase{"summer: daylight time except Hawaii",
                               Utc(2026, 7, 4, 16, 5, 9),
                               {"Jul. 04, 16:05:09 Universal Time", "Jul. 04, 12:05:09 PM EDT",
                                "Jul. 04, 11:05:09 AM CDT", "Jul. 04, 10:05:09 AM MDT",
                                "Jul. 04, 09:05:09 AM PDT", "Jul. 04, 08:05:09 AM AKDT",
                                "Jul. 04, 06:05:09 AM HST"}},
                      PageCase{"second Sunday of March: the last standard second in the East",
                               Utc(2026, 3, 8, 6, 59, 59),
                               {"Mar. 08, 06:59:59 Universal Time", "Mar. 08, 01:59:59 AM EST",
                                "Mar. 08, 12:59:59 AM CST", "Mar. 07, 11:59:59 PM MST",
                                "Mar. 07, 10:59:59 PM PST", "Mar. 07, 09:59:59 PM AKST",
                                "Mar. 07, 08:59:59 PM HST"}},
                      PageCase{"second Sunday of March: the East springs to 3:00, the rest not yet",
                               Utc(2026, 3, 8, 7, 0, 0),
                               {"Mar. 08, 07:00:00 Universal Time", "Mar. 08, 03:00:00 AM EDT",
                                "Mar. 08, 01:00:00 AM CST", "Mar. 08, 12:00:00 AM MST",
                                "Mar. 07, 11:00:00 PM PST", "Mar. 07, 10:00:00 PM AKST",
                                "Mar. 07, 09:00:00 PM HST"}},
                      PageCase{"second Sunday of March: the Pacific springs, Alaska not yet",
                               Utc(2026, 3, 8, 10, 0, 0),
                               {"Mar. 08, 10:00:00 Universal Time", "Mar. 08, 06:00:00 AM EDT",
                                "Mar. 08, 05:00:00 AM CDT", "Mar. 08, 04:00:00 AM MDT",
                                "Mar. 08, 03:00:00 AM PDT", "Mar. 08, 01:00:00 AM AKST",
                                "Mar. 08, 12:00:00 AM HST"}},
                      PageCase{"first Sunday of November: the last daylight second in the East",
                               Utc(2026, 11, 1, 5, 59, 59),
                               {"Nov. 01, 05:59:59 Universal Time", "Nov. 01, 01:59:59 AM EDT",
                                "Nov. 01, 12:59:59 AM CDT", "Oct. 31, 11:59:59 PM MDT",
                                "Oct. 31, 10:59:59 PM PDT", "Oct. 31, 09:59:59 PM AKDT",
                                "Oct. 31, 07:59:59 PM HST"}},
                      PageCase{"first Sunday of November: the East falls back to 1:00",
                               Utc(2026, 11, 1, 6, 0, 0),
                               {"Nov. 01, 06:00:00 Universal Time", "Nov. 01, 01:00:00 AM EST",
                                "Nov. 01, 01:00:00 AM CDT", "Nov. 01, 12:00:00 AM MDT",
                                "Oct. 31, 11:00:00 PM PDT", "Oct. 31, 10:00:00 PM AKDT",
                                "Oct. 31, 08:00:00 PM HST"}},
                      PageCase{"first Sunday of November: Alaska is the last to fall back",
                               Utc(2026, 11, 1, 9, 59, 59),
                               {"Nov. 01, 09:59:59 Universal Time", "Nov. 01, 04:59:59 AM EST",
                                "Nov. 01, 03:59:59 AM CST", "Nov. 01, 02:59:59 AM MST",
                                "Nov. 01, 01:59:59 AM PST", "Nov. 01, 01:59:59 AM AKDT",
                                "Oct. 31, 11:59:59 PM HST"}},
                      PageCase{"first Sunday of November: Alaska on standard time",
                               Utc(2026, 11, 1, 10, 0, 0),
                               {"Nov. 01, 10:00:00 Universal Time", "Nov. 01, 05:00:00 AM EST",
                                "Nov. 01, 04:00:00 AM CST", "Nov. 01, 03:00:00 AM MST",
                                "Nov. 01, 02:00:00 AM PST", "Nov. 01, 01:00:00 AM AKST",
                                "Nov. 01, 12:00:00 AM HST"}},
                      PageCase{"new year in UTC is still the old year in every US zone",
                               Utc(2027, 1, 1, 3, 30, 0),
                               {"Jan. 01, 03:30:00 Universal Time", "Dec. 31, 10:30:00 PM EST",
                                "Dec. 31, 09:30:00 PM CST", "Dec. 31, 08:30:00 PM MST",
                                "Dec. 31, 07:30:00 PM PST", "Dec. 31, 06:30:00 PM AKST",
                                "Dec. 31, 05:30:00 PM HST"}},
                      PageCase{"March in UTC is still the leap day in the US",
                               Utc(2028, 3, 1, 4, 0, 0),
                               {"Mar. 01, 04:00:00 Universal Time", "Feb. 29, 11:00:00 PM EST",
                                "Feb. 29, 10:00:00 PM CST", "Feb. 29, 09:00:00 PM MST",
                                "Feb. 29, 08:00:00 PM PST", "Feb. 29, 07:00:00 PM AKST",
                                "Feb. 29, 06:00:00 PM HST"}},
                      PageCase{"UTC midnight; May keeps its full stop too",
                               Utc(2026, 5, 16, 0, 0, 0),
                               {"May. 16, 00:00:00 Universal Time", "May. 15, 08:00:00 PM EDT",
                                "May. 15, 07:00:00 PM CDT", "May. 15, 06:00:00 PM MDT",
                                "May. 15, 05:00:00 PM PDT", "May. 15, 04:00:00 PM AKDT",
                                "May. 15, 02:00:00 PM HST"}},
                      PageCase{"local midnight is 12 AM",
                               Utc(2026, 12, 7, 5, 0, 0),
                               {"Dec. 07, 05:00:00 Universal Time", "Dec. 07, 12:00:00 AM EST",
                                "Dec. 06, 11:00:00 PM CST", "Dec. 06, 10:00:00 PM MST",
                                "Dec. 06, 09:00:00 PM PST", "Dec. 06, 08:00:00 PM AKST",
                                "Dec. 06, 07:00:00 PM HST"}},
                      PageCase{"local noon is 12 PM",
                               Utc(2026, 12, 7, 17, 0, 0),
                               {"Dec. 07, 17:00:00 Universal Time", "Dec. 07, 12:00:00 PM EST",
                                "Dec. 07, 11:00:00 AM CST", "Dec. 07, 10:00:00 AM MST",
                                "Dec. 07, 09:00:00 AM PST", "Dec. 07, 08:00:00 AM AKST",
                                "Dec. 07, 07:00:00 AM HST"}}));

// The Tidewell clients read the page this way: the text between the last comma before the
// first "Universal" and that word, with spaces trimmed.
std::optional<std::string> ClientTimeText(const std::string& page) {
  const std::size_t marker = page.find("Universal");
  if (marker == std::string::npos) return std::nullopt;
  const std::size_t comma = page.rfind(',', marker);
  if (comma == std::string::npos) return std::nullopt;
  std::string text = page.substr(comma + 1, marker - comma - 1);
  text.erase(0, text.find_first_not_of(' '));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// `utc` as the C library's strftime writes it in `format` (the tests run in the C locale).
std::string CLibraryText(Second utc, const char* format) {
  const time_t t = system_clock::to_time_t(utc);
  std::tm parts{};
  ::gmtime_r(&t, &parts);
  char text[64];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

TEST(TimePage, ClientExtractionGivesTheUtcTimeOfDay) {
  for (const Second utc :
       {Utc(2026, 12, 7, 11, 20, 33), Utc(2026, 1, 1, 0, 0, 0), Utc(2027, 6, 30, 23, 59, 59),
        Utc(2026, 3, 8, 7, 0, 0), Utc(1999, 12, 31, 9, 5, 7)}) {
    EXPECT_EQ(ClientTimeText(RenderTimePage(utc)), CLibraryText(utc, "%H:%M:%S"));
  }
}

TEST(TimePage, FirstLineHasTheClassicForm) {
  const std::string page = RenderTimePage(Utc(2026, 12, 7, 11, 20, 33));
  const std::vector<std::string> lines = PreLines(page);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "<BR>Dec. 07, 11:20:33 Universal Time");
  // Nothing before that line may carry the word the clients look for.
  EXPECT_EQ(page.find("Universal"), page.find(lines.front()) + 22);
  const std::size_t title = page.find("<TITLE>");
  const std::size_t titleEnd = page.find("</TITLE>");
  ASSERT_NE(title, std::string::npos);
  ASSERT_NE(titleEnd, std::string::npos);
  const std::string titleText = page.substr(title, titleEnd - title);
  EXPECT_EQ(titleText.find(','), std::string::npos);
  EXPECT_EQ(titleText.find("Universal"), std::string::npos);
}

TEST(TimePage, HttpDateAndLogStampMatchTheCLibrary) {
  for (const Second utc :
       {Utc(2026, 12, 7, 11, 20, 33), Utc(2000, 2, 29, 0, 0, 0), Utc(1999, 12, 31, 23, 59, 59),
        Utc(2038, 1, 19, 3, 14, 8), Utc(2026, 3, 1, 9, 8, 7)}) {
    // The C locale's names are the English ones that HTTP requires.
    EXPECT_EQ(HttpDate(utc), CLibraryText(utc, "%a, %d %b %Y %H:%M:%S GMT"));
    EXPECT_EQ(LogStamp(utc), CLibraryText(utc, "%Y-%m-%dT%H:%M:%SZ"));
  }
}

// Years before 1000 keep four digits, where the C library's %Y would drop the leading zeros.
TEST(TimePage, EarlyYearsKeepFourDigits) {
  EXPECT_EQ(HttpDate(Utc(999, 12, 31, 23, 59, 59)), "Tue, 31 Dec 0999 23:59:59 GMT");
  EXPECT_EQ(LogStamp(Utc(999, 12, 31, 23, 59, 59)), "0999-12-31T23:59:59Z");
  EXPECT_EQ(HttpDate(Utc(1, 1, 1, 0, 0, 0)), "Mon, 01 Jan 0001 00:00:00 GMT");
}

// HTTP dates and the page stay English whatever locale the process has been given.
TEST(TimePage, NamesStayEnglishInAnotherLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const char* other = nullptr;
  for (const char* name : {"ko_KR.euckr", "ko_KR.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      other = name;
      break;
    }
  }
  if (other == nullptr) GTEST_SKIP() << "no locale with other month names on this machine";
  const Second utc = Utc(2026, 3, 8, 14, 0, 0);
  const std::string http = HttpDate(utc);
  const std::vector<std::string> lines = PreLines(RenderTimePage(utc));
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(http, "Sun, 08 Mar 2026 14:00:00 GMT") << other;
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "<BR>Mar. 08, 14:00:00 Universal Time") << other;
  EXPECT_EQ(lines[1], "<BR>Mar. 08, 10:00:00 AM EDT") << other;
}

// Checks the zone lines against the system's time-zone database, every hour on the hour and a
// second before it, over four years: the US switches fall on whole UTC hours, so both sides
// of every switch are seen.
class AgainstZoneDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/share/zoneinfo/America/New_York", R_OK) != 0) {
      GTEST_SKIP() << "no time-zone database on this machine";
    }
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(AgainstZoneDatabase, EveryZoneReadsLikeItsCity) {
  const std::vector<std::pair<std::string_view, const char*>> cities = {
      {"EST", "America/New_York"},    {"CST", "America/Chicago"},    {"MST", "America/Denver"},
      {"PST", "America/Los_Angeles"}, {"AKST", "America/Anchorage"}, {"HST", "Pacific/Honolulu"}};
  ASSERT_EQ(UsZones().size(), cities.size());
  for (std::size_t z = 0; z < cities.size(); ++z) {
    const UsZone& zone = UsZones()[z];
    ASSERT_EQ(zone.standardName, cities[z].first);
    ::setenv("TZ", cities[z].second, 1);
    ::tzset();
    int mismatches = 0;
    for (Second hour = Utc(2024, 1, 1, 0, 0, 0); hour < Utc(2028, 1, 1, 0, 0, 0); hour += 1h) {
      for (const Second utc : {hour - 1s, hour}) {
        const time_t t = system_clock::to_time_t(utc);
        std::tm local{};
        ::localtime_r(&t, &local);
        char expected[64];
        std::strftime(expected, sizeof expected, "%b. %d, %I:%M:%S %p %Z", &local);
        const std::string line = ZoneLine(zone, utc);
        if (line != expected && ++mismatches <= 5) {
          ADD_FAILURE() << cities[z].second << " at " << LogStamp(utc) << ": page says '" << line
                        << "', the database '" << expected << "'";
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << cities[z].second;
  }
}

}  // namespace
}  // namespace tidewell::timepage
