#pragma once

// fenwhit and htpdate over delayed network paths: the same time-page server reached through the
// delaying proxy, with one-way delays of 0, 10 and 25 ms each way and an asymmetric 5/20 ms, and
// a served offset whose fraction is drawn anew for every run.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Plot.h"
#include "Process.h"

namespace tidewell::bench {

struct PathsOptions {
  int runs = 8;  // per program, kind of reply and path
  std::chrono::seconds killAfter{45};
  std::uint32_t seed = 0;       // for the drawn fractions of the offset
  int wholeOffsetSeconds = 37;  // the served clock is this far ahead, plus the fraction
};

struct PathsResult {
  std::string section;             // the report's section, tables and notes
  std::string headline;            // the main table alone, for the terminal
  std::vector<PathErrors> errors;  // per path, the errors of each contender's runs, to plot
};

PathsResult RunPaths(const Tools& tools, const Scratch& scratch, const PathsOptions& options);

}  // namespace tidewell::bench
