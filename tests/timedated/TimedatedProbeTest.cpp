// The Linux platform's SetLocalClock end to end, in timedated_probe run under the clock
// interposer wrapper (as the unprivileged user, with clock_settime recorded or refused) against
// the mock timedated on a private bus. The machine's clock never moves.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "ClockLog.h"
#include "TimedatedHarness.h"

namespace tidewell::testing {
namespace {

// A reading in a zone without daylight time, so the instant it names is beyond doubt.
constexpr const char* kZone = "TZ=Asia/Kolkata";
constexpr long kZoneOffsetSeconds = 5 * 3600 + 30 * 60;
constexpr const char* kLocalReading = "2031-05-17 08:09:10";
constexpr int kReadingYear = 2031, kReadingMonth = 5, kReadingDay = 17;
constexpr int kReadingHour = 8, kReadingMinute = 9, kReadingSecond = 10;
constexpr const char* kBeforeTheEpoch = "1960-03-01 12:00:00";

constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::chrono::milliseconds kShortReply{800};
constexpr std::chrono::milliseconds kLongReply{60'000};
constexpr std::chrono::seconds kNeverAnswers{60};
constexpr std::chrono::seconds kStartAndSlack{5};  // wrapper, sanitizer start-up, bus hand-shake
// How long the user takes to type a password: timedated answers only after that.
constexpr std::chrono::seconds kPasswordPrompt{3};
// Between the refused clock_settime and the request to timedated the process only reads the
// clock; only a loaded machine makes that take more than a millisecond.
constexpr double kLandingToleranceSeconds = 0.1;
constexpr std::chrono::seconds kProbeLimit{30};

std::int64_t ExpectedSeconds() {
  std::tm reading{};
  reading.tm_year = kReadingYear - 1900;
  reading.tm_mon = kReadingMonth - 1;
  reading.tm_mday = kReadingDay;
  reading.tm_hour = kReadingHour;
  reading.tm_min = kReadingMinute;
  reading.tm_sec = kReadingSecond;
  return timegm(&reading) - kZoneOffsetSeconds;
}

std::int64_t Microseconds(double seconds) {
  return std::llround(seconds * static_cast<double>(kMicrosecondsPerSecond));
}

// The probe's reply time-outs for an interactive and for a silent request.
using ReplyLimits = std::pair<std::chrono::milliseconds, std::chrono::milliseconds>;

struct ProbeRun {
  ChildResult child;
  std::chrono::steady_clock::duration elapsed{};
};

class TimedatedProbeTest : public ::testing::Test {
 protected:
  ProbeRun RunProbe(const char* mode, bool refuse, const std::string& systemBus,
                    std::optional<ReplyLimits> replyLimits = std::nullopt,
                    const char* localReading = kLocalReading) {
    std::vector<std::string> argv{TIDEWELL_INTERPOSER_WRAPPER, "--lib", TIDEWELL_INTERPOSER_LIBRARY,
                                  "--log", clockLog_};
    if (refuse) argv.push_back("--refuse");
    argv.insert(argv.end(), {"--", TIDEWELL_TIMEDATED_PROBE, mode, localReading});
    if (replyLimits) {
      argv.push_back(std::to_string(replyLimits->first.count()));
      argv.push_back(std::to_string(replyLimits->second.count()));
    }
    const auto start = std::chrono::steady_clock::now();
    ChildResult child =
        RunChild(argv, {systemBus, kZone, "DBUS_SESSION_BUS_ADDRESS", "DISPLAY"}, kProbeLimit);
    return {child, std::chrono::steady_clock::now() - start};
  }

  // The one clock_settime the probe made, its instant checked against the reading; `result` is
  // what the interposer answered it.
  ClockCall TheOneClockChange(const char* result) {
    const auto calls = ReadClockLog(clockLog_);
    EXPECT_EQ(calls.size(), 1u);
    if (calls.empty()) return {};
    EXPECT_EQ(calls[0].function, "clock_settime");
    EXPECT_EQ(calls[0].result, result);
    EXPECT_EQ(Microseconds(calls[0].requested), ExpectedSeconds() * kMicrosecondsPerSecond);
    return calls[0];
  }

  void StartMock(const MockBehaviour& behaviour = {}) { mock_.emplace(bus_, scratch_, behaviour); }

  ScratchDirectory scratch_;
  std::string clockLog_ = scratch_.Path("clock.log");
  PrivateSystemBus bus_{scratch_};
  SetTimeMonitor monitor_{bus_};
  std::optional<MockTimedated> mock_;
};

struct ProbeHandOver {
  const char* name;
  bool interactive;
  std::chrono::seconds authorisation;  // how long timedated takes to answer
};

class TimedatedProbeHandOverTest : public TimedatedProbeTest,
                                   public ::testing::WithParamInterface<ProbeHandOver> {};

// timedated would set the clock as far ahead of the real clock, when it sets it, as the refused
// change was ahead of it then: the clock lands on the reading however long the answer took.
TEST_P(TimedatedProbeHandOverTest, RefusedChangeLandsOnTheSameInstantThroughTimedated) {
  const ProbeHandOver& handOver = GetParam();
  StartMock({false, std::nullopt, handOver.authorisation});
  const ProbeRun run = RunProbe(handOver.interactive ? "interactive" : "silent", /*refuse=*/true,
                                bus_.EnvironmentEntry());
  EXPECT_EQ(run.child.exitStatus, 0) << run.child.standardError;
  EXPECT_EQ(run.child.standardOutput, "set\n") << run.child.standardError;
  EXPECT_GE(run.elapsed, handOver.authorisation);

  const ClockCall refused = TheOneClockChange("refused");
  const auto calls = mock_->SetTimeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].relative);
  EXPECT_EQ(calls[0].interactive, handOver.interactive);
  const auto changes = mock_->ClockChanges();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_NEAR(changes[0].AheadSeconds(), refused.requested - refused.real,
              kLandingToleranceSeconds);

  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].allowsInteractiveAuthorization, handOver.interactive);
  EXPECT_EQ(requests[0].answer, "return");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TimedatedProbeHandOverTest,
    ::testing::Values(ProbeHandOver{"Interactive", true, std::chrono::seconds{0}},
                      ProbeHandOver{"Silent", false, std::chrono::seconds{0}},
                      ProbeHandOver{"InteractiveAfterAPasswordPrompt", true, kPasswordPrompt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TimedatedProbeTest, AcceptedChangeNeverCallsTheBus) {
  StartMock();
  const ProbeRun run = RunProbe("interactive", /*refuse=*/false, bus_.EnvironmentEntry());
  EXPECT_EQ(run.child.standardOutput, "set\n") << run.child.standardError;
  TheOneClockChange("ok");
  EXPECT_TRUE(mock_->SetTimeCalls().empty());
  EXPECT_TRUE(monitor_.Requests().empty());
}

// Only a change refused for want of privilege goes to timedated: one the kernel rejects as
// invalid (before the epoch) would be rejected there too.
TEST_F(TimedatedProbeTest, InvalidTimeIsNotHandedToTimedated) {
  StartMock();
  const ProbeRun run =
      RunProbe("silent", /*refuse=*/true, bus_.EnvironmentEntry(), std::nullopt, kBeforeTheEpoch);
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  const auto calls = ReadClockLog(clockLog_);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].result, "invalid");
  EXPECT_TRUE(mock_->SetTimeCalls().empty());
  EXPECT_TRUE(monitor_.Requests().empty());
}

struct ProbeRefusal {
  const char* name;
  MockBehaviour behaviour;
  const char* mode;
  const char* error;
};

class TimedatedProbeRefusalTest : public TimedatedProbeTest,
                                  public ::testing::WithParamInterface<ProbeRefusal> {};

TEST_P(TimedatedProbeRefusalTest, TimedatedsRefusalIsNotSet) {
  StartMock(GetParam().behaviour);
  const ProbeRun run = RunProbe(GetParam().mode, /*refuse=*/true, bus_.EnvironmentEntry());
  EXPECT_EQ(run.child.exitStatus, 0) << run.child.standardError;
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  TheOneClockChange("refused");
  EXPECT_EQ(mock_->SetTimeCalls().size(), 1u);
  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].answer, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TimedatedProbeRefusalTest,
    ::testing::Values(
        ProbeRefusal{"AutomaticSyncOn", {true, std::nullopt}, "interactive", kAutomaticSyncError},
        ProbeRefusal{
            "AccessDenied", {false, kAccessDeniedError}, "interactive", kAccessDeniedError},
        ProbeRefusal{"InteractiveAuthorizationRequired",
                     {false, kInteractiveAuthorizationError},
                     "silent",
                     kInteractiveAuthorizationError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TimedatedProbeTest, NoTimedatedOnTheBusIsNotSet) {
  const ProbeRun run = RunProbe("silent", /*refuse=*/true, bus_.EnvironmentEntry());
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  EXPECT_LT(run.elapsed, kStartAndSlack);
  TheOneClockChange("refused");
  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].answer, "org.freedesktop.DBus.Error.ServiceUnknown");
}

TEST_F(TimedatedProbeTest, NoSystemBusIsNotSet) {
  const ProbeRun run =
      RunProbe("interactive", /*refuse=*/true, PrivateSystemBus::MissingBusEntry(scratch_));
  EXPECT_EQ(run.child.exitStatus, 0) << run.child.standardError;
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  EXPECT_LT(run.elapsed, kStartAndSlack);
  TheOneClockChange("refused");
}

class TimedatedProbeModeTest : public TimedatedProbeTest,
                               public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Modes, TimedatedProbeModeTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Interactive" : "Silent"; });

// Each request waits as long as its own kind allows: the other limit is a minute, far beyond
// the time this run is given.
TEST_P(TimedatedProbeModeTest, NoAnswerWithinItsTimeOutIsNotSet) {
  const bool interactive = GetParam();
  StartMock({false, std::nullopt, kNeverAnswers});
  const ReplyLimits limits =
      interactive ? ReplyLimits{kShortReply, kLongReply} : ReplyLimits{kLongReply, kShortReply};
  const ProbeRun run = RunProbe(interactive ? "interactive" : "silent", /*refuse=*/true,
                                bus_.EnvironmentEntry(), limits);
  EXPECT_FALSE(run.child.timedOut);
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  EXPECT_GE(run.elapsed, kShortReply);
  EXPECT_LT(run.elapsed, kShortReply + kStartAndSlack);
  TheOneClockChange("refused");
  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].interactive, interactive);
  EXPECT_EQ(requests[0].answer, "");
}

}  // namespace
}  // namespace tidewell::testing
