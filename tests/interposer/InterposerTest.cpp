// Runs clock_caller through with-clock-interposer and checks both sides of every captured call:
// what the caller got back and what the log says, and that the machine's clock stayed put.

#include <sys/stat.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ScratchDirectory.h"
#include "gtest/gtest.h"

namespace tidewell {
namespace {

const std::string kLibrary = TIDEWELL_INTERPOSER_LIBRARY;
const std::string kWrapper = TIDEWELL_INTERPOSER_WRAPPER;
const std::string kCaller = TIDEWELL_CLOCK_CALLER;

constexpr int kSetupFailure = 125;
constexpr auto kRunLimit = std::chrono::seconds(30);

using test::ChildResult;

// Runs a program directly (no shell) with the given environment changes and standard input.
ChildResult RunProgram(const std::vector<std::string>& argv,
                       const test::EnvironmentChanges& environment = {},
                       const std::string& input = "") {
  return test::RunChild(argv, environment, kRunLimit, input);
}

struct Entry {
  std::string function;
  std::map<std::string, std::string> fields;
};

Entry Parse(const std::string& line) {
  std::istringstream words(line);
  Entry entry;
  words >> entry.function;
  for (std::string word; words >> word;) {
    std::size_t equals = word.find('=');
    if (equals == std::string::npos) {
      ADD_FAILURE() << "field without '=' in log line: " << line;
      continue;
    }
    entry.fields[word.substr(0, equals)] = word.substr(equals + 1);
  }
  return entry;
}

timespec Now(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return now;
}

double Seconds(const timespec& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

class InterposerTest : public ::testing::Test {
 protected:
  std::vector<std::string> WrapperArguments(bool refuse) const {
    std::vector<std::string> argv = {kWrapper, "--lib", kLibrary, "--log", log_};
    if (refuse) argv.push_back("--refuse");
    argv.push_back("--");
    return argv;
  }

  // Runs clock_caller with the given arguments under the interposer; `probe` asks it to find out
  // whether a system-call filter lets each captured call through.
  ChildResult Call(const std::vector<std::string>& arguments, bool refuse = false,
                   bool probe = false) const {
    std::vector<std::string> argv = WrapperArguments(refuse);
    argv.push_back(kCaller);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildResult result =
        RunProgram(argv, {"TIDEWELL_CLOCK_REFUSE",
                          probe ? "TIDEWELL_CLOCK_PROBE_FILTER=1" : "TIDEWELL_CLOCK_PROBE_FILTER"});
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    return result;
  }

  std::vector<Entry> LogEntries() const {
    std::ifstream file(log_);
    std::vector<Entry> entries;
    for (std::string line; std::getline(file, line);) entries.push_back(Parse(line));
    return entries;
  }

  // The log must hold exactly one line, which is returned.
  Entry OnlyEntry() const {
    std::vector<Entry> entries = LogEntries();
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? Entry{} : entries.front();
  }

  // The wrapper runs the caller as an unprivileged user when the tests run as root; that user
  // reaches the log in here.
  test::ScratchDirectory directory_{"tidewell-interposer"};
  std::string log_ = directory_.Path("clock.log");
};

// One captured call per function, with the log fields it must produce.
struct CaptureCase {
  std::string label;
  std::vector<std::string> arguments;
  std::string function;
  std::map<std::string, std::string> fields;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const CaptureCase& capture, std::ostream* out) { *out << capture.label; }

std::vector<CaptureCase> CaptureCases() {
  return {
      {"clock_settime",
       {"clock_settime", "0", "1765106433", "123456789"},
       "clock_settime",
       {{"clock", "0"}, {"requested", "1765106433.123456789"}}},
      {"settimeofday",
       {"settimeofday", "1765106433", "250000"},
       "settimeofday",
       {{"clock", "0"}, {"requested", "1765106433.250000000"}, {"tz", "none"}}},
      {"settimezone",
       {"settimezone", "-60", "0"},
       "settimeofday",
       {{"requested", "none"}, {"tz", "-60,0"}}},
      {"adjtime",
       {"adjtime", "-1", "750000"},
       "adjtime",
       {{"clock", "0"}, {"delta", "-0.250000000"}}},
      // ADJ_SETOFFSET | ADJ_NANO: a step of an hour and five nanoseconds.
      {"adjtimex",
       {"adjtimex", "0x2100", "0", "0", "3600", "5"},
       "adjtimex",
       {{"clock", "0"}, {"modes", "0x2100"}, {"setoffset", "3600.000000005"}}},
      // ADJ_FREQUENCY.
      {"ntp_adjtime",
       {"ntp_adjtime", "0x0002", "0", "65536", "0", "0"},
       "ntp_adjtime",
       {{"modes", "0x0002"}, {"freq", "65536"}, {"setoffset", "none"}}},
      // ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR, as after setting the clock: the caller's status
      // bits (all set here) and both bounds (0 here) are logged.
      {"adjtimex_status",
       {"adjtimex", "0x001c", "0", "0", "0", "0"},
       "adjtimex",
       {{"modes", "0x001c"}, {"status", "0xffffffff"}, {"maxerror", "0"}, {"esterror", "0"}}},
      {"ntp_adjtime_without_status",
       {"ntp_adjtime", "0x0002", "0", "65536", "0", "0"},
       "ntp_adjtime",
       {{"status", "none"}, {"maxerror", "none"}, {"esterror", "none"}}},
      // ADJ_OFFSET on CLOCK_TAI, to see the clock id come through.
      {"clock_adjtime",
       {"clock_adjtime", "11", "0x0001", "500", "0", "0", "0"},
       "clock_adjtime",
       {{"clock", "11"}, {"modes", "0x0001"}, {"offset", "500"}}},
  };
}

class CaptureTest : public InterposerTest, public ::testing::WithParamInterface<CaptureCase> {
 protected:
  void ExpectLogged(const std::string& result) {
    Entry entry = OnlyEntry();
    EXPECT_EQ(entry.function, GetParam().function);
    for (const auto& [key, value] : GetParam().fields) {
      EXPECT_EQ(entry.fields[key], value) << "field " << key;
    }
    EXPECT_EQ(entry.fields["result"], result);
    EXPECT_EQ(entry.fields.count("pid"), 1u);
    EXPECT_EQ(entry.fields.count("filter"), 0u) << "probed without being asked";
  }
};

TEST_P(CaptureTest, SucceedsAndLogsTheRequest) {
  ChildResult result = Call(GetParam().arguments);
  EXPECT_EQ(result.standardOutput.rfind("rc=0 errno=0", 0), 0u) << result.standardOutput;
  ExpectLogged("ok");
}

TEST_P(CaptureTest, RefusesWithEpermAndStillLogs) {
  ChildResult result = Call(GetParam().arguments, /*refuse=*/true);
  EXPECT_EQ(result.standardOutput.rfind("rc=-1 errno=" + std::to_string(EPERM), 0), 0u)
      << result.standardOutput;
  ExpectLogged("refused");
}

// No filter here, then the caller's own filter that refuses every clock call, as a unit's
// SystemCallFilter= without @clock does: the log tells the two apart, and the call itself is
// still captured either way.
TEST_P(CaptureTest, ProbesTheSystemCallFilterWhenAsked) {
  for (bool denied : {false, true}) {
    std::vector<std::string> arguments = GetParam().arguments;
    if (denied) arguments.insert(arguments.begin(), "--deny-clock-calls");
    std::filesystem::remove(log_);
    ChildResult result = Call(arguments, /*refuse=*/false, /*probe=*/true);
    EXPECT_EQ(result.standardOutput.rfind("rc=0 errno=0", 0), 0u) << result.standardOutput;
    Entry entry = OnlyEntry();
    EXPECT_EQ(entry.fields["filter"], denied ? "closed" : "open") << "denied: " << denied;
    EXPECT_EQ(entry.fields["result"], "ok");
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFunction, CaptureTest, ::testing::ValuesIn(CaptureCases()),
                         [](const auto& info) { return info.param.label; });

TEST_F(InterposerTest, LogsTheRealTimeOfTheCall) {
  timespec before = Now(CLOCK_REALTIME);
  Call({"clock_settime", "0", "1765106433", "0"});
  timespec after = Now(CLOCK_REALTIME);
  Entry entry = OnlyEntry();
  double real = std::strtod(entry.fields["real"].c_str(), nullptr);
  EXPECT_GE(real, Seconds(before) - 0.001);
  EXPECT_LE(real, Seconds(after) + 0.001);
}

TEST_F(InterposerTest, ClockStaysPutWhenAnHourAheadIsAsked) {
  timespec real_before = Now(CLOCK_REALTIME);
  timespec steady_before = Now(CLOCK_MONOTONIC);
  std::string ahead = std::to_string(real_before.tv_sec + 3600);
  Call({"clock_settime", "0", ahead, "0"});
  Call({"settimeofday", ahead, "0"});
  Call({"adjtimex", "0x0100", "0", "0", "3600", "0"});
  double real_elapsed = Seconds(Now(CLOCK_REALTIME)) - Seconds(real_before);
  double steady_elapsed = Seconds(Now(CLOCK_MONOTONIC)) - Seconds(steady_before);
  // Any jump shows as a difference between the two clocks; an hour is far beyond the slack.
  EXPECT_NEAR(real_elapsed, steady_elapsed, 5.0);
  EXPECT_EQ(LogEntries().size(), 3u);
}

TEST_F(InterposerTest, RejectsWhatTheKernelWouldRejectAsInvalid) {
  std::string einval = "rc=-1 errno=" + std::to_string(EINVAL);
  EXPECT_EQ(
      Call({"clock_settime", "0", "1765106433", "1000000000"}).standardOutput.rfind(einval, 0), 0u);
  EXPECT_EQ(Call({"clock_settime", "1", "1765106433", "0"}).standardOutput.rfind(einval, 0), 0u);
  EXPECT_EQ(Call({"settimeofday", "-5", "0"}).standardOutput.rfind(einval, 0), 0u);
  EXPECT_EQ(Call({"adjtime", "3000", "0"}).standardOutput.rfind(einval, 0), 0u);
  std::vector<Entry> entries = LogEntries();
  ASSERT_EQ(entries.size(), 4u);
  for (Entry& entry : entries) EXPECT_EQ(entry.fields["result"], "invalid");
  EXPECT_EQ(entries[0].fields["requested"], "1765106434.000000000");
  EXPECT_EQ(entries[1].fields["clock"], "1");
}

TEST_F(InterposerTest, AdjtimeReportsNothingOutstanding) {
  ChildResult result = Call({"adjtime", "0", "500000"});
  EXPECT_EQ(result.standardOutput, "rc=0 errno=0 old=0.000000\n");
}

TEST_F(InterposerTest, CapturedTimexLeavesTheStructureAlone) {
  ChildResult result = Call({"adjtimex", "0x0001", "100", "0", "0", "0"});
  EXPECT_EQ(result.standardOutput,
            "rc=" + std::to_string(TIME_OK) + " errno=0 tick=-1 status=-1\n");
}

// Reads with modes == 0 change nothing, so they reach the kernel and give its real answer.
TEST_F(InterposerTest, ReadOnlyTimexCallsPassThroughUnlogged) {
  timex own{};
  int own_state = adjtimex(&own);
  ASSERT_GE(own_state, 0) << std::strerror(errno);
  ASSERT_GT(own.tick, 0);
  std::string expected = "rc=" + std::to_string(own_state) +
                         " errno=0 tick=" + std::to_string(own.tick) +
                         " status=" + std::to_string(own.status) + "\n";
  for (bool refuse : {false, true}) {
    EXPECT_EQ(Call({"adjtimex", "0", "0", "0", "0", "0"}, refuse).standardOutput, expected);
    EXPECT_EQ(Call({"ntp_adjtime", "0", "0", "0", "0", "0"}, refuse).standardOutput, expected);
    EXPECT_EQ(Call({"clock_adjtime", "0", "0", "0", "0", "0", "0"}, refuse).standardOutput,
              expected);
  }
  EXPECT_TRUE(LogEntries().empty());
}

// A test may show a program other status bits than the kernel's, to see which it keeps.
TEST_F(InterposerTest, ReadsShowTheStatusATestAsksFor) {
  timex own{};
  int own_state = adjtimex(&own);
  ASSERT_GE(own_state, 0) << std::strerror(errno);
  const std::string expected = "rc=" + std::to_string(own_state) +
                               " errno=0 tick=" + std::to_string(own.tick) + " status=81\n";
  for (const char* function : {"adjtimex", "ntp_adjtime"}) {
    std::vector<std::string> argv = WrapperArguments(false);
    argv.insert(argv.end(), {kCaller, function, "0", "0", "0", "0", "0"});
    const ChildResult result =
        RunProgram(argv, {"TIDEWELL_CLOCK_REFUSE", "TIDEWELL_CLOCK_READ_STATUS=0x51"});
    EXPECT_EQ(result.standardOutput, expected) << function;
  }
  EXPECT_TRUE(LogEntries().empty());
}

TEST_F(InterposerTest, LinesFromSeveralProcessesAccumulate) {
  Call({"clock_settime", "0", "1765106433", "0"});
  std::vector<std::string> argv = WrapperArguments(false);
  std::string twice = kCaller + " adjtime 1 0 && " + kCaller + " adjtime 2 0";
  argv.insert(argv.end(), {"/bin/sh", "-c", twice});
  ASSERT_EQ(RunProgram(argv, {}).exitStatus, 0);
  std::vector<Entry> entries = LogEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].function, "clock_settime");
  EXPECT_EQ(entries[1].fields["delta"], "1.000000000");
  EXPECT_EQ(entries[2].fields["delta"], "2.000000000");
  EXPECT_NE(entries[1].fields["pid"], entries[2].fields["pid"]);
}

TEST_F(InterposerTest, WrapperDropsRootPrivileges) {
  if (geteuid() != 0) GTEST_SKIP() << "only root has privileges to drop";
  ChildResult result = Call({"identity"});
  EXPECT_EQ(result.standardOutput, "uid=65534 euid=65534 capeff=0000000000000000\n");
}

TEST_F(InterposerTest, WrapperPassesStreamsAndExitStatusThrough) {
  std::vector<std::string> argv = WrapperArguments(false);
  argv.insert(argv.end(), {"/bin/sh", "-c", "cat; echo oops >&2; exit 7"});
  ChildResult result = RunProgram(argv, {}, "from stdin\n");
  EXPECT_EQ(result.exitStatus, 7);
  EXPECT_EQ(result.standardOutput, "from stdin\n");
  EXPECT_EQ(result.standardError, "oops\n");
}

TEST_F(InterposerTest, WrapperKeepsExistingPreloadAndSanitizerOptions) {
  std::vector<std::string> argv = WrapperArguments(true);
  argv.insert(argv.end(), {"/usr/bin/env"});
  ChildResult result = RunProgram(argv, {"LD_PRELOAD=" + kLibrary, "ASAN_OPTIONS=detect_leaks=0"});
  ASSERT_EQ(result.exitStatus, 0) << result.standardError;
  std::string library = std::filesystem::canonical(kLibrary);
  std::map<std::string, std::string> seen;
  std::istringstream lines(result.standardOutput);
  for (std::string line; std::getline(lines, line);) {
    seen[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  }
  EXPECT_EQ(seen["LD_PRELOAD"], library + ":" + kLibrary);
  EXPECT_EQ(seen["ASAN_OPTIONS"], "detect_leaks=0:verify_asan_link_order=0");
  EXPECT_EQ(seen["TIDEWELL_CLOCK_LOG"], std::filesystem::canonical(log_).string());
  EXPECT_EQ(seen["TIDEWELL_CLOCK_REFUSE"], "1");
}

TEST_F(InterposerTest, WrapperStopsWithoutTheLibrary) {
  std::vector<std::string> argv = {kWrapper, "--lib", directory_.Path("missing.so"), "--log", log_};
  argv.insert(argv.end(), {"--", kCaller, "clock_settime", "0", "1765106433", "0"});
  ChildResult result = RunProgram(argv, {});
  EXPECT_EQ(result.exitStatus, kSetupFailure);
  EXPECT_TRUE(result.standardOutput.empty()) << "the command ran: " << result.standardOutput;
  EXPECT_NE(result.standardError.find("missing.so"), std::string::npos) << result.standardError;
}

// Otherwise the command would run, log nothing, and a test would blame the program.
TEST_F(InterposerTest, WrapperStopsWhenTheLogIsOutOfTheUsersReach) {
  if (geteuid() != 0) GTEST_SKIP() << "only root drops to a user who could be shut out";
  std::string hidden = directory_.Path("hidden");
  ASSERT_EQ(mkdir(hidden.c_str(), 0700), 0);
  std::vector<std::string> argv = {kWrapper, "--lib", kLibrary, "--log", hidden + "/clock.log"};
  argv.insert(argv.end(), {"--", kCaller, "identity"});
  ChildResult result = RunProgram(argv, {});
  unlink((hidden + "/clock.log").c_str());
  rmdir(hidden.c_str());
  EXPECT_EQ(result.exitStatus, kSetupFailure);
  EXPECT_TRUE(result.standardOutput.empty()) << "the command ran: " << result.standardOutput;
}

TEST_F(InterposerTest, WrapperRejectsAnIncompleteCommandLine) {
  ChildResult result = RunProgram({kWrapper, "--lib", kLibrary, "--", kCaller, "identity"}, {});
  EXPECT_EQ(result.exitStatus, kSetupFailure);
  EXPECT_TRUE(result.standardOutput.empty()) << "the command ran: " << result.standardOutput;
}

}  // namespace
}  // namespace tidewell
