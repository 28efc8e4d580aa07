// Persistent connections on the real tidewell-timepage binary: several requests on one
// connection (as htpdate makes them), requests sent without waiting for the replies, and the
// ways a kept connection ends.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "ServerHarness.h"

namespace timepage_test {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Long enough for a server that wrongly closes to be seen closing.
constexpr milliseconds kStaysOpenWait = 150ms;

Second DateOf(const HttpReply& reply) {
  const auto date = HttpDateSecond(Header(reply, "date"));
  EXPECT_TRUE(date.has_value()) << "no readable Date header";
  return date.value_or(Second{});
}

// A connected client with its reply reader; closes the socket at the end of the test.
struct Client {
  explicit Client(std::uint16_t port) : fd(ConnectLoopback(port)), stream(fd) {}
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  int fd;
  ReplyStream stream;
};

TEST(TimePageServerKeepAlive, SeveralRequestsOnOneConnectionEachGetTheirSecond) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());
  Client client(server.port());
  ASSERT_GE(client.fd, 0);

  // HEAD and GET, at different points of the second, as htpdate looks for the boundary.
  struct Step {
    nanoseconds phase;
    bool head;
  };
  for (const Step step :
       {Step{200ms, true}, Step{550ms, true}, Step{850ms, false}, Step{400ms, true}}) {
    const Instant sent = SleepUntilPhase(step.phase);
    ASSERT_TRUE(SendAll(client.fd, PersistentRequest(step.head ? "HEAD" : "GET")));
    const HttpReply reply = client.stream.Next(step.head);
    ASSERT_TRUE(reply.complete) << "no whole reply on the kept connection, phase "
                                << duration_cast<milliseconds>(step.phase).count() << " ms";
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(Header(reply, "connection"), "keep-alive");
    const Second served = DateOf(reply);
    EXPECT_EQ(served, ceil<seconds>(sent)) << "not the next whole second";
    if (!step.head) {
      EXPECT_EQ(PageSecond(reply.body, reply.receivedAt), served);
    }
    EXPECT_GE(reply.receivedAt, Instant{served}) << "arrived before its second";
    EXPECT_LT(reply.receivedAt - Instant{served}, kArrivalBound);
    EXPECT_FALSE(client.stream.EndsWithin(kStaysOpenWait)) << "closed after a keep-alive reply";
    EXPECT_EQ(client.stream.pending(), "") << "bytes beyond the reply";
  }

  // Asking for the end: the reply says so and the stream ends right after it.
  ASSERT_TRUE(SendAll(client.fd, GetRequest()));
  const HttpReply last = client.stream.Next();
  EXPECT_EQ(last.status, 200);
  EXPECT_EQ(Header(last, "connection"), "close");
  EXPECT_TRUE(client.stream.EndsWithin(1000ms)) << "not closed after Connection: close";
}

TEST(TimePageServerKeepAlive, Http10ClosesUnlessItAsksForKeepAlive) {
  ServerProcess server({"--port", "0", "--immediate"});
  ASSERT_TRUE(server.started());
  {
    Client client(server.port());
    ASSERT_TRUE(SendAll(client.fd, "GET /cgi-bin/timer.pl HTTP/1.0\r\n\r\n"));
    const HttpReply reply = client.stream.Next();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(Header(reply, "connection"), "close");
    EXPECT_TRUE(client.stream.EndsWithin(1000ms)) << "an HTTP/1.0 connection was kept";
  }
  {
    Client client(server.port());
    const std::string request = "HEAD /cgi-bin/timer.pl HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
    ASSERT_TRUE(SendAll(client.fd, request));
    const HttpReply first = client.stream.Next(/*headOnly=*/true);
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(Header(first, "connection"), "keep-alive");
    EXPECT_FALSE(client.stream.EndsWithin(kStaysOpenWait));
    ASSERT_TRUE(SendAll(client.fd, request));
    const HttpReply second = client.stream.Next(/*headOnly=*/true);
    EXPECT_EQ(second.status, 200) << "the second request on the connection was not answered";
    EXPECT_EQ(Header(second, "connection"), "keep-alive");
  }
}

TEST(TimePageServerKeepAlive, ConnectionCloseAndBadRequestsEndTheConnection) {
  ServerProcess server({"--port", "0", "--immediate"});
  ASSERT_TRUE(server.started());
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  for (const Case& c : {
           Case{"Connection: close", GetRequest(), 200},
           Case{"close among other tokens",
                "HEAD /cgi-bin/timer.pl HTTP/1.1\r\nconnection: TE, Close\r\n\r\n", 200},
           Case{"not HTTP", "HELLO THERE\r\n\r\n", 400},
           Case{"POST", "POST /cgi-bin/timer.pl HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
           Case{"a GET with a body",
                "GET /cgi-bin/timer.pl HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 200},
       }) {
    Client client(server.port());
    ASSERT_TRUE(SendAll(client.fd, c.request)) << c.what;
    const HttpReply reply = client.stream.Next(c.request.starts_with("HEAD "));
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(Header(reply, "connection"), "close") << c.what;
    EXPECT_TRUE(client.stream.EndsWithin(1000ms)) << c.what << ": not closed";
  }
  // A 404 to a plain HTTP/1.1 request keeps the connection, like the page.
  Client client(server.port());
  ASSERT_TRUE(SendAll(client.fd, PersistentRequest("GET", "/missing")));
  const HttpReply reply = client.stream.Next();
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(Header(reply, "connection"), "keep-alive");
  EXPECT_FALSE(client.stream.EndsWithin(kStaysOpenWait));
}

TEST(TimePageServerKeepAlive, RequestsSentTogetherAreAnsweredInOrder) {
  ServerProcess server({"--port", "0", "--log"});
  ASSERT_TRUE(server.started());
  Client client(server.port());
  ASSERT_GE(client.fd, 0);
  const Instant sent = SleepUntilPhase(300ms);
  ASSERT_TRUE(SendAll(client.fd, PersistentRequest("GET") + PersistentRequest("GET", "/missing") +
                                     PersistentRequest("HEAD")));
  const Second boundary = ceil<seconds>(sent);

  const HttpReply page = client.stream.Next();
  const HttpReply missing = client.stream.Next();
  const HttpReply head = client.stream.Next(/*headOnly=*/true);
  ASSERT_TRUE(page.complete && missing.complete && head.complete);
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(PageSecond(page.body, page.receivedAt), boundary);
  EXPECT_EQ(DateOf(page), boundary);
  EXPECT_GE(page.receivedAt, Instant{boundary});
  EXPECT_LT(page.receivedAt - Instant{boundary}, kArrivalBound);
  // The 404 is answered at once, as soon as the page before it has gone.
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(DateOf(missing), boundary);
  // The HEAD follows the same rule as any request: normally it is read within the margin
  // after the boundary and answered with it; read later, it waits for the next second.
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  const Second headSecond = DateOf(head);
  EXPECT_TRUE(headSecond == boundary || headSecond == boundary + 1s);
  EXPECT_GE(head.receivedAt, Instant{headSecond});
  EXPECT_LT(head.receivedAt - Instant{headSecond}, kArrivalBound);
  for (const HttpReply* reply : {&page, &missing, &head}) {
    EXPECT_EQ(Header(*reply, "connection"), "keep-alive");
  }
  EXPECT_FALSE(client.stream.EndsWithin(kStaysOpenWait));

  const std::vector<std::string> log = server.ReadLines(3, 2s);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[0].ends_with(" /cgi-bin/timer.pl 200")) << log[0];
  EXPECT_TRUE(log[1].ends_with(" /missing 404")) << log[1];
  EXPECT_TRUE(log[2].ends_with(" /cgi-bin/timer.pl 200")) << log[2];
}

TEST(TimePageServerKeepAlive, AConnectionCarriesAtMostOneHundredRequests) {
  ServerProcess server({"--port", "0", "--immediate"});
  ASSERT_TRUE(server.started());
  Client client(server.port());
  ASSERT_GE(client.fd, 0);
  // 101 requests in one write: they reach the server in several reads, heads split anywhere.
  std::string requests;
  for (int i = 0; i < 101; ++i) {
    requests +=
        PersistentRequest(i % 2 == 0 ? "GET" : "HEAD", "/cgi-bin/timer.pl?n=" + std::to_string(i));
  }
  ASSERT_TRUE(SendAll(client.fd, requests));
  for (int i = 0; i < 100; ++i) {
    const HttpReply reply = client.stream.Next(/*headOnly=*/i % 2 == 1);
    ASSERT_TRUE(reply.complete) << "reply " << i;
    EXPECT_EQ(reply.status, 200) << "reply " << i;
    if (i % 2 == 0) {
      EXPECT_FALSE(reply.body.empty()) << "reply " << i << " out of order";
    }
    EXPECT_EQ(Header(reply, "connection"), i < 99 ? "keep-alive" : "close") << "reply " << i;
  }
  EXPECT_TRUE(client.stream.EndsWithin(1000ms)) << "open after the hundredth reply";
  EXPECT_EQ(client.stream.pending(), "") << "the 101st request was answered";
}

TEST(TimePageServerKeepAlive, AnIdleKeptConnectionIsClosedAfterTheHeaderTimeout) {
  ServerProcess server({"--port", "0", "--immediate", "--header-timeout-ms", "300"});
  ASSERT_TRUE(server.started());
  Client idle(server.port());
  Client slow(server.port());
  ASSERT_GE(idle.fd, 0);
  ASSERT_GE(slow.fd, 0);
  // Each takes one reply; then the idle one sends nothing, the slow one half a head.
  ASSERT_TRUE(SendAll(idle.fd, PersistentRequest()));
  ASSERT_TRUE(SendAll(slow.fd, PersistentRequest()));
  const HttpReply idleReply = idle.stream.Next();
  const HttpReply slowReply = slow.stream.Next();
  ASSERT_EQ(Header(idleReply, "connection"), "keep-alive");
  ASSERT_EQ(Header(slowReply, "connection"), "keep-alive");
  ASSERT_TRUE(SendAll(slow.fd, "GET /cgi-bin/timer.pl HTTP/1.1\r\nHost:"));

  // Both time-outs run from the replies, a little before this.
  const Instant since = RealNow();
  for (Client* client : {&idle, &slow}) {
    ASSERT_TRUE(client->stream.EndsWithin(3000ms)) << "a kept connection was never closed";
    const nanoseconds closed = RealNow() - since;
    EXPECT_GE(closed, nanoseconds{200ms}) << "closed long before the header time-out";
    EXPECT_LT(closed, nanoseconds{1500ms});
  }
  EXPECT_EQ(Fetch(server.port(), GetRequest()).status, 200);
}

}  // namespace
}  // namespace timepage_test
