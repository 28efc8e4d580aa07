#pragma once

// The pages that the scripted server of the Wine tests serves besides those of the download
// contract (DownloadCases.h), shared by the server (built natively) and the Windows test program.

namespace tidewell::wine_tests {

// Pages whose replies carry Server-Timing figures, sound or not, after a pause.
inline constexpr const char* kTimedPath = "/timed";
inline constexpr const char* kBadlyTimedPath = "/badly-timed";
inline constexpr const char* kTimedHeader = "Server-Timing: hold;dur=100.250, age;dur=250.500";
inline constexpr const char* kBadTimingHeader = "Server-Timing: hold;dur=-1, age;dur=NaN";
inline constexpr int kTimedPauseMs = 150;
// A contract page whose reply carries no figures.
inline constexpr const char* kUntimedPath = "/exactly_one_chunk";

// The time page path: a page whose time entry is not a time, for the run-time error report.
inline constexpr const char* kTimePagePath = "/cgi-bin/timer.pl";
inline constexpr const char* kMalformedTimePage =
    "<html><body>Tidewell test page, 25:61:00 Universal Time</body></html>";

}  // namespace tidewell::wine_tests
