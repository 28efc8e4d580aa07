// The real fenwhit program, built for a time host on loopback, run under the clock interposer
// against pages served by the tests. The machine's clock is never changed: the interposer only
// records the requested time, and the wrapper runs the program as an unprivileged user.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <sys/timex.h>

#include "ChildProcess.h"
#include "ClockLog.h"
#include "ScratchDirectory.h"
#include "ScriptedHttpServer.h"
#include "TimePages.h"

namespace tidewell::test {
namespace {

constexpr const char* kPagePath = "/cgi-bin/timer.pl";
const std::string kPageAddress = std::string("http://") + TIDEWELL_TEST_HOST_ADDRESS + ":" +
                                 std::to_string(TIDEWELL_TEST_HOST_PORT) + kPagePath;

// fenwhit's statuses, as its manual page gives them.
constexpr int kRuntimeError = 1;
constexpr int kNoTimeEntry = 65;
constexpr int kUnreachable = 69;
constexpr int kRefused = 77;
// A page without figures places the time only within its whole second; the time the test's
// machine may take for the exchange on top of that.
constexpr long long kSecond = 1'000'000;
constexpr long long kSlowExchange = 2'000'000;
// The kernel's status as the interposer shows it to fenwhit: unsynchronised, with a phase-locked
// loop and a leap second to insert, which a program that only set the clock must leave alone.
constexpr int kReadStatus = STA_UNSYNC | STA_PLL | STA_INS;

class FenwhitProcessTest : public ::testing::Test {
 protected:
  ChildResult RunFenwhit(const std::vector<std::string>& environment = {},
                         const std::vector<std::string>& arguments = {}, bool refuse = false) {
    std::vector<std::string> command{TIDEWELL_FENWHIT};
    command.insert(command.end(), arguments.begin(), arguments.end());
    // No display, no proxy, and a system bus that does not exist: a refused change must not
    // find its way to the machine's own time service.
    EnvironmentChanges env = kNoDisplayNoProxy;
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/tidewell-bus");
    env.push_back("TIDEWELL_CLOCK_READ_STATUS=" + std::to_string(kReadStatus));
    env.insert(env.end(), environment.begin(), environment.end());
    return RunChild(UnderInterposer(log_, refuse, command), env);
  }

  std::vector<ClockCall> ClockCalls() const { return ReadClockLog(log_); }

  static void ExpectSilentSuccess(const ChildResult& run) {
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "");
  }

  // A run that ended with `status` and the one line `line` on standard error.
  static void ExpectFailure(const ChildResult& run, int status, const std::string& line) {
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, status);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "fenwhit: " + line + "\n");
  }

  // The clock set once, and the kernel then told once that it is synchronised, with the status
  // bits it had (kReadStatus) but STA_UNSYNC, and error bounds (microseconds) between the two
  // given.
  std::vector<ClockCall> ExpectSetAndMarkedSynchronised(long long fewestMicroseconds,
                                                        long long mostMicroseconds) const {
    const auto calls = ClockCalls();
    EXPECT_EQ(calls.size(), 2u);
    if (calls.size() != 2u) return calls;
    EXPECT_EQ(calls[0].function, "clock_settime");
    EXPECT_EQ(calls[1].function, "adjtimex") << calls[1].line;
    EXPECT_EQ(calls[1].modes, ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR) << calls[1].line;
    EXPECT_EQ(calls[1].status, kReadStatus & ~STA_UNSYNC) << calls[1].line;
    EXPECT_GE(calls[1].maxerror.value_or(-1), fewestMicroseconds) << calls[1].line;
    EXPECT_LE(calls[1].maxerror.value_or(-1), mostMicroseconds) << calls[1].line;
    EXPECT_EQ(calls[1].esterror, calls[1].maxerror) << calls[1].line;
    return calls;
  }

  ScratchDirectory scratch_;
  std::string log_ = scratch_.Path("clock.log");
};

struct ZoneCase {
  const char* zone;
};

class FenwhitZoneTest : public FenwhitProcessTest,
                        public ::testing::WithParamInterface<const char*> {};

// The page says the time is 37 s ahead of this clock. Whatever the zone, the program must ask
// for the local time that is that same instant: 37 s (less the run's own time) ahead.
TEST_P(FenwhitZoneTest, SetsTheLocalTimeOfThePagesInstant) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(37)));

  const ChildResult run = RunFenwhit({std::string("TZ=") + GetParam()});
  ExpectSilentSuccess(run);
  const auto calls = ExpectSetAndMarkedSynchronised(kSecond, kSecond + kSlowExchange);
  ASSERT_EQ(calls.size(), 2u) << run.standardError;
  EXPECT_EQ(calls[0].result, "ok");
  const double ahead = calls[0].requested - calls[0].real;
  EXPECT_GT(ahead, 34.0);
  EXPECT_LT(ahead, 38.0);
}

INSTANTIATE_TEST_SUITE_P(Zones, FenwhitZoneTest,
                         ::testing::Values("UTC", "America/New_York", "Europe/Berlin",
                                           "Australia/Sydney", "America/Santiago",
                                           "Australia/Adelaide", "Asia/Kolkata", "Asia/Tokyo"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (c == '/') c = '_';
                           }
                           return name;
                         });

// Today becomes the day of a change through a zone written as a rule (UTC in winter, an hour
// ahead in summer), with the change a little before or after this moment. The other change is
// half a year away. The page's instant must be set whichever side of the change it falls on.
struct ChangeTodayCase {
  const char* name;
  bool toDaylight;           // which change falls today
  int changeFromNowMinutes;  // when, counted from now
};

void PrintTo(const ChangeTodayCase& c, std::ostream* out) { *out << c.name; }

// A POSIX TZ rule "XST<west>XDT<west-1>,start/time,end/time" with days counted from 0 = 1 January.
// The zone's standard time is chosen so that it is about noon now: the change, two hours either
// side, then always falls on today's local date, whatever the hour in UTC.
std::string ZoneChangingToday(const ChangeTodayCase& c, std::time_t now) {
  constexpr int kNoon = 12;
  constexpr int kDaysInHalfAYear = 182;
  std::tm utc{};
  gmtime_r(&now, &utc);
  const int hoursEast = kNoon - utc.tm_hour;  // -11 .. +12
  const std::time_t standardNow = now + static_cast<std::time_t>(hoursEast) * 3600;
  std::tm standard{};
  gmtime_r(&standardNow, &standard);
  const int nowSecond = standard.tm_hour * 3600 + standard.tm_min * 60 + standard.tm_sec;
  // The time of a change is read on the clock before it: summer time is an hour ahead.
  const int changeClockSecond =
      nowSecond + c.changeFromNowMinutes * 60 + (c.toDaylight ? 0 : 3600);
  const int today = standard.tm_yday;
  const int otherDay = (today + kDaysInHalfAYear) % 365;
  const int standardWest = -hoursEast;
  const int daylightWest = standardWest - 1;
  char rule[128];
  if (c.toDaylight) {
    std::snprintf(rule, sizeof rule, "XST%dXDT%d,%d/%d:%02d:%02d,%d/2", standardWest,
                  daylightWest, today, changeClockSecond / 3600, changeClockSecond / 60 % 60,
                  changeClockSecond % 60, otherDay);
  } else {
    std::snprintf(rule, sizeof rule, "XST%dXDT%d,%d/2,%d/%d:%02d:%02d", standardWest,
                  daylightWest, otherDay, today, changeClockSecond / 3600,
                  changeClockSecond / 60 % 60, changeClockSecond % 60);
  }
  return rule;
}

class FenwhitChangeTodayTest : public FenwhitProcessTest,
                               public ::testing::WithParamInterface<ChangeTodayCase> {};

TEST_P(FenwhitChangeTodayTest, SetsThePagesInstantOnTheDayOfAChange) {
  const std::string zone = ZoneChangingToday(GetParam(), std::time(nullptr));
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(37)));

  const ChildResult run = RunFenwhit({"TZ=" + zone});
  ExpectSilentSuccess(run);
  const auto calls = ClockCalls();
  ASSERT_EQ(calls.size(), 2u) << zone;
  const double ahead = calls[0].requested - calls[0].real;
  EXPECT_GT(ahead, 34.0) << zone;
  EXPECT_LT(ahead, 38.0) << zone;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FenwhitChangeTodayTest,
    ::testing::Values(ChangeTodayCase{"BeforeTheChangeToSummerTime", true, 120},
                      ChangeTodayCase{"AfterTheChangeToSummerTime", true, -120},
                      ChangeTodayCase{"BeforeTheChangeToWinterTime", false, 120},
                      ChangeTodayCase{"AfterTheChangeToWinterTime", false, -120},
                      // Half an hour before summer time ends, this reading shows again later.
                      ChangeTodayCase{"FirstShowingOfTheRepeatedHour", false, 30},
                      ChangeTodayCase{"SecondShowingOfTheRepeatedHour", false, -30}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FenwhitProcessTest, NoServerListeningFailsWithoutTouchingTheClock) {
  ExpectFailure(RunFenwhit(), kUnreachable,
                "cannot reach " + kPageAddress + ": Connection refused");
  EXPECT_TRUE(ClockCalls().empty());
}

// The outcomes of a page that came: its status line, its body, and what fenwhit says of it.
struct PageOutcomeCase {
  const char* name;
  int code;
  const char* reason;
  std::string body;
  int status;
  std::string line;
};

void PrintTo(const PageOutcomeCase& c, std::ostream* out) { *out << c.name; }

class FenwhitPageOutcomeTest : public FenwhitProcessTest,
                               public ::testing::WithParamInterface<PageOutcomeCase> {};

TEST_P(FenwhitPageOutcomeTest, EndsWithItsStatusAndLineWithoutTouchingTheClock) {
  const PageOutcomeCase& c = GetParam();
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::WithStatus(c.code, c.reason, c.body));
  ExpectFailure(RunFenwhit(), c.status, c.line);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_TRUE(ClockCalls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Pages, FenwhitPageOutcomeTest,
    ::testing::Values(
        PageOutcomeCase{"NotFound", 404, "Not Found", "<h1>Not Found</h1>", kUnreachable,
                        "cannot reach " + kPageAddress + ": the server answered 404 Not Found"},
        PageOutcomeCase{"ServerError", 500, "Internal Server Error", "oops, no", kUnreachable,
                        "cannot reach " + kPageAddress +
                            ": the server answered 500 Internal Server Error"},
        PageOutcomeCase{"EmptyPage", 200, "OK", "", kUnreachable,
                        "cannot reach " + kPageAddress + ": the page is empty"},
        PageOutcomeCase{"NoTimeEntry", 200, "OK", "<html>Dec. 07, 12:00:00 UTC</html>",
                        kNoTimeEntry, "the page has no Universal time entry"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FenwhitProcessTest, TimeTextThatDoesNotConvertIsReportedAndFails) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body("<BR>Dec. 07, 25:61:00 Universal Time\n"));
  const ChildResult run = RunFenwhit();
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, kRuntimeError);
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(run.standardError, "fenwhit: run-time error 13: Type mismatch\n");
  EXPECT_TRUE(ClockCalls().empty());
}

TEST_F(FenwhitProcessTest, CommaBeyondPosition32767IsReportedAsAnOverflow) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(std::string(40000, '-') + ", 12:00:00 Universal"));
  const ChildResult run = RunFenwhit();
  EXPECT_EQ(run.exitStatus, kRuntimeError);
  EXPECT_EQ(run.standardError, "fenwhit: run-time error 6: Overflow\n");
  EXPECT_TRUE(ClockCalls().empty());
}

// A change the system refused claims nothing: the kernel is not told the clock is right.
TEST_F(FenwhitProcessTest, RefusedChangeFailsAndClaimsNothing) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(0)));
  ExpectFailure(RunFenwhit({}, {}, /*refuse=*/true), kRefused,
                "the system refused to change the clock (needs CAP_SYS_TIME or polkit's "
                "permission)");
  const auto calls = ClockCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].function, "clock_settime");
  EXPECT_EQ(calls[0].result, "refused");
}

// A reply with figures proves more than its whole second: 10 ms on each way at most, here on
// loopback a good deal less.
TEST_F(FenwhitProcessTest, ReplyWithFiguresMarksTheClockSynchronisedWithASmallError) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  ScriptedReply timed = ScriptedReply::Body(TimePageAhead(5));
  timed.headers.push_back("Server-Timing: hold;dur=0.010, age;dur=100.000");
  server.Serve(kPagePath, timed);
  ExpectSilentSuccess(RunFenwhit());
  ExpectSetAndMarkedSynchronised(0, kSlowExchange / 2);
}

TEST_F(FenwhitProcessTest, TwoRunsDownloadAndSetTwice) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(5)));
  ExpectSilentSuccess(RunFenwhit());
  ExpectSilentSuccess(RunFenwhit());
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(ClockCalls().size(), 4u) << "each run sets the clock and marks it synchronised";
}

TEST_F(FenwhitProcessTest, ArgumentsChangeNothing) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(5)));
  ExpectSilentSuccess(RunFenwhit({}, {"--help", "-q", "--host", "example.org", "extra"}));
  EXPECT_EQ(server.Requests().size(), 1u);
  ASSERT_EQ(ClockCalls().size(), 2u);
}

TEST_F(FenwhitProcessTest, SendsTheProgramsAgentAndAPlainGetOfTheTimePage) {
  ScriptedHttpServer server(TIDEWELL_TEST_HOST_ADDRESS, TIDEWELL_TEST_HOST_PORT);
  server.Serve(kPagePath, ScriptedReply::Body(TimePageAhead(0)));
  ExpectSilentSuccess(RunFenwhit());
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, kPagePath);
  EXPECT_EQ(requests[0].Header("User-Agent").value_or(""), "VB Project");
}

}  // namespace
}  // namespace tidewell::test
