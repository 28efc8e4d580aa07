#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"

namespace tidewell::test {

// What the shell command `command` prints on standard output; fails the test when it does not
// end with status 0.
inline std::string OutputOf(const std::string& command) {
  const ChildResult run = RunChild({"/bin/sh", "-c", command});
  EXPECT_EQ(run.exitStatus, 0) << command << "\n" << run.standardOutput << run.standardError;
  return run.standardOutput;
}

}  // namespace tidewell::test
