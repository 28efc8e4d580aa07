#pragma once

// The interposer's log of one run: which clock calls the program made and what they asked for.
// The one reader of the log format, shared by the process tests and the benchmark; and the one
// way the tests start a program under the interposer.

#include <optional>
#include <string>
#include <vector>

namespace tidewell::test {

struct ClockCall {
  std::string function;  // clock_settime, settimeofday, adjtime, adjtimex, ...
  std::string line;      // as logged
  std::string result;    // ok, refused or invalid
  // Seconds since the epoch: the time asked for (0 when the call named none, as for the relative
  // calls) and the real clock at the call.
  double requested = 0;
  double real = 0;
  // How far the call would have moved the clock, in seconds: requested minus the real clock at
  // the call for the absolute setters, the slew or step itself for the relative ones. Empty for
  // calls that only tune the frequency or set a time zone.
  std::optional<double> step;
  // What a timex call (adjtimex, ntp_adjtime, clock_adjtime) asked of the kernel's state: its
  // modes and, when it asked for them, the status bits and error bounds (microseconds).
  std::optional<long long> modes;
  std::optional<long long> status;
  std::optional<long long> maxerror;
  std::optional<long long> esterror;
};

std::vector<ClockCall> ReadClockLog(const std::string& path);

// The command that runs `command` through the interposer's wrapper: as the unprivileged user,
// with every clock call logged to `log` and, with `refuse`, refused as for an ordinary user.
std::vector<std::string> UnderInterposer(const std::string& log, bool refuse,
                                         const std::vector<std::string>& command);

// The first call that would have moved the clock, less the step that would have been right.
std::optional<double> StepError(const std::vector<ClockCall>& calls, double rightStep);

}  // namespace tidewell::test
