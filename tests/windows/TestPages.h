#pragma once

// The pages that the scripted server of the Wine tests serves, shared by the server (built
// natively) and the Windows test program that downloads them.

#include <cstddef>
#include <string>

namespace tidewell::wine_tests {

inline constexpr const char* kEmptyPath = "/empty";
inline constexpr const char* kExactChunkPath = "/exact-2048";
inline constexpr const char* kSplitBodyPath = "/body-5000";
inline constexpr const char* kNotFoundPath = "/not-found";
inline constexpr const char* kNeverAnswersPath = "/never-answers";
inline constexpr const char* kDripPath = "/drip";
inline constexpr const char* kStallPath = "/stall-after-100";
inline constexpr const char* kLargePath = "/large";
// Pages whose replies carry Server-Timing figures, sound or not, after a pause.
inline constexpr const char* kTimedPath = "/timed";
inline constexpr const char* kBadlyTimedPath = "/badly-timed";
// The time page path: a page whose time entry is not a time, for the run-time error report.
inline constexpr const char* kTimePagePath = "/cgi-bin/timer.pl";

inline constexpr std::size_t kExactChunkSize = 2048;
inline constexpr std::size_t kSplitBodySize = 5000;
inline constexpr std::size_t kBytesBeforeStall = 100;
inline constexpr std::size_t kLargeBodySize = 300'000;
inline constexpr const char* kNotFoundBody = "<html>No such page</html>";
inline constexpr const char* kTimedHeader = "Server-Timing: hold;dur=100.250, age;dur=250.500";
inline constexpr const char* kBadTimingHeader = "Server-Timing: hold;dur=-1, age;dur=NaN";
inline constexpr int kTimedPauseMs = 150;
inline constexpr const char* kMalformedTimePage =
    "<html><body>Tidewell test page, 25:61:00 Universal Time</body></html>";

// Every byte value from 0 to 255 in turn, shifted by the size so that two bodies of different
// sizes differ from their first byte: a body cut, doubled or read out of order shows.
inline std::string PatternBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i + size) % 256);
  return body;
}

}  // namespace tidewell::wine_tests
