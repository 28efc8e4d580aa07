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

TEST(Options, DefaultsAreTheBuiltInTimeHost) {
  // A build for another time host listens there; how TIDEWELL_TIME_HOST becomes an address
  // and a port is checked by timepage.TimeHostSplit.
  if (std::string_view{TIDEWELL_TIME_HOST} != "127.0.0.1:8037") {
    GTEST_SKIP() << "built for " << TIDEWELL_TIME_HOST;
  }
  const ParsedOptions parsed = Parse({});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->bindAddress, "127.0.0.1");
  EXPECT_EQ(parsed.options->port, 8037);
  EXPECT_EQ(parsed.options->mode, ServeMode::kAligned);
  EXPECT_EQ(parsed.options->offset, 0ns);
  EXPECT_FALSE(parsed.options->log);
  EXPECT_FALSE(parsed.options->help);
  EXPECT_FALSE(parsed.options->version);
  EXPECT_EQ(parsed.options->headerTimeout, 10s);
  EXPECT_TRUE(parsed.options->timing);
  EXPECT_FALSE(parsed.options->requireSynchronised);
}

TEST(Options, EveryOptionIsRead) {
  const ParsedOptions parsed =
      Parse({"--bind", "::1", "--port=0", "--offset", "-37.25", "--immediate", "--log",
             "--header-timeout-ms", "250", "--no-timing", "--require"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->bindAddress, "::1");
  EXPECT_EQ(parsed.options->port, 0);
  EXPECT_EQ(parsed.options->offset, -37'250ms);
  EXPECT_EQ(parsed.options->mode, ServeMode::kImmediate);
  EXPECT_TRUE(parsed.options->log);
  EXPECT_EQ(parsed.options->headerTimeout, 250ms);
  EXPECT_FALSE(parsed.options->timing);
  EXPECT_TRUE(parsed.options->requireSynchronised);
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

struct FlagCase {
  std::vector<std::string_view> args;
  bool help;
  bool version;
};

class InformationFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(InformationFlags, AreRead) {
  const ParsedOptions parsed = ParseOptions(GetParam().args);
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->help, GetParam().help);
  EXPECT_EQ(parsed.options->version, GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(Table, InformationFlags,
                         ::testing::Values(FlagCase{{"--help"}, true, false},
                                           FlagCase{{"-h"}, true, false},
                                           FlagCase{{"--version"}, false, true},
                                           FlagCase{{"--vers"}, false, true},
                                           FlagCase{{"--log", "--version", "-h"}, true, true},
                                           FlagCase{{"--log"}, false, false}));

struct BadCase {
  std::vector<std::string_view> args;
  std::string_view error;
};

class BadCommandLine : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadCommandLine, IsRefusedWithOneLineSayingWhy) {
  const ParsedOptions parsed = ParseOptions(GetParam().args);
  EXPECT_FALSE(parsed.options);
  EXPECT_EQ(parsed.error, GetParam().error);
}

constexpr std::string_view kPortNeeds = "--port needs a number from 0 to 65535";

INSTANTIATE_TEST_SUITE_P(
    Table, BadCommandLine,
    ::testing::Values(
        BadCase{{"--frobnicate"}, "unknown option '--frobnicate'"},
        BadCase{{"-x"}, "unknown option '-x'"}, BadCase{{"--log", "-hx"}, "unknown option '-x'"},
        // Ambiguous: --header-timeout-ms and --help.
        BadCase{{"--he"}, "unknown option '--he'"},
        BadCase{{"extra"}, "unexpected argument 'extra'"},
        BadCase{{"--log", "--", "--port"}, "unexpected argument '--port'"},
        BadCase{{"--port"}, kPortNeeds}, BadCase{{"--port", "65536"}, kPortNeeds},
        BadCase{{"--port", "-1"}, kPortNeeds}, BadCase{{"--port=80x"}, kPortNeeds},
        BadCase{{"--port="}, kPortNeeds},
        BadCase{{"--bind", "localhost"}, "--bind needs an IPv4 or IPv6 address"},
        BadCase{{"--bind"}, "--bind needs an IPv4 or IPv6 address"},
        BadCase{{"--offset", "soon"}, "--offset needs a number of seconds such as 37.25 or -2"},
        BadCase{{"--fixed", "2026-02-30 00:00:00"},
                "--fixed needs a UTC time written 'YYYY-MM-DD HH:MM:SS'"},
        BadCase{{"--log=yes"}, "option '--log' takes no value"},
        BadCase{{"--require-synchronised=1"}, "option '--require-synchronised' takes no value"},
        BadCase{{"--immediate=1"}, "option '--immediate' takes no value"},
        BadCase{{"--help=me"}, "option '--help' takes no value"},
        BadCase{{"--version=2"}, "option '--version' takes no value"},
        BadCase{{"--header-timeout-ms", "0"},
                "--header-timeout-ms needs a number from 1 to 3600000"},
        BadCase{{"--offset", "1", "--fixed", "2026-01-01 00:00:00"},
                "--offset and --fixed cannot be used together"}));

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

struct PortCase {
  std::string_view text;
  std::optional<std::uint16_t> expected;
};

class PortText : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortText, BecomesAPort) {
  EXPECT_EQ(ParsePort(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, PortText,
                         ::testing::Values(PortCase{"0", 0}, PortCase{"65535", 65535},
                                           PortCase{"65536", std::nullopt},
                                           PortCase{"", std::nullopt},
                                           PortCase{"+80", std::nullopt}));

struct AddressCase {
  std::string_view text;
  std::optional<std::string> expected;
};

class AddressText : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressText, BecomesALiteralWithoutBrackets) {
  EXPECT_EQ(ParseBindAddress(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, AddressText,
                         ::testing::Values(AddressCase{"127.0.0.1", "127.0.0.1"},
                                           AddressCase{"[::1]", "::1"}, AddressCase{"::1", "::1"},
                                           AddressCase{"0.0.0.0", "0.0.0.0"},
                                           AddressCase{"127.0.0", std::nullopt},
                                           AddressCase{"[127.0.0.1", std::nullopt},
                                           AddressCase{"example.com", std::nullopt}));

TEST(Options, UsageTellsEveryOptionAndTheAlignmentRule) {
  const std::string usage = UsageText("tidewell-timepage");
  for (std::string_view option :
       {"--bind", "--port", "--offset", "--fixed", "--immediate", "--no-timing", "--log", "--help",
        "--version", "--require-synchronised", "Retry-After: 30", "ceil(t - 2 ms)",
        "Server-Timing: hold;dur=H, age;dur=A", "Prefer: no-hold", "Preference-Applied: no-hold",
        "listening on"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(usage.find("--header-timeout-ms"), std::string::npos);
}

}  // namespace
}  // namespace tidewell::timepage
