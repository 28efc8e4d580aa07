#include <gtest/gtest.h>

#include <ostream>
#include <string_view>

#include "DateTime.h"
#include "Moment.h"
#include "ThrowsRuntimeError.h"

namespace tidewell {
namespace {

using test::ThrowsRuntimeError;

using namespace std::string_view_literals;

struct AcceptedText {
  std::string_view text;
  Moment moment;
};

// Prints a text in quotes with every byte outside printable ASCII as \xHH, so that the test names
// show tabs, NULs and the bytes of multi-byte characters as they are.
void PrintQuoted(std::string_view text, std::ostream* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  *out << '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      *out << c;
    } else {
      *out << "\\x" << kHex[byte >> 4] << kHex[byte & 0xF];
    }
  }
  *out << '"';
}

void PrintTo(const AcceptedText& c, std::ostream* out) { PrintQuoted(c.text, out); }

class ParseAccepts : public testing::TestWithParam<AcceptedText> {};

TEST_P(ParseAccepts, GivesTheDateAndTimeWritten) {
  const AcceptedText& c = GetParam();
  const DateTime parsed = DateTime::Parse(c.text);
  ExpectMoment(parsed, c.moment);
  EXPECT_EQ(parsed, c.moment.Value());
}

const AcceptedText kAccepted[] = {
    // Times of day: the time page's own form, and the 24-hour forms around it.
    {"12:00:00", 1899, 12, 30, 12, 0, 0},
    {"0:00", 1899, 12, 30, 0, 0, 0},
    {"00:00:00", 1899, 12, 30, 0, 0, 0},
    {"7:05", 1899, 12, 30, 7, 5, 0},
    {"07:05:09", 1899, 12, 30, 7, 5, 9},
    {"23:59:59", 1899, 12, 30, 23, 59, 59},
    {"   12:00:00   ", 1899, 12, 30, 12, 0, 0},
    {" 0:30", 1899, 12, 30, 0, 30, 0},
    // AM/PM in any case, with one space or none.
    {"12:00 AM", 1899, 12, 30, 0, 0, 0},
    {"12:00 PM", 1899, 12, 30, 12, 0, 0},
    {"12:30:15am", 1899, 12, 30, 0, 30, 15},
    {"12:59:59 pM", 1899, 12, 30, 12, 59, 59},
    {"1:00 pm", 1899, 12, 30, 13, 0, 0},
    {"1:00 am", 1899, 12, 30, 1, 0, 0},
    {"11:59:59 Pm", 1899, 12, 30, 23, 59, 59},
    {"06:07aM", 1899, 12, 30, 6, 7, 0},
    {"9:15 PM   ", 1899, 12, 30, 21, 15, 0},
    // Dates, ISO and US.
    {"2026-12-07", 2026, 12, 7, 0, 0, 0},
    {"12/7/2026", 2026, 12, 7, 0, 0, 0},
    {"01/02/2026", 2026, 1, 2, 0, 0, 0},
    {"1/02/2026", 2026, 1, 2, 0, 0, 0},
    {"2024-02-29", 2024, 2, 29, 0, 0, 0},
    {"2/29/2000", 2000, 2, 29, 0, 0, 0},
    {"1899-12-30", 1899, 12, 30, 0, 0, 0},
    {"0100-01-01", 100, 1, 1, 0, 0, 0},
    {"12/31/9999", 9999, 12, 31, 0, 0, 0},
    {"  2026-12-07  ", 2026, 12, 7, 0, 0, 0},
    // Dates with times.
    {"2026-12-07 13:45:10", 2026, 12, 7, 13, 45, 10},
    {"12/7/2026   1:45 PM", 2026, 12, 7, 13, 45, 0},
    {"2024-02-29 12:00 am", 2024, 2, 29, 0, 0, 0},
    {"0100-01-01 0:00:00", 100, 1, 1, 0, 0, 0},
    {"9999-12-31 23:59:59", 9999, 12, 31, 23, 59, 59},
    {"12/31/9999 11:59:59PM ", 9999, 12, 31, 23, 59, 59},
};

INSTANTIATE_TEST_SUITE_P(Texts, ParseAccepts, testing::ValuesIn(kAccepted));

struct RejectedText {
  RejectedText(std::string_view t) : text(t) {}  // NOLINT: the tables list bare texts
  std::string_view text;
};

void PrintTo(const RejectedText& c, std::ostream* out) { PrintQuoted(c.text, out); }

class ParseRejects : public testing::TestWithParam<RejectedText> {};

TEST_P(ParseRejects, WithTypeMismatch) {
  EXPECT_THAT([&] { DateTime::Parse(GetParam().text); }, ThrowsRuntimeError(kErrTypeMismatch));
}

INSTANTIATE_TEST_SUITE_P(EmptyOrBlank, ParseRejects,
                         testing::Values(""sv, " "sv, "     "sv, "\t"sv, "\0"sv));

INSTANTIATE_TEST_SUITE_P(
    BadTimes, ParseRejects,
    testing::Values(
        // Fields out of range.
        "24:00"sv, "25:00:00"sv, "12:60"sv, "12:00:60"sv, "99:99"sv,
        // Wrong number of digits: minutes and seconds take exactly two, hours one or two.
        "12"sv, "12:"sv, "12:0"sv, "12:000"sv, "123:00"sv, "12:00:0"sv, "12:00:000"sv, ":30"sv,
        "12::00"sv, "12:00:"sv, "12:00:00:00"sv,
        // Signs and other separators.
        "+12:00"sv, "-1:00"sv, "12:-1"sv, "12.00"sv, "12h00"sv, "12 : 00"sv,
        // AM/PM: hours 1 to 12, one space at most, the whole mark and nothing more.
        "0:30 AM"sv, "00:30 PM"sv, "13:00 PM"sv, "12:00  PM"sv, "12:00 P"sv, "12:00 AMX"sv,
        "12:00 A M"sv, "12:00 A.M."sv, "12:00 XM"sv, "12:00 AN"sv, "AM"sv, "PM 12:00"sv));

INSTANTIATE_TEST_SUITE_P(
    TrailingOrForeignCharacters, ParseRejects,
    testing::Values(
        // What the time page writes after the time must not get through.
        "12:00:00 UTC"sv, "12:00:00 Universal"sv, "12:00:00 GMT"sv, "12:00x"sv, "12:00:00."sv,
        "x12:00"sv,
        // Only U+0020 is a space: tabs, line ends and no-break spaces stay.
        "\t12:00:00"sv, "12:00:00\t"sv, "12:00\t:00"sv, "12:00:00\r\n"sv, "12:00:00\n"sv,
        "\u00A012:00:00"sv, "12:00:00\u00A0"sv, "12:00\0"sv, "12\0:00"sv,
        // Non-ASCII digits and separators (full-width, Arabic-Indic), and a stray byte.
        "\uFF11\uFF12:00"sv, "12\uFF1A00"sv, "12:00:0\u0660"sv, "\xFF"sv));

INSTANTIATE_TEST_SUITE_P(BadDates, ParseRejects,
                         testing::Values(
                             // Dates that do not exist.
                             "2026-02-29"sv, "2026-02-30"sv, "2100-02-29"sv, "2026-04-31"sv,
                             "2026-13-01"sv, "2026-00-10"sv, "2026-12-00"sv, "2026-12-32"sv,
                             "13/1/2026"sv, "0/1/2026"sv, "2/29/2026"sv, "0099-02-29"sv,
                             // ISO takes exactly four, two and two digits; US one or two and four.
                             "2026-2-3"sv, "2026-2-03"sv, "2026-12-7"sv, "26-12-07"sv,
                             "02026-12-07"sv, "10000-01-01"sv, "2026-012-07"sv, "1/1/26"sv,
                             "1/1/026"sv, "1/1/02026"sv, "001/1/2026"sv, "1/001/2026"sv,
                             "12/31/10000"sv,
                             // Other separators and orders.
                             "2026/12/07"sv, "12-07-2026"sv, "2026-12/07"sv, "12/07-2026"sv,
                             "2026.12.07"sv, "2026-12-07T12:00"sv, "2026-12-07x"sv,
                             "2026-12-0712:00"sv, "-2026-12-07"sv, "+2026-12-07"sv,
                             "2026-12-07 -1:00"sv));

INSTANTIATE_TEST_SUITE_P(BadDatesWithTimes, ParseRejects,
                         testing::Values("12:00 2026-12-07"sv, "2026-12-07 12"sv, "2026-12-07 AM"sv,
                                         "2026-12-07 12:00 UTC"sv, "2026-12-07\t12:00"sv,
                                         "2026-12-07 25:00"sv, "2026-12-07 12:00 2026-12-07"sv,
                                         "2026-12-07 2026-12-07"sv, "2026-02-30 12:00"sv,
                                         "0099-12-31 25:00"sv));

class ParseOutOfRange : public testing::TestWithParam<RejectedText> {};

TEST_P(ParseOutOfRange, RaisesTheDateRangeError) {
  EXPECT_THAT([&] { DateTime::Parse(GetParam().text); }, ThrowsRuntimeError(kErrInvalidCall));
}

INSTANTIATE_TEST_SUITE_P(YearsBefore100, ParseOutOfRange,
                         testing::Values("0099-12-31"sv, "0000-01-01"sv, "0001-01-01 12:00"sv,
                                         "0099-12-31 23:59:59"sv, "12/31/0099"sv,
                                         "1/1/0000 1:00 PM"sv));

}  // namespace
}  // namespace tidewell
