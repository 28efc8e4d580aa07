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
#include "ScratchDirectory.h"
#include "TimePages.h"
#include "TimedatedFixture.h"
#include "TimedatedHarness.h"

namespace tidewell::test {
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
constexpr std::chrono::seconds kProbeLimit{30};

std::int64_t ExpectedSeconds() {
  return UtcSeconds(kReadingYear, kReadingMonth, kReadingDay, kReadingHour, kReadingMinute,
                    kReadingSecond) -
         kZoneOffsetSeconds;
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

class TimedatedProbeTest : public TimedatedFixture {
 protected:
  ProbeRun RunProbe(const char* mode, bool refuse, const std::string& systemBus,
                    std::optional<ReplyLimits> replyLimits = std::nullopt,
                    const char* localReading = kLocalReading) {
    std::vector<std::string> command{TIDEWELL_TIMEDATED_PROBE, mode, localReading};
    if (replyLimits) {
      command.push_back(std::to_string(replyLimits->first.count()));
      command.push_back(std::to_string(replyLimits->second.count()));
    }
    const auto start = std::chrono::steady_clock::now();
    ChildResult child =
        RunChild(UnderInterposer(clockLog_, refuse, command),
                 {systemBus, kZone, "DBUS_SESSION_BUS_ADDRESS", "DISPLAY"}, kProbeLimit);
    return {child, std::chrono::steady_clock::now() - start};
  }

  // The one clock_settime the probe made, its instant checked against the reading; `result` is
  // what the interposer answered it.
  ClockCall TheOneClockChange(const char* result) {
    const ClockCall call = TheOneClockSettime(result);
    EXPECT_EQ(Microseconds(call.requested), ExpectedSeconds() * kMicrosecondsPerSecond);
    return call;
  }
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

  ExpectHandedOver(TheOneClockChange("refused"), handOver.interactive);
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
  ExpectTimedatedUnasked();
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
  ExpectTimedatedUnasked();
}

class TimedatedProbeRefusalTest : public TimedatedProbeTest,
                                  public ::testing::WithParamInterface<TimedatedRefusal> {};

TEST_P(TimedatedProbeRefusalTest, TimedatedsRefusalIsNotSet) {
  const TimedatedRefusal& refusal = GetParam();
  StartMock(refusal.behaviour);
  const ProbeRun run = RunProbe(refusal.interactive ? "interactive" : "silent", /*refuse=*/true,
                                bus_.EnvironmentEntry());
  EXPECT_EQ(run.child.exitStatus, 0) << run.child.standardError;
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  TheOneClockChange("refused");
  ExpectRefusedBy(refusal, refusal.interactive);
}

INSTANTIATE_TEST_SUITE_P(Answers, TimedatedProbeRefusalTest,
                         ::testing::ValuesIn(TimedatedRefusals()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TimedatedProbeTest, NoTimedatedOnTheBusIsNotSet) {
  const ProbeRun run = RunProbe("silent", /*refuse=*/true, bus_.EnvironmentEntry());
  EXPECT_EQ(run.child.standardOutput, "not set\n") << run.child.standardError;
  EXPECT_LT(run.elapsed, kStartAndSlack);
  TheOneClockChange("refused");
  EXPECT_EQ(TheOneRequest().answer, "org.freedesktop.DBus.Error.ServiceUnknown");
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

INSTANTIATE_TEST_SUITE_P(Modes, TimedatedProbeModeTest, ::testing::Bool(), InteractiveOrSilent);

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
  const ObservedSetTime request = TheOneRequest();
  EXPECT_EQ(request.interactive, interactive);
  EXPECT_EQ(request.answer, "");
}

}  // namespace
}  // namespace tidewell::test
