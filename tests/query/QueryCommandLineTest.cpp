// tidewell-query's command line, run as a program: --help, --version and wrong command lines
// end before anything is fetched.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLineCase.h"

namespace tidewell {
namespace {

using test::CommandLineCase;

class QueryCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(QueryCommandLine, FollowsTheToolsConvention) {
  test::ExpectCommandLineOutcome(TIDEWELL_QUERY, GetParam());
}

const std::string kUsageStart = "usage: tidewell-query [--host HOST[:PORT]]\n";

INSTANTIATE_TEST_SUITE_P(
    Table, QueryCommandLine,
    ::testing::Values(
        CommandLineCase{{"--version"}, 0, "tidewell-query " TIDEWELL_VERSION_TEXT "\n", ""},
        CommandLineCase{{"--help"}, 0, kUsageStart, ""},
        CommandLineCase{{"-h"}, 0, kUsageStart, ""},
        CommandLineCase{{"--host", "[::1]:9000", "--help"}, 0, kUsageStart, ""},
        CommandLineCase{
            {"--host"}, 2, "", "tidewell-query: --host needs HOST[:PORT] (try --help)\n"},
        CommandLineCase{
            {"--nonsense"}, 2, "", "tidewell-query: unknown option '--nonsense' (try --help)\n"},
        CommandLineCase{{"-x"}, 2, "", "tidewell-query: unknown option '-x' (try --help)\n"},
        CommandLineCase{{"--version=1"},
                        2,
                        "",
                        "tidewell-query: option '--version' takes no value (try --help)\n"},
        CommandLineCase{{"--host", "a", "b"},
                        2,
                        "",
                        "tidewell-query: unexpected argument 'b' (try --help)\n"}));

}  // namespace
}  // namespace tidewell
