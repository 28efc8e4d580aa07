// A crowd of clients parked for one second: all of them must get the page of that second
// within a few milliseconds of it, from one thread, without a single error.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ServerHarness.h"

namespace timepage_test {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr std::size_t kClients = 2000;
// The first reply leaves as the boundary is reached: this covers the timer's wake-up on a
// busy machine.
constexpr nanoseconds kFirstArrivalBound = 10ms;
// The last reply. One thread writes 2000 replies one after another, and on the two-core
// virtual machines this project runs on the network stack alone spends 8 to 10 us of
// processor time on each: 16 to 20 ms for the crowd when the machine is quiet, 30 to 50 ms
// (80 ms under the sanitizers) while other builds load both cores. The bounds leave room for
// a busy machine; that the server parks the crowd in one thread and a socket per client is
// checked directly.
#if defined(__SANITIZE_ADDRESS__)
constexpr nanoseconds kLastArrivalBound = 100ms;
#else
constexpr nanoseconds kLastArrivalBound = 50ms;
#endif
constexpr auto kWholeTestLimit = 10s;

// The threads and open descriptors of a process, from /proc.
struct ProcessShape {
  int threads = -1;
  int descriptors = -1;
};

ProcessShape ShapeOf(pid_t pid) {
  ProcessShape shape;
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream status(base + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) shape.threads = std::stoi(line.substr(8));
  }
  std::error_code error;
  shape.descriptors =
      static_cast<int>(std::distance(std::filesystem::directory_iterator(base + "/fd", error),
                                     std::filesystem::directory_iterator{}));
  if (error) shape.descriptors = -1;
  return shape;
}

struct Client {
  int fd = -1;
  std::string raw;
  std::optional<Instant> completeAt;
  bool closed = false;
};

TEST(TimePageServerLoad, TwoThousandParkedClientsGetTheirSecondTogether) {
  const auto testStart = steady_clock::now();
  const rlim_t descriptors = RaiseOpenFileLimit();
  if (descriptors < kClients + 64) GTEST_SKIP() << "too few descriptors: " << descriptors;

  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.started());

  std::vector<Client> clients(kClients);
  const int events = ::epoll_create1(EPOLL_CLOEXEC);
  ASSERT_GE(events, 0);
  for (std::size_t i = 0; i < kClients; ++i) {
    clients[i].fd = ConnectLoopback(server.port());
    ASSERT_GE(clients[i].fd, 0) << "connection " << i;
  }

  // All requests go out early in one second, so that all are parked for the next.
  const Instant sendStart = SleepUntilPhase(50ms);
  for (Client& client : clients) ASSERT_TRUE(SendAll(client.fd, GetRequest()));
  const Instant sendEnd = RealNow();
  const Second boundary = ceil<seconds>(sendStart);
  ASSERT_LT(sendEnd, Instant{boundary} - 50ms)
      << "sending took too long to park all for one second";

  // While the crowd waits: one thread, and no descriptor beyond a socket per client and the
  // server's own few.
  std::this_thread::sleep_for(20ms);  // let the server read the last requests
  const ProcessShape parked = ShapeOf(server.pid());
  EXPECT_EQ(parked.threads, 1);
  EXPECT_GE(parked.descriptors, static_cast<int>(kClients));
  EXPECT_LT(parked.descriptors, static_cast<int>(kClients) + 16);
  ASSERT_LT(RealNow(), Instant{boundary} - 20ms) << "looking at the server took too long";

  for (std::size_t i = 0; i < kClients; ++i) {
    ::fcntl(clients[i].fd, F_SETFL, ::fcntl(clients[i].fd, F_GETFL) | O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    ASSERT_EQ(::epoll_ctl(events, EPOLL_CTL_ADD, clients[i].fd, &event), 0);
  }

  // Nobody here waits on the sockets while the replies come in: the kernel stamps each
  // arrival, and the stamps are read afterwards. A reader that woke for every reply would
  // fight the server for the two processors at the very moment being measured, which is not
  // what the server's clients, on their own machines, do.
  while (RealNow() < Instant{boundary} + 300ms) SleepUntilPhase(300ms);

  std::size_t closed = 0;
  const Instant giveUp = Instant{boundary} + 3s;
  std::array<epoll_event, 512> ready{};
  while (closed < kClients && RealNow() < giveUp) {
    const int count = ::epoll_wait(events, ready.data(), static_cast<int>(ready.size()), 100);
    for (int e = 0; e < count; ++e) {
      Client& client = clients[ready[e].data.u64];
      for (;;) {
        char chunk[2048];
        Instant arrivedAt;
        const ssize_t got = ReceiveStamped(client.fd, chunk, sizeof chunk, &arrivedAt);
        if (got > 0) {
          client.raw.append(chunk, static_cast<std::size_t>(got));
          if (!client.completeAt && ParseReply(client.raw, false).complete) {
            client.completeAt = arrivedAt;
          }
          continue;
        }
        if (got < 0 && errno == EAGAIN) break;
        client.closed = true;
        ++closed;
        ::epoll_ctl(events, EPOLL_CTL_DEL, client.fd, nullptr);
        break;
      }
    }
  }
  ::close(events);
  for (Client& client : clients) ::close(client.fd);

  std::size_t complete = 0, right = 0;
  nanoseconds earliest = nanoseconds::max(), latest = nanoseconds::min();
  for (const Client& client : clients) {
    if (!client.completeAt) continue;
    ++complete;
    const HttpReply reply = ParseReply(client.raw, false);
    const auto page = PageSecond(reply.body, *client.completeAt);
    const auto date = HttpDateSecond(reply.headers.count("date") ? reply.headers.at("date") : "");
    if (reply.status == 200 && page == boundary && date == boundary) ++right;
    const nanoseconds late = *client.completeAt - Instant{boundary};
    earliest = std::min(earliest, late);
    latest = std::max(latest, late);
  }
  std::printf(
      "%zu clients: send took %.1f ms; replies arrived %.2f to %.2f ms after the "
      "boundary\n",
      kClients, duration<double, std::milli>(sendEnd - sendStart).count(),
      duration<double, std::milli>(earliest).count(), duration<double, std::milli>(latest).count());
  RecordProperty("first_arrival_us", std::to_string(earliest.count() / 1000));
  RecordProperty("last_arrival_us", std::to_string(latest.count() / 1000));

  EXPECT_EQ(complete, kClients);
  EXPECT_EQ(closed, kClients) << "the server did not close every answered connection";
  EXPECT_EQ(right, kClients) << "replies without status 200 or with another second";
  EXPECT_GE(earliest, 0ns) << "a reply arrived before its second";
  EXPECT_LT(earliest, kFirstArrivalBound) << "the boundary was not served at once";
  EXPECT_LT(latest, kLastArrivalBound);

  EXPECT_EQ(server.Stop(SIGTERM).exitStatus, 0);
  EXPECT_EQ(server.Stderr(), "");
  EXPECT_LT(steady_clock::now() - testStart, kWholeTestLimit);
}

}  // namespace
}  // namespace timepage_test
