#pragma once

// Every client of the time-page server, and of the tests and benchmarks that flood it, holds a
// descriptor: they lift their soft limit on open files to the hard limit first.

#include <sys/resource.h>

namespace tidewell::tools {

// Gives the soft limit now in force (0 when it cannot be read).
inline rlim_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

}  // namespace tidewell::tools
