#pragma once

#include <sys/resource.h>

namespace tidewell::test {

// Lifts this process's soft limit on open files to its hard limit, for tests that hold
// thousands of connections; gives the soft limit now in force.
rlim_t RaiseOpenFileLimit();

}  // namespace tidewell::test
