// The delaying proxy of the test helpers, run in this process in front of a small upstream on
// loopback: each direction must arrive no sooner than its own delay and not much later, in order,
// chunk by chunk, with the end of a direction delayed like its data.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DelayProxy.h"
#include "UniqueFd.h"

namespace tidewell::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

// How much later than its delay a chunk may arrive. The machine is shared and the tests run
// with sanitizers, so a single delivery may come late by a scheduling delay; the upper bounds are
// checked on the best of a few tries, the lower bounds (never earlier than the delay) on every
// one. A direction given the other's delay (5 against 20 ms) still shows.
constexpr double kLateMs = 10;
constexpr int kTries = 5;

using Socket = tools::UniqueFd;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return where;
}

Socket Listen(std::uint16_t& port) {
  Socket listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in where = Loopback(0);
  socklen_t size = sizeof where;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&where), size) != 0 ||
      listen(listener.get(), 8) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&where), &size) != 0) {
    ADD_FAILURE() << "cannot listen on loopback";
  }
  port = ntohs(where.sin_port);
  return listener;
}

Socket Connect(std::uint16_t port) {
  Socket client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in where = Loopback(port);
  if (connect(client.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
    ADD_FAILURE() << "cannot connect to port " << port;
  }
  return client;
}

Socket Accept(const Socket& listener) {
  return Socket(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

void SendAll(const Socket& socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(socket.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << "send failed";
    sent += static_cast<std::size_t>(n);
  }
}

// What one read gave and when: empty at the end of the stream, or on a reset or time-out
// (`ended` tells the first apart).
struct Arrival {
  std::string bytes;
  bool ended = false;
  Clock::time_point at;
};

Arrival ReadOnce(const Socket& socket, std::chrono::milliseconds timeout = 2000ms) {
  pollfd wait{socket.get(), POLLIN, 0};
  Arrival arrival;
  if (poll(&wait, 1, static_cast<int>(timeout.count())) != 1) return arrival;
  char buffer[64 * 1024];
  const ssize_t n = recv(socket.get(), buffer, sizeof buffer, 0);
  arrival.at = Clock::now();
  if (n > 0) arrival.bytes.assign(buffer, static_cast<std::size_t>(n));
  arrival.ended = n <= 0;
  return arrival;
}

std::string ReadToEnd(const Socket& socket) {
  std::string all;
  for (Arrival a = ReadOnce(socket); !a.ended && !a.bytes.empty(); a = ReadOnce(socket)) {
    all += a.bytes;
  }
  return all;
}

double MsBetween(Clock::time_point from, Clock::time_point to) { return Ms(to - from).count(); }

// A proxy running on its own thread in front of `upstreamPort`.
class RunningProxy {
 public:
  RunningProxy(std::uint16_t upstreamPort, double upMs, double downMs) {
    DelayProxyOptions options;
    options.upstreamPort = upstreamPort;
    options.upDelay = std::chrono::microseconds(static_cast<long>(upMs * 1000));
    options.downDelay = std::chrono::microseconds(static_cast<long>(downMs * 1000));
    options.lifetime = 60s;
    proxy_ = std::make_unique<DelayProxy>(options);
    thread_ = std::thread([this] { proxy_->Run(); });
  }
  ~RunningProxy() {
    proxy_->Stop();
    thread_.join();
  }
  std::uint16_t Port() const { return proxy_->Port(); }

 private:
  std::unique_ptr<DelayProxy> proxy_;
  std::thread thread_;
};

// A client connected through a proxy with the given delays to the server end it reaches.
struct ProxiedConnection {
  ProxiedConnection(double upMs, double downMs)
      : listener(Listen(upstreamPort)),
        proxy(upstreamPort, upMs, downMs),
        client(Connect(proxy.Port())),
        server(Accept(listener)) {}

  std::uint16_t upstreamPort = 0;
  const Socket listener;
  RunningProxy proxy;
  const Socket client;
  const Socket server;
};

struct PathCase {
  double upMs;
  double downMs;
};

void PrintTo(const PathCase& path, std::ostream* out) {
  *out << path.upMs << " ms up, " << path.downMs << " ms down";
}

class DelayedPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(DelayedPath, EachDirectionTakesItsOwnDelay) {
  const PathCase path = GetParam();
  std::uint16_t upstreamPort = 0;
  const Socket listener = Listen(upstreamPort);
  RunningProxy proxy(upstreamPort, path.upMs, path.downMs);

  double fastestUp = 1e9;
  double fastestDown = 1e9;
  for (int exchange = 0; exchange < kTries; ++exchange) {
    const Socket client = Connect(proxy.Port());
    const Socket server = Accept(listener);
    const auto sent = Clock::now();
    SendAll(client, "ping");
    const Arrival request = ReadOnce(server);
    ASSERT_EQ(request.bytes, "ping");
    SendAll(server, "pong");
    const Arrival reply = ReadOnce(client);
    ASSERT_EQ(reply.bytes, "pong");

    const double up = MsBetween(sent, request.at);
    const double down = MsBetween(request.at, reply.at);
    EXPECT_GE(up, path.upMs);
    EXPECT_GE(down, path.downMs);
    fastestUp = std::min(fastestUp, up);
    fastestDown = std::min(fastestDown, down);
  }
  EXPECT_LE(fastestUp, path.upMs + kLateMs);
  EXPECT_LE(fastestDown, path.downMs + kLateMs);
}

std::string PathName(const ::testing::TestParamInfo<PathCase>& info) {
  return "Up" + std::to_string(static_cast<int>(info.param.upMs)) + "Down" +
         std::to_string(static_cast<int>(info.param.downMs));
}

INSTANTIATE_TEST_SUITE_P(Paths, DelayedPath,
                         ::testing::Values(PathCase{0, 0}, PathCase{10, 10}, PathCase{5, 20},
                                           PathCase{25, 0}),
                         PathName);

// Chunks sent 15 ms apart through a 30 ms delay must not be held for one another: each leaves
// 30 ms after it came, so the second arrives while the third is still on its way.
TEST(DelayProxy, ReleasesEachChunkOnItsOwnTime) {
  const ProxiedConnection connection(30, 0);
  const Socket& client = connection.client;
  const Socket& server = connection.server;

  const std::vector<std::string> pieces = {"first ", "second ", "third"};
  double leastLate = 1e9;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    std::vector<Clock::time_point> sentAt;
    std::thread sender([&] {
      for (const std::string& piece : pieces) {
        sentAt.push_back(Clock::now());
        SendAll(client, piece);
        std::this_thread::sleep_for(15ms);
      }
    });
    std::vector<Arrival> arrivals;
    for (std::size_t i = 0; i < pieces.size(); ++i) arrivals.push_back(ReadOnce(server));
    sender.join();
    double late = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      ASSERT_EQ(arrivals[i].bytes, pieces[i]);
      const double took = MsBetween(sentAt[i], arrivals[i].at);
      EXPECT_GE(took, 30);
      late = std::max(late, took - 30);
    }
    leastLate = std::min(leastLate, late);
  }
  EXPECT_LE(leastLate, kLateMs);
}

// More than the proxy holds per direction, so it must pause reading and resume, and cope with
// a receiver that takes it in pieces.
TEST(DelayProxy, CarriesABulkTransferWhole) {
  const ProxiedConnection connection(1, 1);
  const Socket& client = connection.client;
  const Socket& server = connection.server;

  std::string payload(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 31) % 251);
  std::thread sender([&] {
    SendAll(server, payload);
    shutdown(server.get(), SHUT_WR);
  });
  const std::string received = ReadToEnd(client);
  sender.join();
  ASSERT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload) << "bytes changed or reordered on the way";
}

// The end of the client's request travels up with the up delay; the server's reply and its
// end come down, and the client sees both.
TEST(DelayProxy, PassesHalfClosesOnAfterTheDelay) {
  const ProxiedConnection connection(20, 5);
  const Socket& client = connection.client;
  const Socket& server = connection.server;

  SendAll(client, "request");
  const auto closedAt = Clock::now();
  shutdown(client.get(), SHUT_WR);
  EXPECT_EQ(ReadOnce(server).bytes, "request");
  const Arrival end = ReadOnce(server);
  EXPECT_TRUE(end.ended);
  EXPECT_TRUE(end.bytes.empty());
  EXPECT_GE(MsBetween(closedAt, end.at), 20);

  SendAll(server, "reply");
  shutdown(server.get(), SHUT_WR);
  EXPECT_EQ(ReadToEnd(client), "reply");
}

TEST(DelayProxy, ClosesTheClientWhenTheUpstreamRefuses) {
  std::uint16_t deadPort = 0;
  { const Socket closedSoon = Listen(deadPort); }
  RunningProxy proxy(deadPort, 0, 0);
  const Socket client = Connect(proxy.Port());
  const Arrival arrival = ReadOnce(client);
  EXPECT_TRUE(arrival.ended) << "the client was left hanging";
  EXPECT_TRUE(arrival.bytes.empty());
}

TEST(DelayProxy, RefusesAddressesOffLoopback) {
  DelayProxyOptions offLoopbackListener;
  offLoopbackListener.listenAddress = "0.0.0.0";
  offLoopbackListener.upstreamPort = 80;
  EXPECT_THROW(DelayProxy{offLoopbackListener}, std::runtime_error);

  DelayProxyOptions offLoopbackUpstream;
  offLoopbackUpstream.upstreamAddress = "192.0.2.1";
  offLoopbackUpstream.upstreamPort = 80;
  EXPECT_THROW(DelayProxy{offLoopbackUpstream}, std::runtime_error);
}

TEST(DelayProxy, ReadsDelaysInMilliseconds) {
  struct Case {
    const char* text;
    std::optional<long> micros;
  };
  const Case cases[] = {{"10", 10000},         {"2.5", 2500},        {"0", 0},
                        {"0.0004", 0},         {"10000", 10000000},  {"10000.5", std::nullopt},
                        {"-1", std::nullopt},  {"", std::nullopt},   {"1e3", std::nullopt},
                        {"5ms", std::nullopt}, {"nan", std::nullopt}};
  for (const Case& c : cases) {
    const auto parsed = ParseDelayMs(c.text);
    ASSERT_EQ(parsed.has_value(), c.micros.has_value()) << c.text;
    if (parsed) {
      EXPECT_EQ(parsed->count(), *c.micros) << c.text;
    }
  }
  EXPECT_TRUE(IsIpv4Loopback("127.0.0.74"));
  EXPECT_TRUE(IsIpv4Loopback("127.255.0.1"));
  EXPECT_FALSE(IsIpv4Loopback("128.0.0.1"));
  EXPECT_FALSE(IsIpv4Loopback("::1"));
  EXPECT_FALSE(IsIpv4Loopback("localhost"));
}

}  // namespace
}  // namespace tidewell::test
