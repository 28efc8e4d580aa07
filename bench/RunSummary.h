#pragma once

// One run of a program that may set the clock, as the accuracy tables see it, and the summary of
// a series of such runs: how many set the clock, their errors, wall times and peak memory.

#include <optional>
#include <string>
#include <vector>

#include "Process.h"
#include "Stats.h"

namespace tidewell::bench {

struct RunRecord {
  Measured measured;
  std::optional<double> error;  // seconds; empty when the run did not set the clock
  bool touched = false;         // it made some clock call
  std::string lastOutput;       // its last line of output
};

// Runs `run` under the interposer and reads what it asked of the clock: the error is the
// first step it would have made less `rightStep` seconds.
RunRecord RunAndRecord(const Tools& tools, const ProgramRun& run, double rightStep);

struct RunsSummary {
  int set = 0;
  int runs = 0;
  std::optional<Summary> absError;
  std::optional<Summary> error;
  std::optional<Summary> wall;  // of the runs that ended by themselves
  std::optional<Summary> rss;
};

RunsSummary SummariseRuns(const std::vector<RunRecord>& runs);

std::optional<double> Median(const std::optional<Summary>& s);
std::optional<double> P95(const std::optional<Summary>& s);

// As FormatMs, FormatSeconds and FormatKb, with "—" for a missing value.
std::string Ms(const std::optional<double>& seconds);
std::string Secs(const std::optional<double>& seconds);
std::string Kb(const std::optional<double>& kb);

}  // namespace tidewell::bench
