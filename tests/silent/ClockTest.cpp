#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Clock.h"
#include "ConsoleRuntime.h"
#include "FakePlatform.h"

namespace tidewell {
namespace {

class ClockTest : public ::testing::Test, protected FakeProgram<Clock> {
 protected:
  void Load() {
    Deliver([&] { window.Form_Load(); });
  }
};

TEST_F(ClockTest, ReachablePageSetsTheClockAndEndsSilently) {
  platform.ServeTime(" 17:00:00 ");
  Load();
  EXPECT_EQ(platform.clockSets.size(), 1u);
  EXPECT_EQ(runtime.endCalls, 1);
  EXPECT_EQ(runtime.endStatus, 0);
  EXPECT_EQ(runtime.endLine, "");
  EXPECT_TRUE(runtime.messages.empty());
  EXPECT_TRUE(runtime.errorsReported.empty());
}

// Each way the clock can stay unset, and what fenwhit then tells its caller.
struct OutcomeCase {
  const char* name;
  FakePlatform::Page page;
  bool refuse;
  int status;
  std::string line;  // after "fenwhit: "; {address} stands for the time page's address
};

void PrintTo(const OutcomeCase& c, std::ostream* out) { *out << c.name; }

FakePlatform::Page Unreachable(const std::string& failure) {
  return {.body = {}, .readSizes = {}, .reachable = false, .failure = failure};
}

FakePlatform::Page Served(const std::string& body, const std::string& failure = {}) {
  return {.body = body, .readSizes = {}, .failure = failure};
}

std::vector<OutcomeCase> OutcomeCases() {
  const std::string timePage = FakePlatform::TimePage(" 17:00:00 ");
  return {
      {"NothingListening", Unreachable("Connection refused"), false, 69,
       "cannot reach {address}: Connection refused"},
      {"UnknownHost", Unreachable("Could not resolve host: time.example.org"), false, 69,
       "cannot reach {address}: Could not resolve host: time.example.org"},
      {"CertificateNotTrusted",
       Unreachable("SSL certificate problem: unable to get local issuer certificate"), false, 69,
       "cannot reach {address}: SSL certificate problem: unable to get local issuer certificate"},
      {"ErrorPage", Served("<h1>Not Found</h1>", "the server answered 404 Not Found"), false, 69,
       "cannot reach {address}: the server answered 404 Not Found"},
      {"EmptyPage", Served(""), false, 69, "cannot reach {address}: the page is empty"},
      {"PageCutShort", Served("<html><body>Dec. 07", "Connection reset by peer"), false, 69,
       "cannot reach {address}: Connection reset by peer"},
      {"PageWithoutTheMarker", Served("<html>Dec. 07, 17:00:00 UTC</html>"), false, 65,
       "the page has no Universal time entry"},
      {"MarkerInOtherCapitals", Served("Dec. 07, 17:00:00 universal"), false, 65,
       "the page has no Universal time entry"},
      {"NoCommaBeforeTheMarker", Served("17:00:00 Universal, Dec. 07"), false, 65,
       "the page has no Universal time entry"},
      {"RefusedChange", Served(timePage), true, 77,
       "the system refused to change the clock (needs CAP_SYS_TIME or polkit's permission)"},
  };
}

class ClockOutcomeTest : public ClockTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ClockOutcomeTest, EndsWithItsStatusAndOneLineSayingWhy) {
  platform.page = GetParam().page;
  platform.refuseClockChange = GetParam().refuse;
  Load();
  std::string expected = "fenwhit: " + GetParam().line;
  if (const auto at = expected.find("{address}"); at != std::string::npos) {
    expected.replace(at, 9, TimePageAddress());
  }
  EXPECT_EQ(runtime.endCalls, 1);
  EXPECT_EQ(runtime.endStatus, GetParam().status);
  EXPECT_EQ(runtime.endLine, expected);
  EXPECT_TRUE(runtime.messages.empty()) << "a silent program shows no message";
  EXPECT_TRUE(runtime.errorsReported.empty());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ClockOutcomeTest, ::testing::ValuesIn(OutcomeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The run-time error keeps the report and status it has always had: the runtime's, not an
// outcome's.
TEST_F(ClockTest, RunTimeErrorIsLeftToTheRuntimeToReport) {
  platform.ServeTime(" 5 o'clock ");
  Load();
  ASSERT_EQ(runtime.errorsReported.size(), 1u);
  EXPECT_EQ(runtime.errorsReported[0].Number(), kErrTypeMismatch);
  EXPECT_EQ(runtime.endCalls, 0) << "the error report ends the program, not the handler";
  EXPECT_TRUE(platform.clockSets.empty());
  EXPECT_TRUE(runtime.messages.empty());
}

TEST_F(ClockTest, EachLoadDownloadsAgain) {
  platform.ServeTime(" 17:00:00 ");
  Load();
  Clock second(platform, runtime);
  DeliverEvent(runtime, [&] { second.Form_Load(); });
  EXPECT_EQ(platform.downloads, 2);
  EXPECT_EQ(platform.clockSets.size(), 2u);
}

TEST(ConsoleRuntimeTest, ErrorReportIsOneLineWithNumberAndDescription) {
  EXPECT_EQ(ConsoleRuntime::ErrorReport("fenwhit", RuntimeError::TypeMismatch()),
            "fenwhit: run-time error 13: Type mismatch");
  EXPECT_EQ(ConsoleRuntime::ErrorReport("fenwhit", RuntimeError::Overflow()),
            "fenwhit: run-time error 6: Overflow");
}

}  // namespace
}  // namespace tidewell
