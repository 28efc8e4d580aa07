#include <gtest/gtest.h>

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
  EXPECT_TRUE(runtime.messages.empty());
  EXPECT_TRUE(runtime.errorsReported.empty());
}

TEST_F(ClockTest, FailureEndsTheProgramTheSameWay) {
  platform.page.reachable = false;
  Load();
  EXPECT_TRUE(platform.clockSets.empty());
  EXPECT_EQ(runtime.endCalls, 1);
  EXPECT_TRUE(runtime.messages.empty());
  EXPECT_TRUE(runtime.errorsReported.empty());
}

TEST_F(ClockTest, RefusedChangeEndsSilently) {
  platform.refuseClockChange = true;
  platform.ServeTime(" 17:00:00 ");
  Load();
  EXPECT_EQ(runtime.endCalls, 1);
  EXPECT_TRUE(runtime.messages.empty());
}

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
