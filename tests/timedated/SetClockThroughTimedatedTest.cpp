// The request to systemd-timedated on its own, in this process, against the mock timedated on a
// private bus. Nothing here calls clock_settime: the mock only records what it was asked.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ScopedEnvironment.h"
#include "TimedatedClock.h"
#include "TimedatedFixture.h"
#include "TimedatedHarness.h"

namespace tidewell::test {
namespace {

constexpr std::int64_t kInstant = 1'905'000'000'123'456;  // microseconds, with a fraction
constexpr std::chrono::milliseconds kGenerousReply{10'000};
constexpr std::chrono::milliseconds kShortReply{700};
constexpr std::chrono::seconds kNeverAnswers{60};
// A failure that needs no answer from anybody comes back at once, not after a time-out.
constexpr std::chrono::seconds kPromptFailure{3};

std::int64_t RealClockMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
}

// A request to set the clock to kInstant, and the real clock just before and after it: the step
// it carries must lie between the two steps to kInstant from those readings.
struct TimedRequest {
  TimedatedAnswer answer;
  std::int64_t stepFromAfter = 0;
  std::int64_t stepFromBefore = 0;
};

TimedRequest AskForTheInstant(bool interactive, std::chrono::milliseconds replyTimeout) {
  const std::int64_t before = RealClockMicroseconds();
  TimedatedAnswer answer = SetClockThroughTimedated(kInstant, interactive, replyTimeout);
  const std::int64_t after = RealClockMicroseconds();
  return {std::move(answer), kInstant - after, kInstant - before};
}

void ExpectStepToTheInstant(std::int64_t step, const TimedRequest& request) {
  EXPECT_GE(step, request.stepFromAfter);
  EXPECT_LE(step, request.stepFromBefore);
}

class SetClockThroughTimedatedTest : public TimedatedFixture {
 protected:
  // The process's system bus is the private one from the start, before anything can connect.
  ScopedEnvironment systemBus_{kSystemBusVariable, bus_.Address()};
};

class SetClockRequestTest : public SetClockThroughTimedatedTest,
                            public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Modes, SetClockRequestTest, ::testing::Bool(), InteractiveOrSilent);

// An interactive request lets timedated prompt for a password; a silent one never does.
TEST_P(SetClockRequestTest, AsksForTheStepToTheInstant) {
  const bool interactive = GetParam();
  StartMock();
  const TimedRequest request = AskForTheInstant(interactive, kGenerousReply);
  EXPECT_TRUE(request.answer.clockSet) << request.answer.failure;
  EXPECT_EQ(request.answer.failure, "");

  const auto calls = mock_->SetTimeCalls();
  ASSERT_EQ(calls.size(), 1u);
  ExpectStepToTheInstant(calls[0].microsecondsUtc, request);
  EXPECT_TRUE(calls[0].relative);
  EXPECT_EQ(calls[0].interactive, interactive);

  const ObservedSetTime observed = TheOneRequest();
  EXPECT_EQ(observed.destination, kTimedatedName);
  EXPECT_EQ(observed.path, kTimedatedPath);
  EXPECT_EQ(observed.interface, "org.freedesktop.timedate1");
  EXPECT_EQ(observed.signature, "xbb");
  EXPECT_EQ(observed.microsecondsUtc, calls[0].microsecondsUtc);
  EXPECT_EQ(observed.allowsInteractiveAuthorization, interactive);
  EXPECT_EQ(observed.answer, "return");
}

class TimedatedRefusalTest : public SetClockThroughTimedatedTest,
                             public ::testing::WithParamInterface<TimedatedRefusal> {};

TEST_P(TimedatedRefusalTest, RefusalMeansTheClockWasNotSet) {
  StartMock(GetParam().behaviour);
  const TimedatedAnswer answer = SetClockThroughTimedated(kInstant, true, kGenerousReply);
  EXPECT_FALSE(answer.clockSet);
  EXPECT_EQ(answer.failure.rfind(GetParam().error, 0), 0u) << answer.failure;
  EXPECT_EQ(mock_->SetTimeCalls().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Answers, TimedatedRefusalTest, ::testing::ValuesIn(TimedatedRefusals()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SetClockThroughTimedatedTest, NobodyOwningTimedatedsNameIsAPromptFailure) {
  const auto start = std::chrono::steady_clock::now();
  const TimedatedAnswer answer = SetClockThroughTimedated(kInstant, false, kGenerousReply);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptFailure);
  EXPECT_FALSE(answer.clockSet);
  EXPECT_EQ(answer.failure.rfind("org.freedesktop.DBus.Error.ServiceUnknown", 0), 0u)
      << answer.failure;
}

TEST_F(SetClockThroughTimedatedTest, NoSystemBusIsAPromptFailure) {
  ScopedEnvironment noBus(kSystemBusVariable, "unix:path=" + scratch_.Path("no_bus_listens_here"));
  const auto start = std::chrono::steady_clock::now();
  const TimedatedAnswer answer = SetClockThroughTimedated(kInstant, false, kGenerousReply);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptFailure);
  EXPECT_FALSE(answer.clockSet);
  EXPECT_NE(answer.failure, "");
  EXPECT_TRUE(monitor_.Requests().empty());
}

TEST_F(SetClockThroughTimedatedTest, NoAnswerWithinTheTimeOutIsAFailure) {
  StartMock({false, std::nullopt, kNeverAnswers});
  const auto start = std::chrono::steady_clock::now();
  const TimedRequest request = AskForTheInstant(true, kShortReply);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(request.answer.clockSet);
  EXPECT_NE(request.answer.failure, "");
  EXPECT_GE(elapsed, kShortReply);
  EXPECT_LT(elapsed, kShortReply + kPromptFailure);

  const auto requests = monitor_.Requests();  // it did reach the mock, which kept quiet
  ASSERT_EQ(requests.size(), 1u);
  ExpectStepToTheInstant(requests[0].microsecondsUtc, request);
  EXPECT_EQ(requests[0].answer, "");
}

}  // namespace
}  // namespace tidewell::test
