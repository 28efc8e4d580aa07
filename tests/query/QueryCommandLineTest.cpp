// tidewell-query's command line, run as a program: --help, --version and wrong command lines
// end before anything is fetched.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace tidewell {
namespace {

struct CommandLineCase {
  std::vector<std::string> args;
  int status;
  std::string outStart;  // what standard output starts with
  std::string err;       // all of standard error
};

class QueryCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(QueryCommandLine, FollowsTheToolsConvention) {
  const CommandLineCase& c = GetParam();
  std::vector<std::string> argv{TIDEWELL_QUERY};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const testing::ChildResult run = testing::RunChild(argv, {}, std::chrono::seconds(10));
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, c.status);
  if (c.outStart.empty()) {
    EXPECT_EQ(run.standardOutput, "");
  } else {
    EXPECT_TRUE(run.standardOutput.starts_with(c.outStart)) << run.standardOutput;
  }
  EXPECT_EQ(run.standardError, c.err);
}

const std::string kUsageStart = "usage: tidewell-query [--host HOST[:PORT]]\n";

INSTANTIATE_TEST_SUITE_P(
    Table, QueryCommandLine,
    ::testing::Values(
        CommandLineCase{{"--version"}, 0, "tidewell-query 1.00\n", ""},
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
