// The real fenwhit, built as an office builds it for an https host and its own CA, against two
// tidewell-timepage back ends behind the shipped nginx configuration on loopback. The back ends
// serve their clock 37.25 s ahead, so the time fenwhit asks for can be compared with the real
// clock at the moment of asking; fenwhit runs under the clock interposer as an unprivileged user.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ClockLog.h"
#include "ScratchDirectory.h"
#include "TimePageProcess.h"
#include "TlsFront.h"

namespace tidewell::test {
namespace {

using namespace std::chrono_literals;

constexpr double kServedAheadSeconds = 37.25;
constexpr const char* kAddress = TIDEWELL_FRONT_ADDRESS;
constexpr std::uint16_t kPort = TIDEWELL_FRONT_PORT;
const std::string kPageUrl =
    std::string("https://") + kAddress + ":" + std::to_string(kPort) + "/cgi-bin/timer.pl";

// The figures as tidewell-timepage writes them, to the byte.
const std::regex kFigures(
    R"(\r\nServer-Timing: hold;dur=[0-9]+\.[0-9]{3}, age;dur=([0-9]+\.[0-9]{3})\r\n)");

class TlsFrontTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new ScratchDirectory("tidewell-front-certificates");
    MakeFrontCertificates(certificates_->Path(""), kAddress);
    // The office's CA, where the fenwhit of this build looks for it.
    std::filesystem::create_directories(
        std::filesystem::path(TIDEWELL_FRONT_CA_FILE).parent_path());
    std::filesystem::copy_file(certificates_->Path("ca.pem"), TIDEWELL_FRONT_CA_FILE,
                               std::filesystem::copy_options::overwrite_existing);
  }
  static void TearDownTestSuite() {
    delete certificates_;
    certificates_ = nullptr;
  }

  // The two back ends, logging each reply, and the front with `certificate`.
  void StartWith(const std::string& certificate) {
    for (const char* name : {"first", "second"}) {
      backEnds_.push_back(std::make_unique<TimePageProcess>(
          TIDEWELL_TIMEPAGE, std::vector<std::string>{"--offset", "37.25", "--log"},
          scratch_.Path(std::string(name) + ".log")));
      ASSERT_NE(backEnds_.back()->Port(), 0) << "a back end did not start";
    }
    front_ = std::make_unique<TlsFront>(
        scratch_.Path("nginx"), kAddress, kPort, std::vector{BackEnd(0), BackEnd(1)},
        certificates_->Path(certificate), certificates_->Path("server.key"));
  }

  std::string BackEnd(std::size_t index) const {
    return "127.0.0.1:" + std::to_string(backEnds_[index]->Port());
  }

  ChildResult RunFenwhit() {
    EnvironmentChanges env = kNoDisplayNoProxy;
    env.insert(env.end(), {"https_proxy", "HTTPS_PROXY",
                           "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/tidewell-bus"});
    std::remove(log_.c_str());
    return RunChild(UnderInterposer(log_, /*refuse=*/false, {TIDEWELL_FRONT_FENWHIT}), env, 20s);
  }

  // The reply's head through the front as curl sees it, checked against the test CA; its
  // whole time goes after "total=".
  static std::string FetchHead(const std::vector<std::string>& headers) {
    std::vector<std::string> command{
        "curl", "-sS", "--noproxy", "*",         "--cacert", certificates_->Path("ca.pem"),
        "-D",   "-",   "-o",        "/dev/null", "-w",       "total=%{time_total}\n"};
    for (const std::string& header : headers) command.insert(command.end(), {"-H", header});
    command.push_back(kPageUrl);
    const ChildResult run = RunChild(command, {}, 10s);
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    return run.standardOutput;
  }

  static int ServedLines(const std::string& log) {
    const std::string text = ReadWholeFile(log);
    int lines = 0;
    for (std::size_t at = text.find("served "); at != std::string::npos;
         at = text.find("served ", at + 1)) {
      ++lines;
    }
    return lines;
  }

  // The pages both back ends logged, once they have logged `expected` (or 2 s have passed): a
  // back end writes its line after the reply, so the client can have it first.
  int ServedByBothSoon(int expected) {
    int served = 0;
    for (int wait = 0; wait < 200; ++wait) {
      served = ServedLines(scratch_.Path("first.log")) + ServedLines(scratch_.Path("second.log"));
      if (served >= expected) break;
      std::this_thread::sleep_for(10ms);
    }
    return served;
  }

  static ScratchDirectory* certificates_;
  ScratchDirectory scratch_{"tidewell-front"};
  std::string log_ = scratch_.Path("clock.log");
  std::vector<std::unique_ptr<TimePageProcess>> backEnds_;
  std::unique_ptr<TlsFront> front_;
};

ScratchDirectory* TlsFrontTest::certificates_ = nullptr;

// A held-up moment on a busy machine moves one run; the middle of three is held to the bound.
TEST_F(TlsFrontTest, FenwhitSetsThePagesTimeThroughTheFront) {
  StartWith("server.pem");
  std::vector<double> errorsMs;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ChildResult run = RunFenwhit();
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardError, "");
    const std::vector<ClockCall> calls = ReadClockLog(log_);
    ASSERT_EQ(calls.size(), 2u) << "the clock set, and the kernel told it is synchronised";
    ASSERT_EQ(calls[0].function, "clock_settime");
    ASSERT_EQ(calls[0].result, "ok");
    EXPECT_EQ(calls[1].function, "adjtimex");
    // A fraction of a second: the figures came through, not only the page's whole second.
    const double fraction = calls[0].requested - std::floor(calls[0].requested);
    EXPECT_TRUE(fraction > 1e-6 && fraction < 1 - 1e-6) << calls[0].line;
    errorsMs.push_back((calls[0].requested - calls[0].real - kServedAheadSeconds) * 1000);
    std::printf("set %+.3f ms from the page's clock\n", errorsMs.back());
  }
  std::sort(errorsMs.begin(), errorsMs.end());
  EXPECT_LT(std::abs(errorsMs[1]), 3.0);
}

TEST_F(TlsFrontTest, TheFiguresAndTheNoHoldPreferenceComeThroughUntouchedAndAtOnce) {
  StartWith("server.pem");
  for (int request = 0; request < 4; ++request) {
    const std::string head = FetchHead({"Prefer: no-hold"});
    std::smatch figures;
    ASSERT_TRUE(std::regex_search(head, figures, kFigures)) << head;
    EXPECT_LT(std::stod(figures[1]), 1000.0);
    EXPECT_NE(head.find("\r\nPreference-Applied: no-hold\r\n"), std::string::npos) << head;
    // Answered at once, not held to the page's next second.
    const double total = std::stod(head.substr(head.find("total=") + 6));
    EXPECT_LT(total, 0.25) << head;
  }
  // Without the preference the request is held to the second, and the reply says nothing of it.
  const std::string held = FetchHead({});
  std::smatch figures;
  ASSERT_TRUE(std::regex_search(held, figures, kFigures)) << held;
  EXPECT_LT(std::stod(figures[1]), 5.0) << "a held page leaves on its second";
  EXPECT_EQ(held.find("Preference-Applied"), std::string::npos) << held;
}

TEST_F(TlsFrontTest, TheFrontSpreadsTheRequestsOverTheBackEnds) {
  StartWith("server.pem");
  for (int request = 0; request < 4; ++request) FetchHead({"Prefer: no-hold"});
  EXPECT_EQ(ServedByBothSoon(4), 4);
  EXPECT_GE(ServedLines(scratch_.Path("first.log")), 1);
  EXPECT_GE(ServedLines(scratch_.Path("second.log")), 1);
}

// A certificate from another CA: the clock is left alone, no request reaches a back end, and
// fenwhit says it could not reach the page, and why.
TEST_F(TlsFrontTest, AFrontWithAnotherCasCertificateSetsNothing) {
  StartWith("other-server.pem");
  const ChildResult run = RunFenwhit();
  EXPECT_EQ(run.exitStatus, 69) << run.standardError;
  EXPECT_TRUE(run.standardError.starts_with("fenwhit: cannot reach https://")) << run.standardError;
  EXPECT_NE(run.standardError.find("certificate"), std::string::npos) << run.standardError;
  EXPECT_TRUE(ReadClockLog(log_).empty());
  EXPECT_EQ(ServedLines(scratch_.Path("first.log")) + ServedLines(scratch_.Path("second.log")), 0);
  // The front is up and refused for its certificate alone.
  const ChildResult curl = RunChild({"curl", "-sS", "--noproxy", "*", "--cacert",
                                     certificates_->Path("ca.pem"), "-o", "/dev/null", kPageUrl},
                                    {}, 10s);
  EXPECT_EQ(curl.exitStatus, 60) << curl.standardError;  // the peer's certificate is not trusted
}

}  // namespace
}  // namespace tidewell::test
