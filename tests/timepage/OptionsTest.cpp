// The command line of tidewell-timepage.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Options.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

ParsedOptions Parse(std::vector<std::string_view> args) { return ParseOptions(args); }

TEST(Options, DefaultsComeFromTheConfiguredTimeHost) {
  const ParsedOptions parsed = Parse({});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->bindAddress, TIDEWELL_TIMEPAGE_DEFAULT_BIND);
  EXPECT_EQ(parsed.options->port, TIDEWELL_TIMEPAGE_DEFAULT_PORT);
  EXPECT_EQ(parsed.options->mode, ServeMode::kAligned);
  EXPECT_EQ(parsed.options->offset, 0ns);
  EXPECT_FALSE(parsed.options->log);
  EXPECT_FALSE(parsed.options->help);
  EXPECT_EQ(parsed.options->headerTimeout, 10s);
}

TEST(Options, EveryOptionIsRead) {
  const ParsedOptions parsed = Parse({"--bind", "::1", "--port=0", "--offset", "-37.25",
                                      "--immediate", "--log", "--header-timeout-ms", "250"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->bindAddress, "::1");
  EXPECT_EQ(parsed.options->port, 0);
  EXPECT_EQ(parsed.options->offset, -37'250ms);
  EXPECT_EQ(parsed.options->mode, ServeMode::kImmediate);
  EXPECT_TRUE(parsed.options->log);
  EXPECT_EQ(parsed.options->headerTimeout, 250ms);
}

TEST(Options, FixedTimeAnswersAtOnceWhateverElseIsSaid) {
  for (const auto& args : std::vector<std::vector<std::string_view>>{
           {"--fixed", "2026-03-08 07:00:00"},
           {"--immediate", "--fixed", "2026-03-08 07:00:00"},
           {"--fixed", "2026-03-08 07:00:00", "--immediate"}}) {
    const ParsedOptions parsed = Parse(args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->mode, ServeMode::kFixed);
    EXPECT_EQ(parsed.options->fixedTime, sys_days{2026y / March / 8} + 7h);
  }
}

TEST(Options, HelpIsAskedFor) {
  for (std::string_view flag : {"--help", "-h"}) {
    const ParsedOptions parsed = Parse({flag});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_TRUE(parsed.options->help);
  }
}

class BadCommandLine : public ::testing::TestWithParam<std::vector<std::string_view>> {};

TEST_P(BadCommandLine, IsRefusedWithAReason) {
  const ParsedOptions parsed = ParseOptions(GetParam());
  EXPECT_FALSE(parsed.options);
  EXPECT_FALSE(parsed.error.empty());
  EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadCommandLine,
    ::testing::Values(
        std::vector<std::string_view>{"--frobnicate"}, std::vector<std::string_view>{"extra"},
        std::vector<std::string_view>{"--port"}, std::vector<std::string_view>{"--port", "65536"},
        std::vector<std::string_view>{"--port", "-1"},
        std::vector<std::string_view>{"--port", "80x"},
        std::vector<std::string_view>{"--bind", "localhost"},
        std::vector<std::string_view>{"--bind"}, std::vector<std::string_view>{"--offset", "soon"},
        std::vector<std::string_view>{"--fixed", "2026-02-30 00:00:00"},
        std::vector<std::string_view>{"--log=yes"}, std::vector<std::string_view>{"--immediate=1"},
        std::vector<std::string_view>{"--header-timeout-ms", "0"},
        std::vector<std::string_view>{"--offset", "1", "--fixed", "2026-01-01 00:00:00"}));

struct OffsetCase {
  std::string_view text;
  std::optional<nanoseconds> expected;
};

class OffsetText : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(OffsetText, BecomesNanoseconds) {
  EXPECT_EQ(ParseOffset(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, OffsetText,
    ::testing::Values(OffsetCase{"37.25", 37'250'000'000ns}, OffsetCase{"-37.25", -37'250ms},
                      OffsetCase{"+3", 3s}, OffsetCase{"0", 0ns}, OffsetCase{"-0.001", -1ms},
                      OffsetCase{".5", 500ms}, OffsetCase{"86400", 86400s},
                      OffsetCase{"", std::nullopt}, OffsetCase{"-", std::nullopt},
                      OffsetCase{"1e3", std::nullopt}, OffsetCase{"nan", std::nullopt},
                      OffsetCase{"inf", std::nullopt}, OffsetCase{"--1", std::nullopt},
                      OffsetCase{"1.5s", std::nullopt}, OffsetCase{"99999999999", std::nullopt}));

struct FixedCase {
  std::string_view text;
  std::optional<Second> expected;
};

class FixedText : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedText, BecomesASecond) {
  EXPECT_EQ(ParseFixedTime(GetParam().text), GetParam().expected) << GetParam().text;
}

const Second kFixed = sys_days{2026y / December / 7} + 11h + 20min + 33s;

INSTANTIATE_TEST_SUITE_P(Table, FixedText,
                         ::testing::Values(FixedCase{"2026-12-07 11:20:33", kFixed},
                                           FixedCase{"2026-12-07T11:20:33Z", kFixed},
                                           FixedCase{"2028-02-29 23:59:59",
                                                     sys_days{2028y / February / 29} + 86399s},
                                           FixedCase{"2027-02-29 00:00:00", std::nullopt},
                                           FixedCase{"2026-12-07 24:00:00", std::nullopt},
                                           FixedCase{"2026-12-07 11:60:00", std::nullopt},
                                           FixedCase{"2026-12-07 11:20:60", std::nullopt},
                                           FixedCase{"2026-13-07 11:20:33", std::nullopt},
                                           FixedCase{"2026-12-07 11:20", std::nullopt},
                                           FixedCase{"2026-12-07  11:20:33", std::nullopt},
                                           FixedCase{"2026/12/07 11:20:33", std::nullopt},
                                           FixedCase{"2026-12-07 1a:20:33", std::nullopt}));

TEST(Options, PortsAndAddresses) {
  EXPECT_EQ(ParsePort("0"), std::optional<std::uint16_t>{0});
  EXPECT_EQ(ParsePort("65535"), std::optional<std::uint16_t>{65535});
  EXPECT_FALSE(ParsePort("65536"));
  EXPECT_FALSE(ParsePort(""));
  EXPECT_EQ(ParseBindAddress("127.0.0.1"), std::optional<std::string>{"127.0.0.1"});
  EXPECT_EQ(ParseBindAddress("[::1]"), std::optional<std::string>{"::1"});
  EXPECT_EQ(ParseBindAddress("0.0.0.0"), std::optional<std::string>{"0.0.0.0"});
  EXPECT_FALSE(ParseBindAddress("127.0.0"));
  EXPECT_FALSE(ParseBindAddress("[127.0.0.1"));
  EXPECT_FALSE(ParseBindAddress("example.com"));
}

TEST(Options, UsageTellsEveryOptionAndTheAlignmentRule) {
  const std::string usage = UsageText("tidewell-timepage");
  for (std::string_view option : {"--bind", "--port", "--offset", "--fixed", "--immediate", "--log",
                                  "--help", "ceil(t - 2 ms)", "listening on"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(usage.find("--header-timeout-ms"), std::string::npos);
}

}  // namespace
}  // namespace tidewell::timepage
