// The server's event loop in this process, on a served clock the test can step and break:
// requests held while the clock is stepped, and failures inside the loop.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Alignment.h"
#include "Options.h"
#include "Server.h"
#include "ServerHarness.h"
#include "UniqueFd.h"

namespace timepage_test {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using tidewell::timepage::Options;
using tidewell::timepage::ServedClock;
using tidewell::timepage::Server;
using tidewell::tools::UniqueFd;

// This machine's clock plus an offset that the test steps; a step is announced the way the
// server expects, and reading the offset can be made to fail.
class SteppableClock final : public ServedClock {
 public:
  SteppableClock() : notices_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  nanoseconds Offset() const override {
    if (failures_.load() > 0) {
      --failures_;
      throw std::runtime_error("the served clock cannot be read");
    }
    return nanoseconds{offset_.load()};
  }
  int StepNotices() const override { return notices_.get(); }
  bool TakeStepNotices() override {
    std::uint64_t count = 0;
    return ::read(notices_.get(), &count, sizeof count) == sizeof count;
  }

  void Step(nanoseconds by) {
    offset_ += by.count();
    const std::uint64_t one = 1;
    EXPECT_EQ(::write(notices_.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }
  // The next `count` reads of the offset fail.
  void FailReads(int count) { failures_ = count; }
  nanoseconds offset() const { return nanoseconds{offset_.load()}; }

 private:
  UniqueFd notices_;
  std::atomic<std::int64_t> offset_{0};
  mutable std::atomic<int> failures_{0};
};

// A server on a free loopback port, its loop on a thread of its own.
class LoopInThisProcess {
 public:
  LoopInThisProcess() : stop_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    Options options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    auto clock = std::make_unique<SteppableClock>();
    clock_ = clock.get();
    server_ = std::make_unique<Server>(options, UniqueFd{::dup(stop_.get())}, std::move(clock));
    const std::string endpoint = server_->ListeningOn();
    port_ = static_cast<std::uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1)));
    loop_ = std::thread([this] { ranToItsEnd_ = server_->Run(); });
  }
  ~LoopInThisProcess() { Stop(); }

  // Stops the loop; true when it had kept running until asked to stop.
  bool Stop() {
    if (loop_.joinable()) {
      const std::uint64_t one = 1;
      EXPECT_EQ(::write(stop_.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
      loop_.join();
    }
    return ranToItsEnd_;
  }

  SteppableClock& clock() { return *clock_; }
  std::uint16_t port() const { return port_; }

 private:
  UniqueFd stop_;
  SteppableClock* clock_ = nullptr;
  std::unique_ptr<Server> server_;
  std::uint16_t port_ = 0;
  std::thread loop_;
  std::atomic<bool> ranToItsEnd_{false};
};

std::vector<int> ConnectClients(std::uint16_t port, int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) fds.push_back(ConnectLoopback(port));
  return fds;
}

void CloseAll(const std::vector<int>& fds) {
  for (const int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

struct StepCase {
  const char* what;
  nanoseconds step;
};

class ClockSteps : public ::testing::TestWithParam<StepCase> {};

// Requests held for a second when the served clock is stepped are answered at the next whole
// second of the stepped clock, with that second: not an hour late after a step back, not in
// mid-second after a step forward.
TEST_P(ClockSteps, HeldRequestsAreAnsweredOnTheNextSecondOfTheSteppedClock) {
  const StepCase& c = GetParam();
  LoopInThisProcess server;
  const std::vector<int> clients = ConnectClients(server.port(), 3);
  for (const int fd : clients) ASSERT_GE(fd, 0);

  SleepUntilPhase(200ms);
  for (const int fd : clients) ASSERT_TRUE(SendAll(fd, GetRequest()));
  SleepUntilPhase(400ms);  // all held for the next second by now
  server.clock().Step(c.step);
  const Instant steppedAt = RealNow() + server.clock().offset();
  const Second expected = ceil<seconds>(steppedAt);

  for (const int fd : clients) {
    const HttpReply reply = ReadReply(fd);
    ASSERT_TRUE(reply.complete) << c.what << ": no page";
    const auto page = PageSecond(reply.body, steppedAt);
    EXPECT_EQ(page, expected) << c.what;
    EXPECT_EQ(HttpDateSecond(Header(reply, "date")), expected) << c.what;
    const Instant arrived = reply.receivedAt + server.clock().offset();
    EXPECT_GE(arrived, Instant{expected}) << c.what << ": left before its second";
    EXPECT_LT(arrived - Instant{expected}, kArrivalBound) << c.what << ": late";
  }
  CloseAll(clients);
  EXPECT_TRUE(server.Stop());
}

INSTANTIATE_TEST_SUITE_P(Table, ClockSteps,
                         ::testing::Values(StepCase{"back an hour and a half second", -3600500ms},
                                           StepCase{"forward an hour and 0.3 s", 3600300ms},
                                           StepCase{"back 0.7 s", -700ms},
                                           StepCase{"forward 0.25 s", 250ms}));

// A failure inside the loop (here the served clock failing to be read) is reported on stderr
// and costs at most the client it happened for; the loop goes on serving.
TEST(ServedClockFailures, AFailureWhileReadingARequestDropsOnlyThatClient) {
  LoopInThisProcess server;
  ::testing::internal::CaptureStderr();
  server.clock().FailReads(1);
  const HttpReply dropped = Fetch(server.port(), GetRequest());
  const HttpReply next = Fetch(server.port(), GetRequest());
  const bool kept = server.Stop();
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_FALSE(dropped.complete) << "answered although its second could not be known";
  EXPECT_EQ(next.status, 200) << "the next client was not served";
  EXPECT_TRUE(kept) << "the loop ended";
  EXPECT_EQ(err, "tidewell-timepage: the served clock cannot be read; dropping a client\n");
}

TEST(ServedClockFailures, AFailureAtTheBoundaryStillAnswersTheHeldRequests) {
  LoopInThisProcess server;
  const std::vector<int> clients = ConnectClients(server.port(), 2);
  for (const int fd : clients) ASSERT_GE(fd, 0);
  ::testing::internal::CaptureStderr();
  const Instant sent = SleepUntilPhase(300ms);
  for (const int fd : clients) ASSERT_TRUE(SendAll(fd, GetRequest()));
  SleepUntilPhase(600ms);  // held; the next read of the clock is the boundary's
  server.clock().FailReads(1);

  const Second boundary = ceil<seconds>(sent);
  for (const int fd : clients) {
    const HttpReply reply = ReadReply(fd);
    ASSERT_TRUE(reply.complete) << "a held request was lost with the failure";
    EXPECT_EQ(PageSecond(reply.body, reply.receivedAt), boundary);
    EXPECT_LT(reply.receivedAt - Instant{boundary}, kArrivalBound);
  }
  CloseAll(clients);
  const bool kept = server.Stop();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(kept) << "the loop ended";
  EXPECT_EQ(err, "tidewell-timepage: the served clock cannot be read\n");
}

}  // namespace
}  // namespace timepage_test
