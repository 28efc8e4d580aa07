#include <gtest/gtest.h>

#include <string>

#include "FakePlatform.h"
#include "FltkRuntime.h"
#include "Form1.h"

namespace tidewell {
namespace {

const std::string kFailed = "The attempt to synchronize your system time failed";

class Form1Test : public ::testing::Test, protected FakeProgram<Form1> {
 protected:
  void Press() {
    Deliver([&] { window.Command1_Click(); });
  }
};

struct PressCase {
  const char* name;
  std::int32_t bias;     // the zone keeps no daylight time, so this is BiasMinutes
  std::string page;      // empty: the page is served by ServeTime(timeText)
  const char* timeText;  // what the page gives as Universal time
  bool reachable;
  bool refuseClockChange;
  std::string expectedMessage;
};

class Form1PressTest : public Form1Test, public ::testing::WithParamInterface<PressCase> {};

// The fake reads the clock back in a 12-hour format, so a success message that showed the
// page's 24-hour Universal time instead of the clock's text would not match.
const PressCase kPressCases[] = {
    {"UniversalTimeTurnedIntoLocal", 300, "", " 17:00:00 ", true, false,
     "Your system time was changed to 12:00:00 PM"},
    {"EastOfGreenwich", -60, "", " 12:00:00 ", true, false,
     "Your system time was changed to 1:00:00 PM"},
    {"PreviousDayKeepsOnlyTheTimeOfDay", 60, "", " 00:30:00 ", true, false,
     "Your system time was changed to 11:30:00 PM"},
    {"NoPage", 0, "", " 12:00:00 ", false, false, kFailed},
    {"NoUniversalOnThePage", 0, "<pre>Dec. 07, 12:00:00 UTC</pre>", "", true, false, kFailed},
    {"NoCommaBeforeUniversal", 0, "<pre>12:00:00 Universal Time, Dec. 07</pre>", "", true, false,
     kFailed},
    {"ClockChangeRefused", 0, "", " 12:00:00 ", true, true, kFailed},
};

TEST_P(Form1PressTest, ShowsExactlyOneMessageWithTheOutcome) {
  const PressCase& c = GetParam();
  platform.SetZone(c.bias, 0, -60, 0, 0, 0, 0);
  platform.clock = DateTime::FromParts(2026, 12, 7, 9, 15, 0);
  if (c.page.empty()) {
    platform.ServeTime(c.timeText);
  } else {
    platform.page.body = c.page;
  }
  platform.page.reachable = c.reachable;
  platform.refuseClockChange = c.refuseClockChange;

  Press();

  ASSERT_EQ(runtime.messages.size(), 1u);
  EXPECT_EQ(runtime.messages[0], c.expectedMessage);
  EXPECT_TRUE(runtime.errorsReported.empty());
  EXPECT_EQ(runtime.endCalls, 0) << "a press never ends the program";
}

INSTANTIATE_TEST_SUITE_P(Outcomes, Form1PressTest, ::testing::ValuesIn(kPressCases),
                         [](const auto& info) { return info.param.name; });

TEST_F(Form1Test, EveryPressDownloadsAndSetsTheClockAgain) {
  platform.ServeTime(" 17:00:00 ");
  Press();
  platform.ServeTime(" 18:00:00 ");
  Press();
  EXPECT_EQ(platform.downloads, 2);
  EXPECT_EQ(platform.clockSets.size(), 2u);
  ASSERT_EQ(runtime.messages.size(), 2u);
  EXPECT_EQ(runtime.messages[0], "Your system time was changed to 5:00:00 PM");
  EXPECT_EQ(runtime.messages[1], "Your system time was changed to 6:00:00 PM");
}

TEST_F(Form1Test, FailureAfterSuccessShowsNoStaleTime) {
  platform.ServeTime(" 17:00:00 ");
  Press();
  platform.page.reachable = false;
  Press();
  ASSERT_EQ(runtime.messages.size(), 2u);
  EXPECT_EQ(runtime.messages[1], kFailed);
  EXPECT_TRUE(window.m_StrAtomicTime.empty());
}

struct ErrorCase {
  const char* name;
  std::string page;
  int expectedNumber;
};

class Form1RuntimeErrorTest : public Form1Test, public ::testing::WithParamInterface<ErrorCase> {};

const ErrorCase kErrorCases[] = {
    {"TimeTextNotATime", "<pre>Dec. 07, 5 o'clock Universal Time</pre>", kErrTypeMismatch},
    {"CommaRightBeforeUniversal", "<pre>Dec. 07,Universal Time</pre>", kErrTypeMismatch},
    {"OnlySpacesBetween", "<pre>Dec. 07,   Universal Time</pre>", kErrTypeMismatch},
    {"CommaBeyondSixteenBits", std::string(40000, 'x') + ", 12:00:00 Universal Time", kErrOverflow},
};

TEST_P(Form1RuntimeErrorTest, ReachesTheRuntimeWithNoMessageOfTheProgram) {
  platform.page.body = GetParam().page;
  Press();
  ASSERT_EQ(runtime.errorsReported.size(), 1u);
  EXPECT_EQ(runtime.errorsReported[0].Number(), GetParam().expectedNumber);
  EXPECT_TRUE(runtime.messages.empty());
  EXPECT_TRUE(platform.clockSets.empty()) << "the clock stays as it was";
}

INSTANTIATE_TEST_SUITE_P(Errors, Form1RuntimeErrorTest, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return info.param.name; });

struct ReportCase {
  RuntimeError error;
  const char* expected;
};

TEST(RuntimeErrorReportTest, GivesNumberAndDescription) {
  const ReportCase cases[] = {
      {RuntimeError::TypeMismatch(), "Run-time error '13':\n\nType mismatch"},
      {RuntimeError::Overflow(), "Run-time error '6':\n\nOverflow"},
      {RuntimeError::DateOutOfRange(),
       "Run-time error '5':\n\nInvalid procedure call or argument (date out of range)"},
  };
  for (const ReportCase& c : cases) {
    EXPECT_EQ(RuntimeErrorReport(c.error), c.expected);
  }
}

TEST(FltkRuntimeDeathTest, EndProgramEndsTheProcessSuccessfully) {
  FltkRuntime runtime(form1::ScreenLayout{96, 96});
  EXPECT_EXIT(runtime.EndProgram(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tidewell
