#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "DownloadContract.h"
#include "DownloadPages.h"
#include "LinuxPlatform.h"
#include "ScopedEnvironment.h"
#include "ScriptedHttpServer.h"

namespace tidewell {
namespace {

using namespace std::chrono_literals;
using test::DownloadThrough;
using test::ExpectWellFormedReads;
using test::PatternBody;
using test::RecordedRequest;
using test::ScopedEnvironment;
using test::ScriptedHttpServer;
using test::ScriptedReply;

constexpr std::uint32_t kChunk = test::kDownloadChunk;
constexpr const char* kAgent = test::kDownloadAgent;
// A read loop that has not met its end after this many reads is broken.
constexpr int kMaxReads = 100000;

// Reads `url` to its end (or kMaxReads reads) in reads of at most `ask` bytes, each of which
// must deliver no more than asked.
std::string ReadToEnd(Platform& platform, InternetHandle url, std::uint32_t ask = kChunk) {
  std::string body;
  std::vector<char> buffer(ask);
  for (int i = 0; i < kMaxReads; ++i) {
    const std::uint32_t count = platform.InternetReadFile(url, buffer.data(), ask);
    EXPECT_LE(count, ask) << "read " << i;
    if (count == 0) break;
    body.append(buffer.data(), std::min(count, ask));
  }
  return body;
}

// A loopback listener whose queue of connections is full: the kernel ignores further connection
// requests, so a connection attempt hangs as it would to a host that does not answer.
class FullListener {
 public:
  FullListener() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    // Fill the queue: connect until an attempt is left waiting.
    for (int i = 0; i < kMaxFillers; ++i) {
      const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      fillers_.push_back(filler);
      if (connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) continue;
      pollfd waiting{filler, POLLOUT, 0};
      if (poll(&waiting, 1, 200) == 0) {
        full_ = true;
        break;
      }
    }
  }
  ~FullListener() {
    for (const int filler : fillers_) close(filler);
    close(listener_);
  }
  bool Full() const { return full_; }
  std::uint16_t Port() const { return port_; }

 private:
  static constexpr int kMaxFillers = 8;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

class InternetTest : public ::testing::Test {
 protected:
  InternetTest() {
    // Loopback must not go through a proxy from the environment of whoever runs the tests.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      environment_.Set(name, std::nullopt);
    }
  }

  static DownloadLimits QuickLimits() {
    DownloadLimits limits;
    limits.connectTimeout = 2s;
    limits.stallBytesPerSecond = 64;
    limits.stallTime = 1s;
    limits.overallDeadline = 5s;
    return limits;
  }

  ScopedEnvironment environment_;
  ScriptedHttpServer server_;
  LinuxPlatform platform_{{}, QuickLimits()};
};

class DownloadContract : public InternetTest,
                         public ::testing::WithParamInterface<test::DownloadCase> {};

TEST_P(DownloadContract, Holds) {
  test::ServeDownloadPages(server_);
  LinuxPlatform platform({}, GetParam().limits);
  test::ExpectContractHeld(platform, server_.Url(""), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Pages, DownloadContract, ::testing::ValuesIn(test::DownloadCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InternetTest, EveryReadDeliversNoMoreThanAsked) {
  const std::string body = PatternBody(5000);
  server_.Serve("/page", ScriptedReply::Body(body));
  const InternetHandle session = platform_.InternetOpen(kAgent);
  const InternetHandle url = platform_.InternetOpenUrl(session, server_.Url("/page"));
  EXPECT_TRUE(ReadToEnd(platform_, url, 100) == body);
  platform_.InternetCloseHandle(url);
  platform_.InternetCloseHandle(session);
}

TEST_F(InternetTest, NoReadDeliversMoreThanTheDownloadsChunk) {
  const std::string body = PatternBody(5000);
  server_.Serve("/page", ScriptedReply::Body(body));
  const InternetHandle session = platform_.InternetOpen(kAgent);
  const InternetHandle url = platform_.InternetOpenUrl(session, server_.Url("/page"));
  std::vector<char> buffer(8192);
  EXPECT_EQ(platform_.InternetReadFile(url, buffer.data(), 8192), kChunk);
  platform_.InternetCloseHandle(session);
}

// What the download says when it fails, for the silent program to pass on.
TEST_F(InternetTest, AFailureSaysWhy) {
  server_.Serve("/big", ScriptedReply::Body(PatternBody(300'000)));
  DownloadLimits capped = QuickLimits();
  capped.sizeCap = 100'000;
  LinuxPlatform platform({}, capped);
  const test::DownloadRecord big = DownloadThrough(platform, server_.Url("/big"));
  EXPECT_EQ(big.text.size(), 100'000u);
  EXPECT_EQ(big.failure, "the page is over 100000 bytes");

  server_.Serve("/reset", ScriptedReply::ResetAfter(PatternBody(5000), 3000));
  EXPECT_EQ(DownloadThrough(platform_, server_.Url("/reset")).failure, "Connection reset by peer");
  server_.Serve("/whole", ScriptedReply::Body("whole"));
  EXPECT_EQ(DownloadThrough(platform_, server_.Url("/whole")).failure, "");
}

TEST_F(InternetTest, BytesAboveSevenBitsAreKept) {
  const std::string body = "caf\xc3\xa9 \x80\x81\xfe\xff, 12:00:00 Universal Time\n";
  server_.Serve("/page", ScriptedReply::Body(body));
  EXPECT_EQ(DownloadThrough(platform_, server_.Url("/page")).text, body);
}

TEST_F(InternetTest, AConnectionThatIsNeverAcceptedFailsTheOpenAtTheConnectTimeout) {
  FullListener listener;
  if (!listener.Full()) GTEST_SKIP() << "the kernel kept accepting connections";
  DownloadLimits limits = QuickLimits();
  limits.connectTimeout = 500ms;
  limits.stallTime = 10s;  // only the connect timeout may end it
  LinuxPlatform platform({}, limits);

  const test::DownloadRecord download =
      DownloadThrough(platform, "http://127.0.0.1:" + std::to_string(listener.Port()) + "/page");
  EXPECT_EQ(download.url, 0u);
  EXPECT_EQ(download.text, "");
  EXPECT_GE(download.took, 400ms);
  EXPECT_LT(download.took, 3s);
}

TEST_F(InternetTest, AnAddressThatIsNotHttpFailsTheOpen) {
  const InternetHandle session = platform_.InternetOpen(kAgent);
  for (const char* address : {"", "not an address", "file:///etc/hostname", "ftp://127.0.0.1/"}) {
    EXPECT_EQ(platform_.InternetOpenUrl(session, address), 0u) << address;
  }
  platform_.InternetCloseHandle(session);
}

TEST_F(InternetTest, AResetMidBodyReturnsThePartReadThenNothing) {
  const std::string body = PatternBody(5000);
  server_.Serve("/page", ScriptedReply::ResetAfter(body, 3000));
  const test::DownloadRecord download = DownloadThrough(platform_, server_.Url("/page"));
  EXPECT_NE(download.url, 0u);
  EXPECT_EQ(download.text.size(), 3000u);
  EXPECT_TRUE(download.text == body.substr(0, 3000));
  ExpectWellFormedReads(download);
}

TEST_F(InternetTest, ADrippingServerIsCutOffByTheStallLimit) {
  // Ten bytes a second against a floor of 64 a second for one second; the whole body would take
  // 30 seconds.
  const std::string body = PatternBody(300);
  server_.Serve("/page", ScriptedReply::Drip(body, 100ms));
  const test::DownloadRecord download = DownloadThrough(platform_, server_.Url("/page"));

  EXPECT_GE(download.took, 900ms);
  EXPECT_LT(download.took, 4s);
  EXPECT_GT(download.text.size(), 0u);
  EXPECT_LT(download.text.size(), body.size());
  EXPECT_TRUE(download.text == body.substr(0, download.text.size()));
  ExpectWellFormedReads(download);
}

TEST_F(InternetTest, TheDefaultLimitsTakeABodyOfOneAndAHalfMebibytes) {
  LinuxPlatform platform;
  const std::string body = PatternBody(1536 * 1024);
  server_.Serve("/page", ScriptedReply::Body(body));
  const std::string text = DownloadThrough(platform, server_.Url("/page")).text;
  EXPECT_EQ(text.size(), body.size());
  EXPECT_TRUE(text == body);
}

TEST_F(InternetTest, TheRequestIsAFreshGetWithTheAgentName) {
  server_.Serve("/cgi-bin/timer.pl", ScriptedReply::Body("ok"));
  DownloadThrough(platform_, server_.Url("/cgi-bin/timer.pl"));

  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& request = requests[0];
  EXPECT_EQ(request.requestLine, "GET /cgi-bin/timer.pl HTTP/1.1");
  EXPECT_EQ(request.Header("User-Agent"), "VB Project");
  EXPECT_EQ(request.Header("Cache-Control"), "no-cache");
  EXPECT_EQ(request.Header("Pragma"), "no-cache");
  // A time-page server may then answer at once, with the figures that date its page.
  EXPECT_EQ(request.Header("Prefer"), "no-hold");
  EXPECT_EQ(request.Header("Host"), "127.0.0.1:" + std::to_string(server_.Port()));
}

TEST_F(InternetTest, ARedirectIsFollowed) {
  server_.Serve("/old", ScriptedReply::Redirect(302, "/new"));
  server_.Serve("/new", ScriptedReply::Body("arrived"));
  EXPECT_EQ(DownloadThrough(platform_, server_.Url("/old")).text, "arrived");
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/new");
  EXPECT_EQ(requests[1].Header("User-Agent"), "VB Project");
}

TEST_F(InternetTest, ARedirectLoopEndsAfterTheRedirectLimit) {
  server_.Serve("/loop", ScriptedReply::Redirect(301, "/loop"));
  EXPECT_EQ(DownloadThrough(platform_, server_.Url("/loop")).text, "");
  EXPECT_EQ(server_.Requests().size(), 6u) << "the first request and five redirects followed";
}

TEST_F(InternetTest, TheProxyOfTheEnvironmentIsUsed) {
  // Nothing listens at 127.0.0.2:9: the page can only come through the proxy.
  environment_.Set("http_proxy", server_.Url(""));
  const std::string address = "http://127.0.0.2:9/cgi-bin/timer.pl";
  server_.Serve(address, ScriptedReply::Body("through the proxy"));

  EXPECT_EQ(DownloadThrough(platform_, address).text, "through the proxy");
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, address);
  EXPECT_EQ(requests[0].Header("User-Agent"), "VB Project");
}

// A privileged process takes no proxy from its caller: whichever variable names one, the request
// goes straight to the address (where nothing listens) and never reaches the proxy.
TEST_F(InternetTest, APrivilegedDownloadTakesNoProxyFromTheEnvironment) {
  const std::string address = "http://127.0.0.2:9/cgi-bin/timer.pl";
  server_.Serve(address, ScriptedReply::Body("through the proxy"));
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
    ScopedEnvironment proxy;
    proxy.Set(name, server_.Url(""));
    proxy.Set("no_proxy", "");
    for (const bool privileged : {false, true}) {
      CurlInternet internet(QuickLimits(), privileged);
      const InternetHandle session = internet.OpenSession(kAgent);
      const InternetHandle url = internet.OpenUrl(session, address);
      char buffer[kChunk];
      const std::string got(buffer, internet.Read(url, buffer, kChunk));
      // HTTP_PROXY in capitals is one that libcurl never reads, privileged or not.
      const bool proxied = !privileged && std::string_view(name) != "HTTP_PROXY";
      EXPECT_EQ(got, proxied ? "through the proxy" : "") << name << " privileged " << privileged;
      internet.Close(session);
    }
  }
  EXPECT_EQ(server_.Requests().size(), 3u) << "only the ordinary downloads went through it";
}

TEST_F(InternetTest, TheOpenTakesTheWholeBodyAndTheReadsDoNotWait) {
  const std::string body = PatternBody(5000);
  server_.Serve("/page", ScriptedReply::Split(body, {100}, 1500ms));
  const InternetHandle session = platform_.InternetOpen(kAgent);
  const auto start = std::chrono::steady_clock::now();
  const InternetHandle url = platform_.InternetOpenUrl(session, server_.Url("/page"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
  ASSERT_NE(url, 0u);

  const auto readStart = std::chrono::steady_clock::now();
  EXPECT_TRUE(ReadToEnd(platform_, url) == body);
  EXPECT_LT(std::chrono::steady_clock::now() - readStart, 100ms);
  platform_.InternetCloseHandle(url);
  platform_.InternetCloseHandle(session);
}

TEST_F(InternetTest, ASlowReaderGetsAFastBodyWhole) {
  const std::string body = PatternBody(4 * 1024 * 1024);
  server_.Serve("/page", ScriptedReply::Body(body));
  CurlInternet internet(QuickLimits());
  const InternetHandle session = internet.OpenSession(kAgent);
  const InternetHandle url = internet.OpenUrl(session, server_.Url("/page"));
  ASSERT_NE(url, 0u);

  std::string got;
  char buffer[kChunk];
  for (int i = 0; i < kMaxReads; ++i) {
    const std::uint32_t count = internet.Read(url, buffer, i < 300 ? 1 : kChunk);
    ASSERT_LE(count, i < 300 ? 1u : kChunk) << "read " << i;
    if (count == 0) break;
    got.append(buffer, count);
  }
  EXPECT_TRUE(got == body);
  internet.Close(url);
  internet.Close(session);
}

TEST_F(InternetTest, TheDefaultLimitsWaitForAReplyHeldOverASecond) {
  // The time page answers on the whole second, so its reply may be held up to a second.
  LinuxPlatform platform;
  ScriptedReply held = ScriptedReply::Body("12:00:00 Universal");
  held.pauseBeforeReply = 1100ms;
  server_.Serve("/page", held);
  EXPECT_EQ(DownloadThrough(platform, server_.Url("/page")).text, "12:00:00 Universal");
}

TEST_F(InternetTest, HandlesCloseInEitherOrder) {
  server_.Serve("/page", ScriptedReply::Body(PatternBody(5000)));
  char buffer[kChunk];

  // The address first, then its session, as the download does.
  InternetHandle session = platform_.InternetOpen(kAgent);
  InternetHandle url = platform_.InternetOpenUrl(session, server_.Url("/page"));
  ASSERT_NE(session, 0u);
  ASSERT_NE(url, 0u);
  EXPECT_NE(session, url);
  EXPECT_GT(platform_.InternetReadFile(url, buffer, kChunk), 0u);
  platform_.InternetCloseHandle(url);
  EXPECT_EQ(platform_.InternetReadFile(url, buffer, kChunk), 0u);
  platform_.InternetCloseHandle(session);

  // The session first: its address goes with it.
  session = platform_.InternetOpen(kAgent);
  url = platform_.InternetOpenUrl(session, server_.Url("/page"));
  ASSERT_NE(url, 0u);
  platform_.InternetCloseHandle(session);
  EXPECT_EQ(platform_.InternetReadFile(url, buffer, kChunk), 0u);
  EXPECT_EQ(platform_.InternetOpenUrl(session, server_.Url("/page")), 0u);
  platform_.InternetCloseHandle(url);  // already gone: nothing happens
}

TEST_F(InternetTest, AHandleOfTheWrongKindReadsNothing) {
  server_.Serve("/page", ScriptedReply::Body("body"));
  const InternetHandle session = platform_.InternetOpen(kAgent);
  char buffer[kChunk];
  EXPECT_EQ(platform_.InternetReadFile(session, buffer, kChunk), 0u);
  EXPECT_EQ(platform_.InternetOpenUrl(session + 1000, server_.Url("/page")), 0u);
  platform_.InternetCloseHandle(session);
}

TEST_F(InternetTest, TwoAddressesOnOneSessionKeepTheirOwnBodies) {
  const std::string first = PatternBody(30000);
  const std::string second(30000, 'z');
  server_.Serve("/first", ScriptedReply::Body(first));
  server_.Serve("/second", ScriptedReply::Body(second));
  const InternetHandle session = platform_.InternetOpen(kAgent);
  const InternetHandle a = platform_.InternetOpenUrl(session, server_.Url("/first"));
  const InternetHandle b = platform_.InternetOpenUrl(session, server_.Url("/second"));
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);

  std::string gotA;
  std::string gotB;
  char buffer[kChunk];
  bool aOpen = true;
  bool bOpen = true;
  for (int i = 0; i < kMaxReads && (aOpen || bOpen); ++i) {  // interleaved reads
    if (aOpen) {
      const std::uint32_t count = platform_.InternetReadFile(a, buffer, kChunk);
      gotA.append(buffer, count);
      aOpen = count != 0;
    }
    if (bOpen) {
      const std::uint32_t count = platform_.InternetReadFile(b, buffer, kChunk);
      gotB.append(buffer, count);
      bOpen = count != 0;
    }
  }
  EXPECT_TRUE(gotA == first);
  EXPECT_TRUE(gotB == second);
  platform_.InternetCloseHandle(a);
  platform_.InternetCloseHandle(b);
  platform_.InternetCloseHandle(session);
}

// ---- The timing of the reply ---------------------------------------------------------------

struct TimingCase {
  const char* what;
  std::vector<std::string> headers;  // of the reply to the address opened
  std::optional<ServerFigures> figures;
};

void PrintTo(const TimingCase& timingCase, std::ostream* out) { *out << timingCase.what; }

class ReplyTimingTest : public InternetTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(ReplyTimingTest, IsKeptWhenTheReplyCarriesBothFigures) {
  const TimingCase& timingCase = GetParam();
  constexpr auto kServerPause = 120ms;
  ScriptedReply reply = ScriptedReply::Body("page");
  reply.headers = timingCase.headers;
  reply.pauseBeforeReply = kServerPause;
  server_.Serve("/page", reply);

  const auto before = std::chrono::steady_clock::now();
  const std::optional<ReplyTiming> timing = DownloadThrough(platform_, server_.Url("/page")).timing;
  const auto after = std::chrono::steady_clock::now();

  ASSERT_EQ(timing.has_value(), timingCase.figures.has_value());
  if (!timing) return;
  EXPECT_EQ(timing->server, *timingCase.figures);
  // The exchange runs from the request to the reply: the server's pause and little else.
  EXPECT_GE(timing->exchange, kServerPause);
  EXPECT_LT(timing->exchange, kServerPause + 100ms);
  EXPECT_GE(timing->arrived, before + kServerPause);
  EXPECT_LE(timing->arrived, after);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTimingTest,
    ::testing::Values(
        TimingCase{"both figures",
                   {"Server-Timing: hold;dur=100.250, age;dur=0.061"},
                   ServerFigures{100'250us, 61us}},
        TimingCase{"in two headers, other names around",
                   {"server-timing: age;dur=640.5", "X-Other: 1", "SERVER-TIMING: hold;dur=0.004"},
                   ServerFigures{4us, 640'500us}},
        TimingCase{"no header", {}, std::nullopt},
        TimingCase{"one figure", {"Server-Timing: hold;dur=100"}, std::nullopt},
        TimingCase{"malformed", {"Server-Timing: hold;dur=-5, age;dur=1"}, std::nullopt},
        TimingCase{
            "a look-alike header", {"Server-Timings: hold;dur=1, age;dur=1"}, std::nullopt}));

TEST_F(InternetTest, TheFiguresOfARedirectAreNotThoseOfThePage) {
  ScriptedReply moved = ScriptedReply::Redirect(302, "/new");
  moved.headers.push_back("Server-Timing: hold;dur=1, age;dur=2");
  server_.Serve("/old", moved);
  server_.Serve("/new", ScriptedReply::Body("arrived"));
  const test::DownloadRecord download = DownloadThrough(platform_, server_.Url("/old"));
  EXPECT_EQ(download.text, "arrived");
  EXPECT_FALSE(download.timing.has_value());
}

TEST_F(InternetTest, AFailedDownloadLeavesNoFiguresOfTheOneBefore) {
  ScriptedReply timed = ScriptedReply::Body("page");
  timed.headers.push_back("Server-Timing: hold;dur=1, age;dur=2");
  server_.Serve("/page", timed);
  const test::DownloadRecord timedDownload = DownloadThrough(platform_, server_.Url("/page"));
  ASSERT_TRUE(timedDownload.timing.has_value());
  EXPECT_EQ(timedDownload.failure, "");

  // Nothing listens on port 1 of loopback.
  const test::DownloadRecord failed = DownloadThrough(platform_, "http://127.0.0.1:1/page");
  EXPECT_FALSE(failed.timing.has_value());
  EXPECT_EQ(failed.failure, "Connection refused");
}

}  // namespace
}  // namespace tidewell
