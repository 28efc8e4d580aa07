#pragma once

#include <ctime>
#include <string>

namespace tidewell::test {

// A page in the time service's style whose Universal entry is `aheadSeconds` ahead of the
// system clock, in whole seconds.
std::string TimePageAhead(double aheadSeconds);

// Seconds since the epoch of a UTC date and time (years from 1 on, as timegm takes them).
std::time_t UtcSeconds(int year, int month, int day, int hour, int minute, int second = 0);

}  // namespace tidewell::test
