// The alignment rule: when a request for the page is answered, and with which second.

#include <gtest/gtest.h>

#include <chrono>

#include "Alignment.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// A whole second to measure from, and one before 1970 to catch rounding towards zero.
const Second kBoundary = sys_days{2026y / December / 7} + 11h + 20min + 33s;
const Second kEarlyBoundary = Second{-86400s * 365};

struct AlignCase {
  const char* what;
  Second boundary;
  nanoseconds sinceBoundary;  // when the request head is complete, from `boundary`
  seconds expectedFromBoundary;
  bool dueAtOnce;
};

class AlignmentRule : public ::testing::TestWithParam<AlignCase> {};

TEST_P(AlignmentRule, PicksTheSecondAndWhetherToWait) {
  const AlignCase& c = GetParam();
  const Instant parsedAt = Instant{c.boundary} + c.sinceBoundary;
  const Second answer = AlignedAnswerSecond(parsedAt);
  EXPECT_EQ(answer, c.boundary + c.expectedFromBoundary) << c.what;
  EXPECT_EQ(AnswerIsDue(answer, parsedAt), c.dueAtOnce) << c.what;
  // Whatever the case, the page never leaves before its second, nor waits a whole second.
  if (!c.dueAtOnce) {
    EXPECT_GT(Instant{answer}, parsedAt) << c.what;
    EXPECT_LE(Instant{answer} - parsedAt, nanoseconds{1s}) << c.what;
  } else {
    EXPECT_LE(parsedAt - Instant{answer}, nanoseconds{2ms}) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AlignmentRule,
    ::testing::Values(
        AlignCase{"exactly on the boundary: at once", kBoundary, 0ns, 0s, true},
        AlignCase{"a nanosecond after: at once", kBoundary, 1ns, 0s, true},
        AlignCase{"1 ms after: at once with that second", kBoundary, 1ms, 0s, true},
        AlignCase{"the last moment of the margin: at once", kBoundary, 2ms, 0s, true},
        AlignCase{"just past the margin: the next second", kBoundary, 2ms + 1ns, 1s, false},
        AlignCase{"mid-second: the next second", kBoundary, 500ms, 1s, false},
        AlignCase{"a nanosecond before: that boundary", kBoundary, -1ns, 0s, false},
        AlignCase{"1 ms before, within the margin: that boundary", kBoundary, -1ms, 0s, false},
        AlignCase{"2 ms before: that boundary", kBoundary, -2ms, 0s, false},
        AlignCase{"just beyond 2 ms before: still that boundary", kBoundary, -2ms - 1ns, 0s, false},
        AlignCase{"before 1970, on the boundary", kEarlyBoundary, 0ns, 0s, true},
        AlignCase{"before 1970, 1 ms after", kEarlyBoundary, 1ms, 0s, true},
        AlignCase{"before 1970, mid-second", kEarlyBoundary, 400ms, 1s, false},
        AlignCase{"before 1970, 1 ms before", kEarlyBoundary, -1ms, 0s, false}));

TEST(ImmediateAnswer, TruncatesToTheCurrentSecond) {
  EXPECT_EQ(ImmediateAnswerSecond(Instant{kBoundary}), kBoundary);
  EXPECT_EQ(ImmediateAnswerSecond(Instant{kBoundary} + 999'999'999ns), kBoundary);
  EXPECT_EQ(ImmediateAnswerSecond(Instant{kBoundary} - 1ns), kBoundary - 1s);
  EXPECT_EQ(ImmediateAnswerSecond(Instant{kEarlyBoundary} + 500ms), kEarlyBoundary);
  EXPECT_EQ(ImmediateAnswerSecond(Instant{kEarlyBoundary} - 500ms), kEarlyBoundary - 1s);
}

}  // namespace
}  // namespace tidewell::timepage
