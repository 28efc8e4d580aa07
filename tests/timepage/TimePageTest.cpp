// The page for a given second: the Universal line the clients read, and the date stamps of the
// reply headers and the log.

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <clocale>
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
  std::vector<std::string> lines;  // without <BR>
};

class PageLines : public ::testing::TestWithParam<PageCase> {};

TEST_P(PageLines, ShowTheSecondServed) {
  const PageCase& c = GetParam();
  std::vector<std::string> expected;
  for (const std::string& line : c.lines) expected.push_back("<BR>" + line);
  EXPECT_EQ(PreLines(RenderTimePage(c.utc)), expected) << c.what;
}

// The page carries the Universal line alone: a browser shows it, and the clients read it.
INSTANTIATE_TEST_SUITE_P(
    Dates, PageLines,
    ::testing::Values(
        PageCase{"winter", Utc(2026, 12, 7, 11, 20, 33), {"Dec. 07, 11:20:33 Universal Time"}},
        PageCase{"summer", Utc(2026, 7, 4, 16, 5, 9), {"Jul. 04, 16:05:09 Universal Time"}},
        PageCase{"the last second of a day",
                 Utc(2026, 3, 7, 23, 59, 59),
                 {"Mar. 07, 23:59:59 Universal Time"}},
        PageCase{"new year", Utc(2027, 1, 1, 0, 0, 0), {"Jan. 01, 00:00:00 Universal Time"}},
        PageCase{"a leap day", Utc(2028, 2, 29, 4, 0, 0), {"Feb. 29, 04:00:00 Universal Time"}},
        PageCase{"May keeps its full stop too",
                 Utc(2026, 5, 16, 0, 0, 0),
                 {"May. 16, 00:00:00 Universal Time"}},
        PageCase{"noon is 12, not 12 PM",
                 Utc(2026, 12, 7, 12, 0, 0),
                 {"Dec. 07, 12:00:00 Universal Time"}},
        PageCase{
            "a year before 1000", Utc(999, 9, 9, 9, 9, 9), {"Sep. 09, 09:09:09 Universal Time"}}));

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
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "<BR>Mar. 08, 14:00:00 Universal Time") << other;
}

}  // namespace
}  // namespace tidewell::timepage
