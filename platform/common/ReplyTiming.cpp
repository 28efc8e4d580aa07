#include "ReplyTiming.h"

#include <algorithm>
#include <vector>

#include "HttpFieldText.h"

namespace tidewell {
namespace {

using http::EqualsNoCase;
using http::SplitOutsideQuotes;
using http::TrimBlanks;

constexpr std::string_view kHoldMetric = "hold";
constexpr std::string_view kAgeMetric = "age";
constexpr std::string_view kDurationParameter = "dur";
constexpr std::int64_t kNanosecondsPerMillisecond = 1'000'000;
constexpr int kFractionDigits = 6;  // nanoseconds in a millisecond; finer digits are dropped
// Enough for any figure up to kLargestServerFigure, few enough that the sum cannot overflow.
constexpr std::size_t kMaxWholeDigits = 9;

// Milliseconds written as digits with an optional fraction ("412.503"), as nanoseconds. No sign,
// exponent, "nan" or "inf": anything but that plain form is not a figure.
std::optional<Nanoseconds> ParseMilliseconds(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  const auto allDigits = [](std::string_view digits) {
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || whole.size() > kMaxWholeDigits || !allDigits(whole) ||
      !allDigits(fraction) || (point != std::string_view::npos && fraction.empty())) {
    return std::nullopt;
  }
  std::int64_t nanoseconds = 0;
  for (const char digit : whole) nanoseconds = nanoseconds * 10 + (digit - '0');
  nanoseconds *= kNanosecondsPerMillisecond;
  std::int64_t scale = kNanosecondsPerMillisecond;
  for (std::size_t i = 0; i < fraction.size() && i < kFractionDigits; ++i) {
    scale /= 10;
    nanoseconds += (fraction[i] - '0') * scale;
  }
  return Nanoseconds{nanoseconds};
}

// The metric's dur, if the metric is `name`; an empty optional inside when it has no sound dur.
std::optional<std::optional<Nanoseconds>> DurationOf(std::string_view metric,
                                                     std::string_view name) {
  const std::vector<std::string_view> fields = SplitOutsideQuotes(metric, ';');
  if (!EqualsNoCase(TrimBlanks(fields.front()), name)) return std::nullopt;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::size_t equals = fields[i].find('=');
    if (equals == std::string_view::npos) continue;
    if (!EqualsNoCase(TrimBlanks(fields[i].substr(0, equals)), kDurationParameter)) continue;
    const std::optional<Nanoseconds> duration =
        ParseMilliseconds(TrimBlanks(fields[i].substr(equals + 1)));
    if (duration && *duration > kLargestServerFigure) return std::optional<Nanoseconds>{};
    return duration;  // the first dur counts, sound or not
  }
  return std::optional<Nanoseconds>{};
}

}  // namespace

std::optional<ServerFigures> ParseServerTiming(std::string_view value) {
  std::optional<std::optional<Nanoseconds>> hold;
  std::optional<std::optional<Nanoseconds>> age;
  for (const std::string_view metric : SplitOutsideQuotes(value, ',')) {
    if (!hold) hold = DurationOf(metric, kHoldMetric);
    if (!age) age = DurationOf(metric, kAgeMetric);
  }
  if (!hold || !*hold || !age || !*age) return std::nullopt;
  return ServerFigures{**hold, **age};
}

Nanoseconds OneWayDelay(const ReplyTiming& timing) {
  return std::max(Nanoseconds{0}, (timing.exchange - timing.server.hold) / 2);
}

Nanoseconds PastPageSecond(const ReplyTiming& timing, SteadyTime now) {
  const Nanoseconds sinceArrival = std::max(Nanoseconds{0}, now - timing.arrived);
  return timing.server.age + OneWayDelay(timing) + sinceArrival;
}

WholeSeconds SplitWholeSeconds(Nanoseconds span) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(span);
  return {seconds.count(), (span - seconds).count()};
}

bool FiguresCanBeTrue(const ReplyTiming& timing) {
  const ServerFigures& figures = timing.server;
  return figures.age >= Nanoseconds{0} && figures.age < std::chrono::seconds{1} &&
         figures.hold >= Nanoseconds{0} && figures.hold <= timing.exchange;
}

PreciseTime BroughtUpToDate(const DateTime& pageSecond, const std::optional<ReplyTiming>& timing,
                            SteadyTime now) {
  if (!timing || !FiguresCanBeTrue(*timing)) return {pageSecond, {}};
  const WholeSeconds past = SplitWholeSeconds(PastPageSecond(*timing, now));
  return {DateTime::FromSerialSeconds(pageSecond.SerialSeconds() + past.seconds),
          Nanoseconds{past.nanoseconds}};
}

}  // namespace tidewell
