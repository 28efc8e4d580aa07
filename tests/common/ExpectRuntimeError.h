#pragma once

#include <gtest/gtest.h>

#include "RuntimeError.h"

namespace tidewell {

// Runs `action` and checks that it raises the run-time error with the given number.
template <typename Action>
void ExpectRuntimeError(int expectedNumber, Action action) {
  try {
    action();
    ADD_FAILURE() << "no run-time error, expected number " << expectedNumber;
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.Number(), expectedNumber) << error.Description();
  }
}

}  // namespace tidewell
