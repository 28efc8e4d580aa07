// The real fenwhit program (the test build for the loopback time host) run under the clock
// interposer wrapper, with clock_settime refused as for an ordinary user, against the mock
// timedated on a private bus. It must hand the change to timedated without ever allowing a
// prompt, and end silently whatever timedated answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ClockLog.h"
#include "ScriptedHttpServer.h"
#include "TimedatedClock.h"
#include "TimedatedHarness.h"

namespace tidewell::testing {
namespace {

constexpr const char* kPagePath = "/cgi-bin/timer.pl";
constexpr double kPageAheadSeconds = 37;
constexpr std::chrono::seconds kStartAndSlack{8};  // start-up, download and bus hand-shake
constexpr std::chrono::seconds kNeverAnswers{60};
constexpr std::chrono::seconds kRunLimit{45};
// Between the refused clock_settime and the request to timedated fenwhit only reads the clock.
constexpr double kLandingToleranceSeconds = 0.1;

struct FenwhitRun {
  ChildResult child;
  std::chrono::steady_clock::duration elapsed{};
};

class TimedatedFenwhitTest : public ::testing::Test {
 protected:
  TimedatedFenwhitTest() {
    server_.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(kPageAheadSeconds)));
  }

  FenwhitRun RunFenwhit(bool refuse, const std::string& systemBus) {
    std::vector<std::string> argv{TIDEWELL_INTERPOSER_WRAPPER, "--lib", TIDEWELL_INTERPOSER_LIBRARY,
                                  "--log", clockLog_};
    if (refuse) argv.push_back("--refuse");
    argv.insert(argv.end(), {"--", TIDEWELL_FENWHIT});
    const std::vector<std::string> environment{systemBus,    "DBUS_SESSION_BUS_ADDRESS",
                                               "DISPLAY",    "WAYLAND_DISPLAY",
                                               "http_proxy", "HTTP_PROXY",
                                               "all_proxy",  "ALL_PROXY"};
    const auto start = std::chrono::steady_clock::now();
    ChildResult child = RunChild(argv, environment, kRunLimit);
    return {child, std::chrono::steady_clock::now() - start};
  }

  static void ExpectSilentEnd(const FenwhitRun& run) {
    EXPECT_FALSE(run.child.timedOut);
    EXPECT_EQ(run.child.exitStatus, 0);
    EXPECT_EQ(run.child.standardOutput, "");
    EXPECT_EQ(run.child.standardError, "");
  }

  // The one clock_settime fenwhit made, with the interposer's answer `result`: the page's
  // instant, some 37 s ahead of the clock.
  ClockCall TheOneClockChange(const char* result) {
    const auto calls = ReadClockLog(clockLog_);
    EXPECT_EQ(calls.size(), 1u);
    if (calls.empty()) return {};
    EXPECT_EQ(calls[0].function, "clock_settime");
    EXPECT_EQ(calls[0].result, result);
    EXPECT_GT(calls[0].requested - calls[0].real, kPageAheadSeconds - 3);
    EXPECT_LT(calls[0].requested - calls[0].real, kPageAheadSeconds + 1);
    return calls[0];
  }

  void StartMock(const MockBehaviour& behaviour = {}) { mock_.emplace(bus_, scratch_, behaviour); }

  ScriptedHttpServer server_{TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT};
  ScratchDirectory scratch_;
  std::string clockLog_ = scratch_.Path("clock.log");
  PrivateSystemBus bus_{scratch_};
  SetTimeMonitor monitor_{bus_};
  std::optional<MockTimedated> mock_;
};

TEST_F(TimedatedFenwhitTest, RefusedChangeIsHandedToTimedatedWithoutAPrompt) {
  StartMock();
  const FenwhitRun run = RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry());
  ExpectSilentEnd(run);
  EXPECT_EQ(server_.Requests().size(), 1u);

  const ClockCall refused = TheOneClockChange("refused");
  const auto calls = mock_->SetTimeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].relative);
  EXPECT_FALSE(calls[0].interactive);
  // timedated would put the clock as far ahead as the page's time was when it was refused.
  const auto changes = mock_->ClockChanges();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_NEAR(changes[0].AheadSeconds(), refused.requested - refused.real,
              kLandingToleranceSeconds);

  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].allowsInteractiveAuthorization);
  EXPECT_EQ(requests[0].answer, "return");
}

TEST_F(TimedatedFenwhitTest, AcceptedChangeNeverCallsTheBus) {
  StartMock();
  ExpectSilentEnd(RunFenwhit(/*refuse=*/false, bus_.EnvironmentEntry()));
  TheOneClockChange("ok");
  EXPECT_TRUE(mock_->SetTimeCalls().empty());
  EXPECT_TRUE(monitor_.Requests().empty());
}

struct FenwhitRefusal {
  const char* name;
  MockBehaviour behaviour;
  const char* error;
};

class TimedatedFenwhitRefusalTest : public TimedatedFenwhitTest,
                                    public ::testing::WithParamInterface<FenwhitRefusal> {};

TEST_P(TimedatedFenwhitRefusalTest, RefusalEndsSilently) {
  StartMock(GetParam().behaviour);
  ExpectSilentEnd(RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry()));
  TheOneClockChange("refused");
  EXPECT_EQ(mock_->SetTimeCalls().size(), 1u);
  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].interactive);
  EXPECT_EQ(requests[0].answer, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TimedatedFenwhitRefusalTest,
    ::testing::Values(FenwhitRefusal{"AutomaticSyncOn", {true, std::nullopt}, kAutomaticSyncError},
                      FenwhitRefusal{
                          "AccessDenied", {false, kAccessDeniedError}, kAccessDeniedError},
                      FenwhitRefusal{"InteractiveAuthorizationRequired",
                                     {false, kInteractiveAuthorizationError},
                                     kInteractiveAuthorizationError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TimedatedFenwhitTest, NoSystemBusEndsSilentlyAtOnce) {
  const FenwhitRun run = RunFenwhit(/*refuse=*/true, PrivateSystemBus::MissingBusEntry(scratch_));
  ExpectSilentEnd(run);
  EXPECT_LT(run.elapsed, kStartAndSlack);
  TheOneClockChange("refused");
}

// The silent program has no injected limit: it must give up on its own, after its own time-out.
TEST_F(TimedatedFenwhitTest, TimedatedThatNeverAnswersIsGivenUpOnAfterTheSilentTimeOut) {
  StartMock({false, std::nullopt, kNeverAnswers});
  const FenwhitRun run = RunFenwhit(/*refuse=*/true, bus_.EnvironmentEntry());
  ExpectSilentEnd(run);
  EXPECT_GE(run.elapsed, kSilentTimedatedTimeout);
  EXPECT_LT(run.elapsed, kSilentTimedatedTimeout + kStartAndSlack);
  TheOneClockChange("refused");
  const auto requests = monitor_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].answer, "");
}

}  // namespace
}  // namespace tidewell::testing
