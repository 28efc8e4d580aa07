// The real tidewell-timepage binary on a free loopback port: what it serves, when it serves
// it, and how it treats clients that misbehave.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CommandLineCase.h"
#include "ServerHarness.h"

namespace timepage_test {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

std::string Describe(Instant t) {
  const auto since = t.time_since_epoch();
  return std::to_string(duration_cast<microseconds>(since).count() % 100'000'000) + "us";
}

TEST(TimePageServer, PrintsWhereItListensAndStopsOnSignals) {
  for (const int signal : {SIGTERM, SIGINT}) {
    ServerProcess server({"--port", "0"});
    ASSERT_TRUE(server.started()) << server.listeningLine();
    EXPECT_EQ(server.listeningLine(), "listening on 127.0.0.1:" + std::to_string(server.port()));
    const ChildResult exit = server.Stop(signal);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_EQ(exit.exitStatus, 0);
    EXPECT_EQ(server.Stderr(), "");
  }
}

TEST(TimePageServer, ListensOnIpv6Loopback) {
  const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool haveV6 =
      probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (probe >= 0) ::close(probe);
  if (!haveV6) GTEST_SKIP() << "no IPv6 loopback here";

  ServerProcess server({"--bind", "::1", "--port", "0", "--immediate"});
  ASSERT_TRUE(server.started()) << server.listeningLine();
  EXPECT_EQ(server.listeningLine(), "listening on [::1]:" + std::to_string(server.port()));
  const HttpReply reply = Fetch(server.port(), GetRequest(), /*v6=*/true);
  EXPECT_EQ(reply.status, 200);
}

TEST(TimePageServer, ImmediateServesTheCurrentSecondAtOnce) {
  ServerProcess server({"--port", "0", "--immediate"});
  ASSERT_TRUE(server.started());
  for (const auto phase : {300ms, 700ms}) {
    const Instant sent = SleepUntilPhase(phase);
    const HttpReply reply = Fetch(server.port(), GetRequest());
    const Second served = ServedSecond(reply);
    EXPECT_LT(reply.receivedAt - sent, kPromptReply) << "held although --immediate";
    EXPECT_EQ(served, floor<seconds>(sent));
    EXPECT_GE(reply.receivedAt, Instant{served});
    EXPECT_LT(reply.receivedAt - Instant{served}, nanoseconds{1s});
  }
}

// Sends one request at `phase` past a whole second of this machine's clock and checks that
// the page left on its second of the served clock (this clock plus `offset`).
struct AlignedResult {
  Instant sent;
  Instant received;
  Second served;
};

AlignedResult FetchAlignedAt(std::uint16_t port, nanoseconds phase, nanoseconds offset) {
  // Connected beforehand, so that the moment of sending is the moment of the request.
  const int fd = ConnectLoopback(port);
  EXPECT_GE(fd, 0);
  const Instant sent = SleepUntilPhase(phase);
  const HttpReply reply = SendAll(fd, GetRequest()) ? ReadReply(fd) : HttpReply{};
  ::close(fd);
  const Second served = ServedSecond(reply);
  const Instant receivedServed = reply.receivedAt + offset;
  EXPECT_GE(receivedServed, Instant{served}) << "arrived before its second: sent " << Describe(sent)
                                             << ", arrived " << Describe(reply.receivedAt);
  EXPECT_LT(receivedServed - Instant{served}, kArrivalBound)
      << "arrived " << duration_cast<microseconds>(receivedServed - Instant{served}).count()
      << " us after its second";
  return {sent, reply.receivedAt, served};
}

TEST(TimePageServer, AlignedRepliesLeaveOnTheirSecond) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());
  for (const auto phase : {250ms, 600ms, 900ms}) {
    const AlignedResult r = FetchAlignedAt(server.port(), phase, 0ns);
    // Held until the next whole second: the one after the request, not a later one.
    EXPECT_EQ(r.served, ceil<seconds>(r.sent)) << "phase " << phase.count() << " ms";
  }
}

TEST(TimePageServer, ARequestJustBeforeABoundaryIsAnsweredAtIt) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());
  // 1.5 ms before the boundary, inside the margin. The server must read the request before
  // the margin after the boundary runs out, and on a busy machine its wake-up alone can take
  // a few milliseconds now and then; so one of five tries must show it. A server that defers
  // such requests by a second fails all five.
  bool answeredAtTheBoundary = false;
  for (int attempt = 0; attempt < 5 && !answeredAtTheBoundary; ++attempt) {
    const AlignedResult r = FetchAlignedAt(server.port(), 998500us, 0ns);
    answeredAtTheBoundary = r.served == ceil<seconds>(r.sent) && r.received - r.sent < 50ms;
  }
  EXPECT_TRUE(answeredAtTheBoundary);
}

TEST(TimePageServer, ARequestJustAfterABoundaryStillLeavesWithinTheBound) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());
  // Within the margin it is answered at once with that second, past it at the next one:
  // either way the page arrives inside the bound after its second.
  for (const nanoseconds phase : {nanoseconds{500us}, nanoseconds{1500us}, nanoseconds{5ms}})
    FetchAlignedAt(server.port(), phase, 0ns);
}

class ShiftedClock : public ::testing::TestWithParam<std::pair<const char*, nanoseconds>> {};

TEST_P(ShiftedClock, ServesTheShiftedSecondAlignedOnIt) {
  const auto [text, offset] = GetParam();
  ServerProcess server({"--port", "0", "--offset", text});
  ASSERT_TRUE(server.started());
  for (const auto phase : {100ms, 500ms}) {
    const AlignedResult r = FetchAlignedAt(server.port(), phase, offset);
    EXPECT_EQ(r.served, ceil<seconds>(r.sent + offset));
  }
}

INSTANTIATE_TEST_SUITE_P(Offsets, ShiftedClock,
                         ::testing::Values(std::pair{"37.25", nanoseconds{37'250ms}},
                                           std::pair{"-0.4", nanoseconds{-400ms}}));

TEST(TimePageServer, FixedTimeIsServedAtOnce) {
  ServerProcess server({"--port", "0", "--fixed", "2026-03-08 07:00:00", "--log"});
  ASSERT_TRUE(server.started());
  const Instant sent = SleepUntilPhase(300ms);
  const HttpReply reply = Fetch(server.port(), GetRequest());
  EXPECT_LT(reply.receivedAt - sent, kPromptReply);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(Header(reply, "date"), "Sun, 08 Mar 2026 07:00:00 GMT");
  EXPECT_NE(reply.body.find("<BR>Mar. 08, 07:00:00 Universal Time\n"), std::string::npos);
  EXPECT_EQ(server.ReadLines(1, 2s),
            std::vector<std::string>{"served 2026-03-08T07:00:00Z /cgi-bin/timer.pl 200"});
}

struct ExchangeCase {
  const char* what;
  std::string request;
  int status;
  std::string logPath;
};

class Exchanges : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchanges, AnswerEveryKindOfRequest) {
  const ExchangeCase& c = GetParam();
  ServerProcess server({"--port", "0", "--immediate", "--log"});
  ASSERT_TRUE(server.started());
  const HttpReply reply = Fetch(server.port(), c.request);
  EXPECT_TRUE(reply.complete) << c.what;
  EXPECT_EQ(reply.status, c.status) << c.what;
  EXPECT_EQ(Header(reply, "connection"), "close") << c.what;
  const auto date = HttpDateSecond(Header(reply, "date"));
  ASSERT_TRUE(date) << c.what;
  EXPECT_LT(abs(RealNow() - Instant{*date}), nanoseconds{2s}) << c.what;

  const bool head = c.request.starts_with("HEAD ");
  if (head) {
    EXPECT_EQ(reply.body, "") << c.what;
  } else if (c.status == 200) {
    EXPECT_EQ(ServedSecond(reply), *date) << c.what;
  } else {
    EXPECT_FALSE(reply.body.empty()) << c.what;
  }
  if (c.status == 200) {
    EXPECT_EQ(Header(reply, "content-type"), "text/html") << c.what;
    EXPECT_EQ(Header(reply, "cache-control"), "no-cache") << c.what;
  }
  EXPECT_EQ(Header(reply, "allow"), c.status == 405 ? "GET, HEAD" : "") << c.what;

  // One log line, naming the second of the Date header.
  const time_t dated = system_clock::to_time_t(*date);
  std::tm parts{};
  ::gmtime_r(&dated, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
  EXPECT_EQ(server.ReadLines(1, 2s),
            std::vector<std::string>{"served " + std::string{stamp} + " " + c.logPath + " " +
                                     std::to_string(c.status)})
      << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Exchanges,
    ::testing::Values(
        ExchangeCase{"the page", GetRequest(), 200, "/cgi-bin/timer.pl"},
        ExchangeCase{"the page with a query", GetRequest("/cgi-bin/timer.pl?now"), 200,
                     "/cgi-bin/timer.pl"},
        ExchangeCase{"HTTP/1.0 without a Host", "GET /cgi-bin/timer.pl HTTP/1.0\r\n\r\n", 200,
                     "/cgi-bin/timer.pl"},
        ExchangeCase{"HEAD of the page",
                     "HEAD /cgi-bin/timer.pl HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200,
                     "/cgi-bin/timer.pl"},
        ExchangeCase{"another path", GetRequest("/index.html"), 404, "/index.html"},
        ExchangeCase{"POST", "POST /cgi-bin/timer.pl HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405,
                     "/cgi-bin/timer.pl"},
        ExchangeCase{"not HTTP", "HELLO THERE\r\n\r\n", 400, "-"},
        ExchangeCase{
            "a head over 8 KiB",
            "GET /cgi-bin/timer.pl HTTP/1.1\r\nX-Filler: " + std::string(9000, 'a') + "\r\n\r\n",
            431, "-"}));

// The request as the Tidewell clients send it, asking to be answered at once.
std::string NoHoldRequest() {
  std::string request = GetRequest();
  request.insert(request.size() - 2, "Prefer: respond-async, no-hold\r\n");
  return request;
}

// The hold and age of a reply's "Server-Timing: hold;dur=H, age;dur=A", as the server writes
// them; nullopt when the header is missing or differs from that form.
std::optional<std::pair<nanoseconds, nanoseconds>> Figures(const HttpReply& reply) {
  const std::string value = Header(reply, "server-timing");
  double hold = -1;
  double age = -1;
  int used = 0;
  if (std::sscanf(value.c_str(), "hold;dur=%lf, age;dur=%lf%n", &hold, &age, &used) != 2 ||
      used != static_cast<int>(value.size())) {
    return std::nullopt;
  }
  const auto fromMs = [](double ms) { return nanoseconds{static_cast<std::int64_t>(ms * 1e6)}; };
  return std::pair{fromMs(hold), fromMs(age)};
}

struct TimingCase {
  const char* what;
  std::vector<std::string> args;
  bool preferNoHold;
  bool held;     // answered on the next whole second, not at once
  bool figures;  // the reply carries Server-Timing
};

void PrintTo(const TimingCase& c, std::ostream* out) { *out << c.what; }

class ReplyTimings : public ::testing::TestWithParam<TimingCase> {};

TEST_P(ReplyTimings, SayHowOldThePageIsAndHowLongTheRequestWasHeld) {
  const TimingCase& c = GetParam();
  std::vector<std::string> args{"--port", "0"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ServerProcess server(args);
  ASSERT_TRUE(server.started());
  // Figures are rounded to the microsecond; the margin also covers reading the clocks.
  constexpr nanoseconds kSlack = 1ms;

  for (const auto phase : {300ms, 700ms}) {
    const int fd = ConnectLoopback(server.port());
    ASSERT_GE(fd, 0);
    const Instant sent = SleepUntilPhase(phase);
    const HttpReply reply =
        SendAll(fd, c.preferNoHold ? NoHoldRequest() : GetRequest()) ? ReadReply(fd) : HttpReply{};
    ::close(fd);
    const Second served = ServedSecond(reply);
    const nanoseconds waited = reply.receivedAt - sent;

    EXPECT_EQ(Header(reply, "preference-applied"), c.preferNoHold && c.figures ? "no-hold" : "");
    if (c.held) {
      EXPECT_EQ(served, ceil<seconds>(sent)) << "phase " << phase.count();
      const nanoseconds toBoundary = Instant{ceil<seconds>(sent)} - sent;
      EXPECT_GT(waited, toBoundary - 5ms) << "not held to the boundary";
    } else {
      EXPECT_EQ(served, floor<seconds>(sent)) << "phase " << phase.count();
      EXPECT_LT(waited, kPromptReply) << "held although asked not to be";
    }

    const auto figures = Figures(reply);
    ASSERT_EQ(figures.has_value(), c.figures) << Header(reply, "server-timing");
    if (!figures) continue;
    const auto [hold, age] = *figures;
    // The request was held for part of what the client waited, and the page left, with its
    // age, between the request and its arrival.
    EXPECT_GE(hold, 0ns);
    EXPECT_LE(hold, waited + kSlack);
    EXPECT_GE(Instant{served} + age, sent - kSlack);
    EXPECT_LE(Instant{served} + age, reply.receivedAt + kSlack);
    if (c.held) {
      EXPECT_GE(hold, Instant{ceil<seconds>(sent)} - sent - 5ms);
      EXPECT_LT(age, kArrivalBound);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Figures, ReplyTimings,
    ::testing::Values(
        TimingCase{"a plain request is still held", {}, false, true, true},
        TimingCase{"no-hold is answered at once", {}, true, false, true},
        TimingCase{"no-hold on an immediate server", {"--immediate"}, true, false, true},
        TimingCase{"an immediate server", {"--immediate"}, false, false, true},
        TimingCase{"no-timing ignores no-hold", {"--no-timing"}, true, true, false},
        TimingCase{"no-timing, immediate", {"--no-timing", "--immediate"}, true, false, false}));

TEST(TimePageServer, AFixedTimeIsNeverOlderThanItsSecond) {
  ServerProcess server({"--port", "0", "--fixed", "2026-03-08 07:00:00"});
  ASSERT_TRUE(server.started());
  const HttpReply reply = Fetch(server.port(), NoHoldRequest());
  const auto figures = Figures(reply);
  ASSERT_TRUE(figures.has_value()) << Header(reply, "server-timing");
  EXPECT_EQ(figures->second, 0ns);
  EXPECT_EQ(Header(reply, "preference-applied"), "no-hold");
}

// A server too busy to read a request at once (here: stopped) still counts the wait as held,
// from when the request came rather than from when it was read: otherwise a client would take
// the wait for time on the way and set its clock ahead by half of it.
TEST(TimePageServer, ARequestThatWaitsForABusyServerCountsAsHeld) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());
  const int fd = ConnectLoopback(server.port());
  ASSERT_GE(fd, 0);
  SleepUntilPhase(100ms);  // the wait stays well inside one second
  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  const Instant sent = RealNow();
  ASSERT_TRUE(SendAll(fd, NoHoldRequest()));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::kill(server.pid(), SIGCONT), 0);
  const HttpReply reply = ReadReply(fd);
  ::close(fd);

  EXPECT_EQ(ServedSecond(reply), floor<seconds>(reply.receivedAt));
  const auto figures = Figures(reply);
  ASSERT_TRUE(figures.has_value()) << Header(reply, "server-timing");
  EXPECT_GE(figures->first, 290ms) << "the wait for the server was not counted as held";
  EXPECT_LE(figures->first, reply.receivedAt - sent + 1ms);
}

// How long until the server closes `fd`, or nullopt if it does not within the receive limit.
std::optional<nanoseconds> TimeUntilClosed(int fd, Instant since) {
  char byte;
  const ssize_t got = ::recv(fd, &byte, 1, 0);
  if (got != 0) return std::nullopt;
  return RealNow() - since;
}

TEST(TimePageServer, IdleAndSlowClientsAreCutOffAfterTheHeaderTimeout) {
  ServerProcess server({"--port", "0", "--immediate", "--header-timeout-ms", "300"});
  ASSERT_TRUE(server.started());
  const Instant start = RealNow();
  const int idle = ConnectLoopback(server.port());
  const int slow = ConnectLoopback(server.port());
  ASSERT_GE(idle, 0);
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(SendAll(slow, "GET /cgi-bin/timer.pl HTTP/1.1\r\nHost:"));

  const auto idleClosed = TimeUntilClosed(idle, start);
  const auto slowClosed = TimeUntilClosed(slow, start);
  ::close(idle);
  ::close(slow);
  ASSERT_TRUE(idleClosed) << "an idle client was not cut off";
  ASSERT_TRUE(slowClosed) << "a client that never finished its head was not cut off";
  for (const nanoseconds closed : {*idleClosed, *slowClosed}) {
    EXPECT_GE(closed, nanoseconds{280ms});
    EXPECT_LT(closed, nanoseconds{1500ms});
  }
  EXPECT_EQ(Fetch(server.port(), GetRequest()).status, 200);
}

using tidewell::test::CommandLineCase;

class CommandLines : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLines, FollowTheToolsConvention) {
  tidewell::test::ExpectCommandLineOutcome(TIMEPAGE_BINARY, GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLines,
    ::testing::Values(
        // The version the build gives the project, not a copy of the tool's own text.
        CommandLineCase{{"--version"}, 0, "tidewell-timepage " TIDEWELL_VERSION_TEXT "\n", ""},
        CommandLineCase{{"--help"}, 0, "Usage: tidewell-timepage [options]\n", ""},
        CommandLineCase{{"-h"}, 0, "Usage: tidewell-timepage [options]\n", ""},
        CommandLineCase{{"--port", "x"},
                        2,
                        "",
                        "tidewell-timepage: --port needs a number from 0 to 65535 (try --help)\n"},
        CommandLineCase{
            {"--nonsense"}, 2, "", "tidewell-timepage: unknown option '--nonsense' (try --help)\n"},
        CommandLineCase{{"--fixed", "tomorrow"},
                        2,
                        "",
                        "tidewell-timepage: --fixed needs a UTC time written 'YYYY-MM-DD "
                        "HH:MM:SS' (try --help)\n"},
        CommandLineCase{{"--version=1"},
                        2,
                        "",
                        "tidewell-timepage: option '--version' takes no value (try --help)\n"},
        // The report quotes the argument, and stays one line whatever it holds.
        CommandLineCase{{"two\nlines"},
                        2,
                        "",
                        "tidewell-timepage: unexpected argument 'two?lines' (try --help)\n"}));

TEST(TimePageServer, AnAddressInUseGivesOneLineAndStatus1) {
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));

  const ChildResult run = RunToExit({"--port", port}, 5000ms);
  ::close(holder);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.standardOutput, "");
  const std::string& err = run.standardError;
  EXPECT_NE(err.find("cannot listen on 127.0.0.1:" + port), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

  // An address that is not this machine's (TEST-NET-1): refused the same way.
  const ChildResult foreign = RunToExit({"--bind", "192.0.2.1", "--port", "0"}, 5000ms);
  EXPECT_EQ(foreign.exitStatus, 1);
  const std::string& foreignErr = foreign.standardError;
  EXPECT_EQ(std::count(foreignErr.begin(), foreignErr.end(), '\n'), 1) << foreignErr;
}

}  // namespace
}  // namespace timepage_test
