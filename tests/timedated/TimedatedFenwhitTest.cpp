// The real fenwhit program (the test build for the loopback time host) run under the clock
// interposer wrapper, with clock_settime refused as for an ordinary user, against the mock
// timedated on a private bus. It must hand the change to timedated without ever allowing a
// prompt, end silently when timedated set the clock, and say so when it did not.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ClockLog.h"
#include "ScratchDirectory.h"
#include "ScriptedHttpServer.h"
#include "TimePages.h"
#include "TimedatedClock.h"
#include "TimedatedFixture.h"
#include "TimedatedHarness.h"

namespace tidewell::test {
namespace {

constexpr const char* kPagePath = "/cgi-bin/timer.pl";
constexpr double kPageAheadSeconds = 37;
constexpr std::chrono::seconds kStartAndSlack{8};  // start-up, download and bus hand-shake
constexpr std::chrono::seconds kNeverAnswers{60};
constexpr std::chrono::seconds kRunLimit{45};

struct FenwhitRun {
  ChildResult child;
  std::chrono::steady_clock::duration elapsed{};
};

class TimedatedFenwhitTest : public TimedatedFixture {
 protected:
  TimedatedFenwhitTest() {
    server_.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(kPageAheadSeconds)));
  }

  FenwhitRun RunFenwhit(bool refuse, const std::string& systemBus) {
    EnvironmentChanges environment = kNoDisplayNoProxy;
    environment.insert(environment.end(), {systemBus, "DBUS_SESSION_BUS_ADDRESS"});
    const auto start = std::chrono::steady_clock::now();
    ChildResult child =
        RunChild(UnderInterposer(clockLog_, refuse, {TIDEWELL_FENWHIT}), environment, kRunLimit);
    return {child, std::chrono::steady_clock::now() - start};
  }

  static void ExpectSilentEnd(const FenwhitRun& run) {
    EXPECT_FALSE(run.child.timedOut);
    EXPECT_EQ(run.child.exitStatus, 0);
    EXPECT_EQ(run.child.standardOutput, "");
    EXPECT_EQ(run.child.standardError, "");
  }

  // Neither the kernel nor timedated set the clock: fenwhit says so, with its refusal status.
  static void ExpectRefusedEnd(const FenwhitRun& run) {
    EXPECT_FALSE(run.child.timedOut);
    EXPECT_EQ(run.child.exitStatus, 77);
    EXPECT_EQ(run.child.standardOutput, "");
    EXPECT_EQ(run.child.standardError,
              "fenwhit: the system refused to change the clock (needs CAP_SYS_TIME or polkit's "
              "permission)\n");
  }

  // The one clock_settime fenwhit made, with the interposer's answer `result`: the page's
  // instant, some 37 s ahead of the clock.
  ClockCall TheOneClockChange(const char* result) {
    const ClockCall call = TheOneClockSettime(result);
    EXPECT_GT(call.requested - call.real, kPageAheadSeconds - 3);
    EXPECT_LT(call.requested - call.real, kPageAheadSeconds + 1);
    return call;
  }

  ScriptedHttpServer server_{TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT};
};

TEST_F(TimedatedFenwhitTest, RefusedChangeIsHandedToTimedatedWithoutAPrompt) {
  StartMock();
  const FenwhitRun run = RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry());
  ExpectSilentEnd(run);
  EXPECT_EQ(server_.Requests().size(), 1u);

  ExpectHandedOver(TheOneClockChange("refused"), /*interactive=*/false);
}

// A reply whose figures put the time 600 ms past the page's second: the step that timedated is
// asked for carries that fraction, not only the whole seconds.
TEST_F(TimedatedFenwhitTest, TheStepCarriesTheFractionOfTheReplysFigures) {
  ScriptedReply timed = ScriptedReply::Body(TimePageAhead(kPageAheadSeconds));
  timed.headers.push_back("Server-Timing: hold;dur=0.010, age;dur=600.000");
  server_.Serve(kPagePath, timed);
  StartMock();
  ExpectSilentEnd(RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry()));

  const ClockCall refused = TheOneClockChange("refused");
  const double fraction = refused.requested - std::floor(refused.requested);
  EXPECT_GE(fraction, 0.6) << refused.line;
  EXPECT_LT(fraction, 0.7) << refused.line;
  const auto changes = mock_->ClockChanges();
  ASSERT_EQ(changes.size(), 1u);
  // Well inside the 600 ms that a step of whole seconds would lose.
  EXPECT_NEAR(changes[0].AheadSeconds(), refused.requested - refused.real,
              kLandingToleranceSeconds);
}

TEST_F(TimedatedFenwhitTest, AcceptedChangeNeverCallsTheBus) {
  StartMock();
  ExpectSilentEnd(RunFenwhit(/*refuse=*/false, bus_.EnvironmentEntry()));
  TheOneClockChange("ok");
  ExpectTimedatedUnasked();
}

class TimedatedFenwhitRefusalTest : public TimedatedFenwhitTest,
                                    public ::testing::WithParamInterface<TimedatedRefusal> {};

TEST_P(TimedatedFenwhitRefusalTest, RefusalIsReported) {
  StartMock(GetParam().behaviour);
  ExpectRefusedEnd(RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry()));
  TheOneClockChange("refused");
  ExpectRefusedBy(GetParam(), /*interactive=*/false);
}

INSTANTIATE_TEST_SUITE_P(Answers, TimedatedFenwhitRefusalTest,
                         ::testing::ValuesIn(TimedatedRefusals()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TimedatedFenwhitTest, NoSystemBusIsReportedAtOnce) {
  const FenwhitRun run = RunFenwhit(/*refuse=*/true, PrivateSystemBus::MissingBusEntry(scratch_));
  ExpectRefusedEnd(run);
  EXPECT_LT(run.elapsed, kStartAndSlack);
  TheOneClockChange("refused");
}

// The silent program has no injected limit: it must give up on its own, after its own time-out.
TEST_F(TimedatedFenwhitTest, TimedatedThatNeverAnswersIsGivenUpOnAfterTheSilentTimeOut) {
  StartMock({false, std::nullopt, kNeverAnswers});
  const FenwhitRun run = RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry());
  ExpectRefusedEnd(run);
  EXPECT_GE(run.elapsed, kSilentTimedatedTimeout);
  EXPECT_LT(run.elapsed, kSilentTimedatedTimeout + kStartAndSlack);
  TheOneClockChange("refused");
  EXPECT_EQ(TheOneRequest().answer, "");
}

}  // namespace
}  // namespace tidewell::test
