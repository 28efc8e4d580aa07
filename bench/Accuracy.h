#pragma once

// How close fenwhit and htpdate set the clock to a time-page server whose clock is a known
// offset ahead of this machine's, and what each run costs in time and memory.

#include <chrono>
#include <string>

#include "Process.h"

namespace tidewell::bench {

struct AccuracyOptions {
  int runs = 8;                  // per program, per kind of reply, per path
  double offsetSeconds = 37.25;  // the server's clock is this far ahead of ours
  std::chrono::seconds killAfter{45};
  int pageSamples = 3;  // pages fetched with curl to check the served second
};

struct AccuracyResult {
  std::string section;          // the report's section, tables and notes
  std::string headline;         // the main table alone, for the terminal
  long fenwhitNormalRssKb = 0;  // median peak memory of fenwhit's direct runs
};

AccuracyResult RunAccuracy(const Tools& tools, const Scratch& scratch,
                           const AccuracyOptions& options);

}  // namespace tidewell::bench
