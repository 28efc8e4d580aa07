#pragma once

// What the tests of a clock change handed to timedated start from: a private bus with a monitor
// on it, a clock log for a program run under the interposer, and the mock timedated once a test
// starts it; and the checks those tests share.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ClockLog.h"
#include "ScratchDirectory.h"
#include "TimedatedHarness.h"

namespace tidewell::test {

// Between the refused clock_settime and the request to timedated the program only reads the
// clock; only a loaded machine makes that take more than a millisecond.
inline constexpr double kLandingToleranceSeconds = 0.1;

// A way the mock timedated refuses SetTime, and the error it answers. `interactive` is how the
// probe asks in that case.
struct TimedatedRefusal {
  const char* name;
  MockBehaviour behaviour;
  const char* error;
  bool interactive;
};

inline const std::vector<TimedatedRefusal>& TimedatedRefusals() {
  static const std::vector<TimedatedRefusal> refusals = {
      {"AutomaticSyncOn", {true, std::nullopt}, kAutomaticSyncError, true},
      {"AccessDenied", {false, kAccessDeniedError}, kAccessDeniedError, true},
      {"InteractiveAuthorizationRequired",
       {false, kInteractiveAuthorizationError},
       kInteractiveAuthorizationError,
       false},
  };
  return refusals;
}

// Names the cases of a test run once with an interactive request and once with a silent one.
inline std::string InteractiveOrSilent(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Interactive" : "Silent";
}

class TimedatedFixture : public ::testing::Test {
 protected:
  void StartMock(const MockBehaviour& behaviour = {}) { mock_.emplace(bus_, scratch_, behaviour); }

  // The one clock_settime in the clock log, which the interposer answered `result`. A setting
  // that succeeded is followed by the one adjtimex that tells the kernel the clock is right; a
  // refused one, whatever timedated then made of it, by nothing.
  ClockCall TheOneClockSettime(const char* result) const {
    const auto calls = ReadClockLog(clockLog_);
    const bool set = std::string(result) == "ok";
    EXPECT_EQ(calls.size(), set ? 2u : 1u);
    if (set && calls.size() == 2u) {
      EXPECT_EQ(calls[1].function, "adjtimex");
    }
    if (calls.empty()) return {};
    EXPECT_EQ(calls[0].function, "clock_settime");
    EXPECT_EQ(calls[0].result, result);
    return calls[0];
  }

  // The one SetTime that crossed the bus, with the answer it got.
  ObservedSetTime TheOneRequest() {
    const auto requests = monitor_.Requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? ObservedSetTime{} : requests[0];
  }

  // Nothing asked timedated to set the clock.
  void ExpectTimedatedUnasked() {
    EXPECT_TRUE(mock_->SetTimeCalls().empty());
    EXPECT_TRUE(monitor_.Requests().empty());
  }

  // The `refused` change went to timedated as one relative SetTime, allowing a prompt only when
  // `interactive`, and was accepted; timedated would have put the clock as far ahead of the real
  // clock as the refused change was when it was made.
  void ExpectHandedOver(const ClockCall& refused, bool interactive) {
    const auto calls = mock_->SetTimeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].relative);
    EXPECT_EQ(calls[0].interactive, interactive);
    const auto changes = mock_->ClockChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_NEAR(changes[0].AheadSeconds(), refused.requested - refused.real,
                kLandingToleranceSeconds);
    const ObservedSetTime request = TheOneRequest();
    EXPECT_EQ(request.allowsInteractiveAuthorization, interactive);
    EXPECT_EQ(request.answer, "return");
  }

  // The change went to timedated once, interactive or not, and came back with the refusal's
  // error.
  void ExpectRefusedBy(const TimedatedRefusal& refusal, bool interactive) {
    EXPECT_EQ(mock_->SetTimeCalls().size(), 1u);
    const ObservedSetTime request = TheOneRequest();
    EXPECT_EQ(request.interactive, interactive);
    EXPECT_EQ(request.answer, refusal.error);
  }

  ScratchDirectory scratch_;
  std::string clockLog_ = scratch_.Path("clock.log");
  PrivateSystemBus bus_{scratch_};
  SetTimeMonitor monitor_{bus_};
  std::optional<MockTimedated> mock_;
};

}  // namespace tidewell::test
