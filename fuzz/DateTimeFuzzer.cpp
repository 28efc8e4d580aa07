// Text to date-time and the minute arithmetic on arbitrary input. Parse gives a value or the
// type-mismatch or date-range error; a value lies in the supported years, is written only with
// the characters the notations use, and reads back the same from its own written forms.
// AddMinutes gives the exact sum or, only when that sum leaves the supported years, the
// date-range error.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "DateTime.h"
#include "FuzzCheck.h"
#include "RuntimeError.h"

namespace {

using tidewell::DateTime;
using tidewell::RuntimeError;

const std::int64_t kFirstSerial = DateTime::FromParts(DateTime::kMinYear, 1, 1).SerialSeconds();
const std::int64_t kLastSerial =
    DateTime::FromParts(DateTime::kMaxYear, 12, 31, 23, 59, 59).SerialSeconds();
// A little more than the whole supported range in minutes, so that sums just inside and just
// outside both ends are common.
const std::int64_t kMinuteSpan = (kLastSerial - kFirstSerial) / 60 + 2 * 24 * 60;

std::int64_t PickMinutes(FuzzedDataProvider& data) {
  if (data.ConsumeBool()) return data.ConsumeIntegral<std::int64_t>();
  return data.ConsumeIntegralInRange<std::int64_t>(-kMinuteSpan, kMinuteSpan);
}

bool IsNotationChar(char c) {
  return std::string_view{"0123456789-/: aApPmM"}.find(c) != std::string_view::npos;
}

std::string IsoText(const DateTime& value) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", value.Year(), value.Month(),
                value.Day(), value.Hour(), value.Minute(), value.Second());
  return text;
}

std::string UsText(const DateTime& value) {
  char text[48];
  const int hour12 = value.Hour() % 12 == 0 ? 12 : value.Hour() % 12;
  std::snprintf(text, sizeof text, "%d/%d/%04d %d:%02d:%02d %s", value.Month(), value.Day(),
                value.Year(), hour12, value.Minute(), value.Second(),
                value.Hour() < 12 ? "AM" : "PM");
  return text;
}

std::string TimeText(const DateTime& value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d:%02d", value.Hour(), value.Minute(), value.Second());
  return text;
}

DateTime ParseOrAbort(const std::string& text, const char* form) {
  try {
    return DateTime::Parse(text);
  } catch (const RuntimeError&) {
    FUZZ_CHECK(false, form);
  }
  return {};
}

std::optional<DateTime> ParseChecked(std::string_view text) {
  try {
    const DateTime value = DateTime::Parse(text);
    FUZZ_CHECK(value.Year() >= DateTime::kMinYear && value.Year() <= DateTime::kMaxYear,
               "a parsed value outside the supported years");
    for (const char c : text) FUZZ_CHECK(IsNotationChar(c), "accepted a stray character");
    if (text.find_first_of("-/") == std::string_view::npos) {
      FUZZ_CHECK(value.DayNumber() == 0, "a time alone must sit on the zero date");
    }
    FUZZ_CHECK(ParseOrAbort(IsoText(value), "ISO form") == value, "ISO round trip");
    FUZZ_CHECK(ParseOrAbort(UsText(value), "US form") == value, "US round trip");
    FUZZ_CHECK(ParseOrAbort(TimeText(value), "time form") == value.TimeOnly(), "time round trip");
    return value;
  } catch (const RuntimeError& error) {
    const int number = error.Number();
    FUZZ_CHECK(number == tidewell::kErrTypeMismatch || number == tidewell::kErrInvalidCall,
               error.what());
    // Only a real date outside the supported years is a range error, and only a date has a year.
    if (number == tidewell::kErrInvalidCall) {
      FUZZ_CHECK(text.find_first_of("-/") != std::string_view::npos, "range error without a date");
    }
    return std::nullopt;
  }
}

void CheckAddMinutes(const DateTime& base, std::int64_t minutes) {
  const __int128 exact = static_cast<__int128>(base.SerialSeconds()) + __int128{minutes} * 60;
  const bool inRange = exact >= kFirstSerial && exact <= kLastSerial;
  try {
    const DateTime sum = base.AddMinutes(minutes);
    FUZZ_CHECK(inRange, "a sum outside the supported years was accepted");
    FUZZ_CHECK(sum.SerialSeconds() == exact, "the sum is not exact");
  } catch (const RuntimeError& error) {
    FUZZ_CHECK(error.Number() == tidewell::kErrInvalidCall, error.what());
    FUZZ_CHECK(!inRange, "a sum inside the supported years was refused");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::int64_t minutes = PickMinutes(data);
  const std::string text = data.ConsumeRemainingBytesAsString();
  try {
    // A text that is no date-time still gives the arithmetic a value: the zero date.
    CheckAddMinutes(ParseChecked(text).value_or(DateTime{}), minutes);
  } catch (const std::exception& error) {
    FUZZ_CHECK(false, error.what());  // anything but a run-time error is a fault
  }
  return 0;
}
