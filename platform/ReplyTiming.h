#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "DateTime.h"

namespace tidewell {

// How old a time page is when it reaches us, worked out the way NTP works out its four
// timestamps. The page names a whole second. A server that reports its figures says, in the
// standard Server-Timing header, how long it held the request ("hold") and how far into the
// named second the reply left ("age"). The client times the exchange from the request leaving to
// the reply arriving; what the server did not spend holding was spent on the way, half each way.

using Nanoseconds = std::chrono::nanoseconds;
using SteadyTime = std::chrono::steady_clock::time_point;

// The request header that asks a time-page server to answer at once, with its figures, instead
// of holding the request until the next whole second.
inline constexpr std::string_view kPreferNoHoldHeader = "Prefer: no-hold";
inline constexpr std::string_view kServerTimingHeader = "Server-Timing";

// A figure beyond this is no page's: no server holds a request, or writes a page, a minute late.
inline constexpr Nanoseconds kLargestServerFigure = std::chrono::seconds{60};

// The two figures of one reply.
struct ServerFigures {
  Nanoseconds hold{};  // from the request head being complete to the reply being written
  Nanoseconds age{};   // from the start of the page's second to the reply being written

  friend bool operator==(const ServerFigures&, const ServerFigures&) = default;
};

// Reads the value of a Server-Timing header (several headers joined by commas) such as
// "hold;dur=412.503, age;dur=0.061". Each metric's dur is in milliseconds, a plain decimal
// (quoted or not); other metrics and parameters are ignored, and the first of a repeated one
// counts. Empty unless both figures are there and sound: a figure that is missing its dur, is
// negative, is not a number, or exceeds kLargestServerFigure makes the reply one without figures.
std::optional<ServerFigures> ParseServerTiming(std::string_view value);

// One download of the page, as the client saw it.
struct ReplyTiming {
  ServerFigures server;
  Nanoseconds exchange{};  // from the request leaving to the reply starting to arrive
  SteadyTime arrived{};    // when the reply started to arrive
};

// The estimated time the reply spent on its way to us: half of the exchange that the server did
// not spend holding the request. Never negative (a server that reports a longer hold than the
// exchange we measured has no delay to take out).
Nanoseconds OneWayDelay(const ReplyTiming& timing);

// How far past the page's whole second the true time is at `now`: the page's age when it left,
// its way to us, and the time spent since it arrived.
Nanoseconds PastPageSecond(const ReplyTiming& timing, SteadyTime now);

// A non-negative span as whole seconds and the nanoseconds beyond them (0..999'999'999), so a
// span over a second carries into the seconds.
struct WholeSeconds {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;

  friend bool operator==(const WholeSeconds&, const WholeSeconds&) = default;
};
WholeSeconds SplitWholeSeconds(Nanoseconds span);

// A moment to the nanosecond: a whole second and how far past it (0..999'999'999 ns).
struct PreciseTime {
  DateTime second;
  Nanoseconds fraction{};

  friend bool operator==(const PreciseTime&, const PreciseTime&) = default;
};

// Whether a reply's figures can be true: neither is negative, the page left within its whole
// second (age below one second), and the server held the request no longer than the exchange
// the client timed (which contains the hold).
bool FiguresCanBeTrue(const ReplyTiming& timing);

// The true time at `now` by a page that named the whole second `pageSecond`: that second plus
// what its reply's figures put past it by now, carried into the seconds. A reply without
// figures, or with figures that cannot be true, leaves the whole second as it is. Raises the
// date-range error where the carry leaves the years a date-time holds.
PreciseTime BroughtUpToDate(const DateTime& pageSecond, const std::optional<ReplyTiming>& timing,
                            SteadyTime now);

}  // namespace tidewell
