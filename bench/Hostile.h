#pragma once

// fenwhit and htpdate against servers that misbehave: they never answer, drip, send without end
// or send junk. Neither program has a time to take from any of them, so each should end, keep
// its memory in bounds and leave the clock alone.

#include <chrono>
#include <string>

#include "Process.h"

namespace tidewell::bench {

struct HostileOptions {
  std::chrono::seconds killAfter{45};  // a run still going then is killed: "did not end"
  // Peak memory of fenwhit on a normal run, from the accuracy runs; 0 when unknown.
  long normalRssKb = 0;
};

// Runs every case and returns the section of the report.
std::string RunHostile(const Tools& tools, const Scratch& scratch, const HostileOptions& options);

}  // namespace tidewell::bench
