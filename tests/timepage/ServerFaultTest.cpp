// The real tidewell-timepage binary against clients that end their side early, leave while
// held, or come in floods that take every descriptor it may open.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ServerHarness.h"

namespace timepage_test {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Closes a test's client sockets whichever way the test ends.
struct Sockets {
  ~Sockets() {
    for (const int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  std::vector<int> fds;
};

struct HalfCloseCase {
  const char* what;
  bool immediate;
  std::string request;
  // The reply says "Connection: close". An immediate reply to HTTP/1.1 may leave before the
  // end of the client's side is seen, and then says keep-alive; the stream ends all the same.
  bool saysClose;
};

class HalfClose : public ::testing::TestWithParam<HalfCloseCase> {};

// A client that shuts its sending side after the request (as `nc -q` does) still reads: it
// gets its page (held for its second unless --immediate) and then the end of the stream.
TEST_P(HalfClose, AClientThatShutsItsSideAfterTheRequestGetsItsPage) {
  const HalfCloseCase& c = GetParam();
  std::vector<std::string> args{"--port", "0"};
  if (c.immediate) args.push_back("--immediate");
  ServerProcess server(args);
  ASSERT_TRUE(server.started());
  Sockets sockets;
  const int fd = ConnectLoopback(server.port());
  sockets.fds.push_back(fd);
  ASSERT_GE(fd, 0);

  const Instant sent = SleepUntilPhase(300ms);
  ASSERT_TRUE(SendAll(fd, c.request));
  ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);
  ReplyStream stream(fd);
  const HttpReply reply = stream.Next();
  ASSERT_TRUE(reply.complete) << c.what << ": no reply";
  const Second served = ServedSecond(reply);
  if (c.saysClose) {
    EXPECT_EQ(Header(reply, "connection"), "close") << c.what << ": nothing more can come";
  }
  if (c.immediate) {
    EXPECT_EQ(served, floor<seconds>(sent)) << c.what;
    EXPECT_LT(reply.receivedAt - sent, kPromptReply) << c.what;
  } else {
    EXPECT_EQ(served, ceil<seconds>(sent)) << c.what;
    EXPECT_GE(reply.receivedAt, Instant{served}) << c.what;
    EXPECT_LT(reply.receivedAt - Instant{served}, kArrivalBound) << c.what;
  }
  EXPECT_TRUE(stream.EndsWithin(1000ms)) << c.what << ": the stream did not end after the page";

  EXPECT_EQ(server.Stop(SIGTERM).exitStatus, 0);
  EXPECT_EQ(server.Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, HalfClose,
    ::testing::Values(
        HalfCloseCase{"aligned, HTTP/1.0", false, "GET /cgi-bin/timer.pl HTTP/1.0\r\n\r\n", true},
        HalfCloseCase{"aligned, HTTP/1.1", false, PersistentRequest(), true},
        HalfCloseCase{"immediate, HTTP/1.0", true, "GET /cgi-bin/timer.pl HTTP/1.0\r\n\r\n", true},
        HalfCloseCase{"immediate, HTTP/1.1", true, PersistentRequest(), false}));

struct LeaveCase {
  const char* what;
  bool reset;          // abort the connection (RST) rather than close it (FIN)
  std::size_t logged;  // "served" lines for the four requests
};

class LeavingWhileHeld : public ::testing::TestWithParam<LeaveCase> {};

// A client that closes while its request is held looks like one that only shut its sending
// side, until its page is written into the void: its connection then resets and is dropped
// without a word. A client that resets at once is dropped at once, unanswered. Either way the
// others get their page on their second, and the server says nothing on stderr.
TEST_P(LeavingWhileHeld, DisturbsNoOne) {
  const LeaveCase& c = GetParam();
  ServerProcess server({"--port", "0", "--log"});
  ASSERT_TRUE(server.started());
  SleepUntilPhase(50ms);
  Sockets sockets;
  for (int i = 0; i < 3; ++i) {
    sockets.fds.push_back(ConnectLoopback(server.port()));
    ASSERT_GE(sockets.fds.back(), 0);
    ASSERT_TRUE(SendAll(sockets.fds.back(), GetRequest()));
  }
  const Instant sent = RealNow();
  std::this_thread::sleep_for(100ms);  // parked by now, the boundary still far
  if (c.reset) {
    const linger abort{1, 0};
    ::setsockopt(sockets.fds[1], SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  ::close(sockets.fds[1]);
  sockets.fds[1] = -1;
  ASSERT_LT(RealNow() - sent, nanoseconds{700ms}) << "too slow to leave while parked";

  const Second boundary = ceil<seconds>(sent);
  for (const int fd : {sockets.fds[0], sockets.fds[2]}) {
    const HttpReply reply = ReadReply(fd);
    EXPECT_EQ(ServedSecond(reply), boundary) << c.what;
    EXPECT_LT(reply.receivedAt - Instant{boundary}, kArrivalBound) << c.what;
  }

  EXPECT_EQ(Fetch(server.port(), GetRequest()).status, 200) << c.what << ": no longer serving";
  std::vector<std::string> log = server.ReadLines(c.logged, 2s);
  const std::vector<std::string> more = server.ReadLines(c.logged + 1, 200ms);
  log.insert(log.end(), more.begin(), more.end());
  EXPECT_EQ(log.size(), c.logged) << c.what;
  EXPECT_EQ(server.Stop(SIGTERM).exitStatus, 0);
  EXPECT_EQ(server.Stderr(), "") << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, LeavingWhileHeld,
                         ::testing::Values(LeaveCase{"closed", false, 4},
                                           LeaveCase{"reset", true, 3}));

enum class Flood {
  kHalfRequests,  // each sends the start of a request head and stops
  kIdle,          // each connects and sends nothing
  kRequests,      // each sends a whole request and waits for its page
};

struct FloodCase {
  const char* what;
  Flood flood;
  int clients;
  unsigned openFiles;  // the server's limit on open files; 0 leaves it alone
};

class Floods : public ::testing::TestWithParam<FloodCase> {};

// However the crowd behaves, and whether or not it takes every descriptor the server may open,
// a client that comes after it is answered on its second, and so is every whole request in
// the crowd.
TEST_P(Floods, AClientAfterTheFloodIsAnsweredOnItsSecond) {
  const FloodCase& c = GetParam();
  RaiseOpenFileLimit();
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());
  if (c.openFiles != 0) {
    ASSERT_TRUE(server.LimitOpenFiles(c.openFiles));
  }

  Sockets crowd;
  SleepUntilPhase(50ms);
  for (int i = 0; i < c.clients; ++i) {
    const int fd = ConnectLoopback(server.port());
    ASSERT_GE(fd, 0) << c.what << ": connection " << i;
    crowd.fds.push_back(fd);
    if (c.flood == Flood::kHalfRequests) {
      ASSERT_TRUE(SendAll(fd, "GET /cgi-bin/timer.pl HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Ag"));
    } else if (c.flood == Flood::kRequests) {
      ASSERT_TRUE(SendAll(fd, GetRequest()));
    }
  }
  const Second crowdBoundary = ceil<seconds>(RealNow());

  // The crowd has waited a while when the client comes, as a real flood would have.
  SleepUntilPhase(950ms);
  Sockets client;
  client.fds.push_back(ConnectLoopback(server.port()));
  ASSERT_GE(client.fds[0], 0);
  const Instant sent = SleepUntilPhase(100ms);
  ASSERT_TRUE(SendAll(client.fds[0], GetRequest()));
  const HttpReply reply = ReadReply(client.fds[0]);
  ASSERT_TRUE(reply.complete) << c.what << ": the client after the flood got no page\n"
                              << server.Stderr();
  const Second served = ServedSecond(reply);
  EXPECT_LT(reply.receivedAt - Instant{served}, kArrivalBound) << c.what;
  if (c.flood == Flood::kRequests) {
    // A crowd of whole requests is served first: it came first, and the server answers every
    // one. The pages of those that found a descriptor make room for the others each second.
    EXPECT_GE(served, ceil<seconds>(sent)) << c.what;
    EXPECT_LE(served, ceil<seconds>(sent) + 3s) << c.what;
  } else {
    EXPECT_EQ(served, ceil<seconds>(sent)) << c.what << ": not on its second";
  }

  if (c.flood == Flood::kRequests) {
    // Those that found a descriptor were answered at once, the others as the first ones left.
    int atFirstBoundary = 0;
    for (std::size_t i = 0; i < crowd.fds.size(); ++i) {
      const HttpReply page = ReadReply(crowd.fds[i]);
      ASSERT_TRUE(page.complete) << c.what << ": client " << i << " of the crowd got no page";
      const Second second = ServedSecond(page);
      EXPECT_GE(page.receivedAt, Instant{second});
      atFirstBoundary += second == crowdBoundary ? 1 : 0;
      ::close(crowd.fds[i]);
      crowd.fds[i] = -1;
    }
    EXPECT_GT(atFirstBoundary, 0) << c.what;
  }
  EXPECT_EQ(server.Stop(SIGTERM).exitStatus, 0);
  EXPECT_EQ(server.Stderr(), "") << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Floods,
    ::testing::Values(FloodCase{"400 half requests", Flood::kHalfRequests, 400, 0},
                      FloodCase{"300 half requests, 128 descriptors", Flood::kHalfRequests, 300,
                                128},
                      FloodCase{"200 idle connections, 64 descriptors", Flood::kIdle, 200, 64},
                      FloodCase{"150 whole requests, 64 descriptors", Flood::kRequests, 150, 64}));

}  // namespace
}  // namespace timepage_test
