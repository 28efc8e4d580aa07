#pragma once

// What the fuzz targets share: a check that stops the run with a message, so that libFuzzer
// records the input that broke a property and not only inputs that crash.

#include <cstdio>
#include <cstdlib>

// Aborts with the failed condition and a note when `condition` does not hold.
#define FUZZ_CHECK(condition, note)                                                          \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                   note);                                                                    \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)
