// Where the silent program sends its reports, run under Wine (or on Windows) by the Wine tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <ostream>

#include "SilentRuntime.h"

namespace tidewell {
namespace {

struct StationCase {
  const char* name;
  std::optional<DWORD> flags;
  ReportDestination expected;
};

void PrintTo(const StationCase& station, std::ostream* out) { *out << station.name; }

class ReportDestinationTest : public ::testing::TestWithParam<StationCase> {};

TEST_P(ReportDestinationTest, IsABoxOnlyOnAVisibleStation) {
  EXPECT_EQ(ChooseReportDestination(GetParam().flags), GetParam().expected);
}

constexpr DWORD kOtherFlag = 0x2;  // not WSF_VISIBLE (1)

INSTANTIATE_TEST_SUITE_P(
    Stations, ReportDestinationTest,
    ::testing::Values(StationCase{"visible", DWORD{WSF_VISIBLE}, ReportDestination::kMessageBox},
                      StationCase{"visible_and_more", DWORD{WSF_VISIBLE | kOtherFlag},
                                  ReportDestination::kMessageBox},
                      StationCase{"hidden", DWORD{0}, ReportDestination::kEventLog},
                      StationCase{"hidden_other_flag", DWORD{kOtherFlag},
                                  ReportDestination::kEventLog},
                      StationCase{"unreadable", std::nullopt, ReportDestination::kEventLog}),
    [](const auto& info) { return std::string(info.param.name); });

// The system answers for the station of this very process, visible or not.
TEST(WindowStationTest, TheProcessStationsFlagsCanBeRead) {
  EXPECT_TRUE(ProcessWindowStationFlags().has_value());
}

TEST(EventLogTest, AnEntryFromTheProgramsSourceIsAccepted) {
  EXPECT_TRUE(WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, EventLogRuntime::kMessageEvent,
                                 "windows_platform_tests: an entry of the event-log test"));
}

}  // namespace
}  // namespace tidewell
