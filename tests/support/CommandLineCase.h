#pragma once

// The tools' command-line convention, checked by running a tool: --help and --version print on
// standard output with status 0; a wrong command line gives one line on standard error and
// status 2.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace tidewell::test {

struct CommandLineCase {
  std::vector<std::string> args;
  int status;
  std::string outStart;  // what standard output starts with; empty: nothing at all
  std::string err;       // all of standard error
};

// Runs `program` with the case's arguments and checks what it printed and its status.
inline void ExpectCommandLineOutcome(const std::string& program, const CommandLineCase& c) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const ChildResult run = RunChild(argv, {}, std::chrono::seconds(10));
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, c.status);
  if (c.outStart.empty()) {
    EXPECT_EQ(run.standardOutput, "");
  } else {
    EXPECT_TRUE(run.standardOutput.starts_with(c.outStart)) << run.standardOutput;
  }
  EXPECT_EQ(run.standardError, c.err);
}

}  // namespace tidewell::test
