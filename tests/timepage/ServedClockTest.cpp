// The server's event loop in this process, on a served clock the test can step and break and a
// clock status it can set: requests held while the clock is stepped, failures inside the loop,
// and the refusal to serve a clock that is not synchronised.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Alignment.h"
#include "ClockStatus.h"
#include "Options.h"
#include "Server.h"
#include "ServerHarness.h"
#include "UniqueFd.h"

namespace timepage_test {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using tidewell::timepage::ClockReading;
using tidewell::timepage::ClockStatus;
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

// The kernel's account of this machine's clock as the test sets it.
class SettableClockStatus final : public ClockStatus {
 public:
  ClockReading Read() const override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return reading_;
  }
  void Set(const ClockReading& reading) {
    const std::lock_guard<std::mutex> lock(mutex_);
    reading_ = reading;
  }

 private:
  mutable std::mutex mutex_;
  ClockReading reading_;
};

// A server on a free loopback port, its loop on a thread of its own.
class LoopInThisProcess {
 public:
  explicit LoopInThisProcess(bool requireSynchronised = false, ClockReading reading = {})
      : stop_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    Options options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    options.requireSynchronised = requireSynchronised;
    auto clock = std::make_unique<SteppableClock>();
    clock_ = clock.get();
    auto status = std::make_unique<SettableClockStatus>();
    status_ = status.get();
    status_->Set(reading);
    server_ = std::make_unique<Server>(options, UniqueFd{::dup(stop_.get())}, std::move(clock),
                                       std::move(status));
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
  SettableClockStatus& status() { return *status_; }
  std::uint16_t port() const { return port_; }

 private:
  UniqueFd stop_;
  SteppableClock* clock_ = nullptr;
  SettableClockStatus* status_ = nullptr;
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

const ClockReading kSynchronised{true, false, 40ms};
const ClockReading kUnsyncFlag{true, true, 40ms};
const ClockReading kErrorAtTheBound{true, false, 1500ms};
const ClockReading kErrorOverTheBound{true, false, 1'500'001us};
const ClockReading kUnreadable{false, true, 0us};

constexpr const char* kUnsyncLine =
    "tidewell-timepage: this machine's clock is not synchronised: the kernel reports it "
    "unsynchronised (STA_UNSYNC); answering 503 until it is\n";
constexpr const char* kErrorLine =
    "tidewell-timepage: this machine's clock is not synchronised: its maximum error is "
    "1500.001 ms, over 1500.000 ms; answering 503 until it is\n";
constexpr const char* kUnreadableLine =
    "tidewell-timepage: this machine's clock is not synchronised: the kernel does not say "
    "whether it is synchronised; answering 503 until it is\n";
constexpr const char* kSyncLine =
    "tidewell-timepage: this machine's clock is synchronised; serving the page\n";

// A page request answered at once, so that each step of a case is one quick exchange.
const std::string kAtOnce =
    "GET /cgi-bin/timer.pl HTTP/1.1\r\nHost: 127.0.0.1\r\nPrefer: no-hold\r\n"
    "Connection: close\r\n\r\n";

struct StatusStep {
  ClockReading reading;
  int status;  // 200 with the page, or 503 without it
};

struct StatusCase {
  const char* what;
  bool requireSynchronised;
  std::vector<StatusStep> steps;  // the first reading is also the one at start-up
  std::string stderrText;         // everything the server says about its clock, in order
};

class ClockStatusCases : public ::testing::TestWithParam<StatusCase> {};

// With --require-synchronised the page is served only while the kernel vouches for the clock,
// and a refusal is a 503 that asks to come back and shows no time at all: no page, no Date, no
// figures. Each change of the state is said once; without the option only the start says it.
TEST_P(ClockStatusCases, ServeThePageOnlyWhileTheClockIsSynchronised) {
  const StatusCase& c = GetParam();
  ::testing::internal::CaptureStderr();
  LoopInThisProcess server(c.requireSynchronised, c.steps.front().reading);
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    server.status().Set(c.steps[i].reading);
    const HttpReply reply = Fetch(server.port(), kAtOnce);
    EXPECT_TRUE(reply.complete) << c.what << ", step " << i;
    EXPECT_EQ(reply.status, c.steps[i].status) << c.what << ", step " << i;
    const bool page = c.steps[i].status == 200;
    EXPECT_EQ(reply.body.find("Universal") != std::string::npos, page) << c.what << ", " << i;
    EXPECT_EQ(Header(reply, "date").empty(), !page) << c.what << ", step " << i;
    EXPECT_EQ(Header(reply, "server-timing").empty(), !page) << c.what << ", step " << i;
    EXPECT_EQ(Header(reply, "retry-after"), page ? "" : "30") << c.what << ", step " << i;
  }
  const bool kept = server.Stop();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.stderrText) << c.what;
  EXPECT_TRUE(kept) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClockStatusCases,
    ::testing::Values(
        StatusCase{"synchronised", true, {{kSynchronised, 200}}, ""},
        StatusCase{"STA_UNSYNC", true, {{kUnsyncFlag, 503}}, kUnsyncLine},
        StatusCase{"maximum error at the bound", true, {{kErrorAtTheBound, 200}}, ""},
        StatusCase{"maximum error over the bound", true, {{kErrorOverTheBound, 503}}, kErrorLine},
        StatusCase{"the status cannot be read", true, {{kUnreadable, 503}}, kUnreadableLine},
        StatusCase{"flipping back and forth, each change said once",
                   true,
                   {{kSynchronised, 200},
                    {kUnsyncFlag, 503},
                    {kUnsyncFlag, 503},
                    {kErrorOverTheBound, 503},
                    {kSynchronised, 200},
                    {kSynchronised, 200},
                    {kErrorOverTheBound, 503},
                    {kSynchronised, 200}},
                   std::string{kUnsyncLine} + kSyncLine + kErrorLine + kSyncLine},
        StatusCase{"unsynchronised at the start, then synchronised",
                   true,
                   {{kUnsyncFlag, 503}, {kSynchronised, 200}},
                   std::string{kUnsyncLine} + kSyncLine},
        StatusCase{"without the option: served, and said once at the start",
                   false,
                   {{kUnsyncFlag, 200}, {kUnsyncFlag, 200}, {kSynchronised, 200}},
                   "tidewell-timepage: this machine's clock is not synchronised: the kernel "
                   "reports it unsynchronised (STA_UNSYNC); serving it all the same (see "
                   "--require-synchronised)\n"},
        StatusCase{
            "without the option, synchronised: nothing said", false, {{kSynchronised, 200}}, ""}));

// A request held for its second while the clock stops being synchronised gets the refusal at
// that second, not a page of a clock nobody vouches for any more.
TEST(ClockStatus, ARequestHeldWhileTheClockGoesAstrayIsRefusedAtItsSecond) {
  ::testing::internal::CaptureStderr();
  LoopInThisProcess server(true, kSynchronised);
  const int fd = ConnectLoopback(server.port());
  ASSERT_GE(fd, 0);
  SleepUntilPhase(200ms);
  ASSERT_TRUE(SendAll(fd, GetRequest()));
  SleepUntilPhase(500ms);  // held for the next second by now
  server.status().Set(kUnsyncFlag);
  const HttpReply reply = ReadReply(fd);
  ::close(fd);
  server.Stop();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), kUnsyncLine);
  EXPECT_TRUE(reply.complete);
  EXPECT_EQ(reply.status, 503);
  EXPECT_EQ(reply.body.find("Universal"), std::string::npos);
  EXPECT_EQ(Header(reply, "retry-after"), "30");
}

}  // namespace
}  // namespace timepage_test
