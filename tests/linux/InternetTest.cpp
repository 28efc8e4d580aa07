#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LinuxPlatform.h"
#include "ScopedEnvironment.h"
#include "ScriptedHttpServer.h"

namespace tidewell {
namespace {

using namespace std::chrono_literals;
using testing::RecordedRequest;
using testing::ScopedEnvironment;
using testing::ScriptedHttpServer;
using testing::ScriptedReply;
using Framing = ScriptedReply::Framing;

constexpr std::uint32_t kChunk = 2048;
constexpr const char* kAgent = "VB Project";
// A read loop that has not met its end after this many reads is broken.
constexpr int kMaxReads = 100000;

// Every byte value, over and over, so a lost, doubled or re-ordered piece shows.
std::string PatternBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + i / 256) % 256);
  return body;
}

struct Download {
  bool opened = false;
  std::string body;
  std::vector<std::uint32_t> reads;  // every read's count, the final 0 included
};

// Reads the way the page download does: until a read delivers nothing.
Download ReadAll(Platform& platform, const std::string& address, std::uint32_t ask = kChunk) {
  Download download;
  const InternetHandle session = platform.InternetOpen(kAgent);
  const InternetHandle url = platform.InternetOpenUrl(session, address);
  download.opened = url != 0;
  std::vector<char> buffer(ask);
  for (int i = 0; i < kMaxReads; ++i) {
    const std::uint32_t count = platform.InternetReadFile(url, buffer.data(), ask);
    download.reads.push_back(count);
    if (count == 0) break;
    download.body.append(buffer.data(), std::min(count, ask));
  }
  if (url != 0) platform.InternetCloseHandle(url);
  if (session != 0) platform.InternetCloseHandle(session);
  return download;
}

void ExpectReadsWithin(const Download& download, std::uint32_t ask) {
  ASSERT_FALSE(download.reads.empty());
  EXPECT_EQ(download.reads.back(), 0u) << "the loop must end on a read of 0";
  for (std::size_t i = 0; i + 1 < download.reads.size(); ++i) {
    EXPECT_GT(download.reads[i], 0u);
    EXPECT_LE(download.reads[i], ask) << "read " << i;
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A loopback port that nothing listens on: bound for a moment to get it, then let go.
std::uint16_t UnusedPort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
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

struct BodyCase {
  const char* what;
  std::size_t size;
  Framing framing;
  std::vector<std::size_t> writes;  // how the server cuts the body; empty: one write
};

void PrintTo(const BodyCase& bodyCase, std::ostream* out) { *out << bodyCase.what; }

class BodyTest : public InternetTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BodyTest, ComesWholeAndInOrderInReadsOfAtMostTheChunk) {
  const BodyCase& bodyCase = GetParam();
  const std::string body = PatternBody(bodyCase.size);
  server_.Serve("/page", ScriptedReply::Split(body, bodyCase.writes, 10ms, bodyCase.framing));

  const Download download = ReadAll(platform_, server_.Url("/page"));

  EXPECT_TRUE(download.opened);
  EXPECT_EQ(download.body.size(), body.size());
  EXPECT_TRUE(download.body == body) << "the body came back changed";
  ExpectReadsWithin(download, kChunk);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, BodyTest,
    ::testing::Values(
        BodyCase{"empty", 0, Framing::kContentLength, {}},
        BodyCase{"one byte", 1, Framing::kContentLength, {}},
        BodyCase{"exactly one chunk", 2048, Framing::kContentLength, {}},
        BodyCase{"one chunk and a byte", 2049, Framing::kContentLength, {}},
        BodyCase{"5000 bytes", 5000, Framing::kContentLength, {}},
        BodyCase{"5000 bytes in odd writes", 5000, Framing::kContentLength, {1, 999, 2048, 3}},
        BodyCase{"5000 bytes chunked", 5000, Framing::kChunked, {700, 2100}},
        BodyCase{"empty chunked", 0, Framing::kChunked, {}},
        BodyCase{"5000 bytes until close", 5000, Framing::kUntilClose, {4000}},
        BodyCase{"200 KiB", 200 * 1024, Framing::kContentLength, {}}));

TEST_F(InternetTest, EveryReadDeliversNoMoreThanAsked) {
  const std::string body = PatternBody(5000);
  server_.Serve("/page", ScriptedReply::Body(body));
  const Download download = ReadAll(platform_, server_.Url("/page"), 100);
  EXPECT_TRUE(download.body == body);
  ExpectReadsWithin(download, 100);
}

TEST_F(InternetTest, BytesAboveSevenBitsAreKept) {
  const std::string body = "caf\xc3\xa9 \x80\x81\xfe\xff, 12:00:00 Universal Time\n";
  server_.Serve("/page", ScriptedReply::Body(body));
  EXPECT_EQ(ReadAll(platform_, server_.Url("/page")).body, body);
}

TEST_F(InternetTest, TheBodyOfAnErrorReplyIsReturnedLikeAnyOther) {
  for (const auto& [status, reason] :
       std::vector<std::pair<int, std::string>>{{404, "Not Found"}, {500, "Server Error"}}) {
    const std::string body = "no time here: " + std::to_string(status);
    server_.Serve("/page", ScriptedReply::WithStatus(status, reason, body));
    const Download download = ReadAll(platform_, server_.Url("/page"));
    EXPECT_TRUE(download.opened) << status;
    EXPECT_EQ(download.body, body) << status;
  }
}

TEST_F(InternetTest, NothingListeningFailsTheOpen) {
  const std::string address = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/page";
  const auto start = std::chrono::steady_clock::now();
  const InternetHandle session = platform_.InternetOpen(kAgent);
  ASSERT_NE(session, 0u);
  EXPECT_EQ(platform_.InternetOpenUrl(session, address), 0u);
  char buffer[kChunk];
  EXPECT_EQ(platform_.InternetReadFile(0, buffer, kChunk), 0u);  // what the download does next
  platform_.InternetCloseHandle(session);
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST_F(InternetTest, AConnectionThatIsNeverAcceptedFailsTheOpenAtTheConnectTimeout) {
  FullListener listener;
  if (!listener.Full()) GTEST_SKIP() << "the kernel kept accepting connections";
  DownloadLimits limits = QuickLimits();
  limits.connectTimeout = 500ms;
  limits.stallTime = 10s;  // only the connect timeout may end it
  LinuxPlatform platform({}, limits);

  const auto start = std::chrono::steady_clock::now();
  const Download download =
      ReadAll(platform, "http://127.0.0.1:" + std::to_string(listener.Port()) + "/page");
  const double seconds = SecondsSince(start);
  EXPECT_FALSE(download.opened);
  EXPECT_EQ(download.body, "");
  EXPECT_GE(seconds, 0.4);
  EXPECT_LT(seconds, 3.0);
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
  const Download download = ReadAll(platform_, server_.Url("/page"));
  EXPECT_TRUE(download.opened);
  EXPECT_EQ(download.body.size(), 3000u);
  EXPECT_TRUE(download.body == body.substr(0, 3000));
  ExpectReadsWithin(download, kChunk);
}

TEST_F(InternetTest, ADrippingServerIsCutOffByTheStallLimit) {
  // Ten bytes a second against a floor of 64 a second for one second; the whole body would take
  // 30 seconds.
  const std::string body = PatternBody(300);
  server_.Serve("/page", ScriptedReply::Drip(body, 100ms));
  const auto start = std::chrono::steady_clock::now();
  const Download download = ReadAll(platform_, server_.Url("/page"));
  const double seconds = SecondsSince(start);

  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 4.0);
  EXPECT_GT(download.body.size(), 0u);
  EXPECT_LT(download.body.size(), body.size());
  EXPECT_TRUE(download.body == body.substr(0, download.body.size()));
  ExpectReadsWithin(download, kChunk);
}

TEST_F(InternetTest, AServerThatNeverAnswersFailsTheOpenAtTheStallLimit) {
  server_.Serve("/page", ScriptedReply::NeverAnswer());
  const auto start = std::chrono::steady_clock::now();
  const Download download = ReadAll(platform_, server_.Url("/page"));
  const double seconds = SecondsSince(start);
  EXPECT_FALSE(download.opened);
  EXPECT_EQ(download.body, "");
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 4.0);
}

TEST_F(InternetTest, AnEndlessBodyStopsAtTheSizeCap) {
  DownloadLimits limits = QuickLimits();
  limits.sizeCap = 64 * 1024 + 17;
  LinuxPlatform platform({}, limits);
  const std::string piece = PatternBody(1000);
  server_.Serve("/page", ScriptedReply::Endless(piece, 0ms));

  const Download download = ReadAll(platform, server_.Url("/page"));

  ASSERT_EQ(download.body.size(), limits.sizeCap);
  for (std::size_t offset = 0; offset < download.body.size(); offset += piece.size()) {
    ASSERT_TRUE(
        download.body.compare(offset, piece.size(), piece, 0, download.body.size() - offset) == 0)
        << "at " << offset;
  }
  ExpectReadsWithin(download, kChunk);
}

TEST_F(InternetTest, TheDefaultLimitsTakeABodyOfOneAndAHalfMebibytes) {
  LinuxPlatform platform;
  const std::string body = PatternBody(1536 * 1024);
  server_.Serve("/page", ScriptedReply::Body(body));
  const Download download = ReadAll(platform, server_.Url("/page"));
  EXPECT_EQ(download.body.size(), body.size());
  EXPECT_TRUE(download.body == body);
}

TEST_F(InternetTest, ASteadyButEndlessBodyStopsAtTheDeadline) {
  DownloadLimits limits = QuickLimits();
  limits.overallDeadline = 800ms;
  LinuxPlatform platform({}, limits);
  // Ten kilobytes a second: far above the stall floor, so only the deadline can end it.
  server_.Serve("/page", ScriptedReply::Endless(std::string(200, 'x'), 20ms));

  const auto start = std::chrono::steady_clock::now();
  const Download download = ReadAll(platform, server_.Url("/page"));
  const double seconds = SecondsSince(start);

  EXPECT_GE(seconds, 0.7);
  EXPECT_LT(seconds, 3.0);
  EXPECT_GT(download.body.size(), 0u);
  EXPECT_EQ(download.body, std::string(download.body.size(), 'x'));
  ExpectReadsWithin(download, kChunk);
}

TEST_F(InternetTest, TheRequestIsAFreshGetWithTheAgentName) {
  server_.Serve("/cgi-bin/timer.pl", ScriptedReply::Body("ok"));
  ReadAll(platform_, server_.Url("/cgi-bin/timer.pl"));

  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& request = requests[0];
  EXPECT_EQ(request.requestLine, "GET /cgi-bin/timer.pl HTTP/1.1");
  EXPECT_EQ(request.Header("User-Agent"), "VB Project");
  EXPECT_EQ(request.Header("Cache-Control"), "no-cache");
  EXPECT_EQ(request.Header("Pragma"), "no-cache");
  EXPECT_EQ(request.Header("Host"), "127.0.0.1:" + std::to_string(server_.Port()));
}

TEST_F(InternetTest, ARedirectIsFollowed) {
  server_.Serve("/old", ScriptedReply::Redirect(302, "/new"));
  server_.Serve("/new", ScriptedReply::Body("arrived"));
  const Download download = ReadAll(platform_, server_.Url("/old"));
  EXPECT_EQ(download.body, "arrived");
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/new");
  EXPECT_EQ(requests[1].Header("User-Agent"), "VB Project");
}

TEST_F(InternetTest, ARedirectLoopEndsAfterTheRedirectLimit) {
  server_.Serve("/loop", ScriptedReply::Redirect(301, "/loop"));
  const Download download = ReadAll(platform_, server_.Url("/loop"));
  EXPECT_EQ(download.body, "");
  EXPECT_EQ(server_.Requests().size(), 6u) << "the first request and five redirects followed";
}

TEST_F(InternetTest, TheProxyOfTheEnvironmentIsUsed) {
  // Nothing listens at 127.0.0.2:9: the page can only come through the proxy.
  environment_.Set("http_proxy", server_.Url(""));
  const std::string address = "http://127.0.0.2:9/cgi-bin/timer.pl";
  server_.Serve(address, ScriptedReply::Body("through the proxy"));

  EXPECT_EQ(ReadAll(platform_, address).body, "through the proxy");
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, address);
  EXPECT_EQ(requests[0].Header("User-Agent"), "VB Project");
}

TEST_F(InternetTest, TheFirstReadDoesNotWaitForTheWholeBody) {
  const std::string body = PatternBody(5000);
  server_.Serve("/page", ScriptedReply::Split(body, {100}, 1500ms));
  const InternetHandle session = platform_.InternetOpen(kAgent);
  const InternetHandle url = platform_.InternetOpenUrl(session, server_.Url("/page"));
  ASSERT_NE(url, 0u);

  const auto start = std::chrono::steady_clock::now();
  char buffer[kChunk];
  const std::uint32_t first = platform_.InternetReadFile(url, buffer, kChunk);
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_GT(first, 0u);
  EXPECT_LE(first, 100u);

  std::string rest(buffer, first);
  for (int i = 0; i < kMaxReads; ++i) {
    const std::uint32_t count = platform_.InternetReadFile(url, buffer, kChunk);
    if (count == 0) break;
    rest.append(buffer, count);
  }
  EXPECT_TRUE(rest == body);
  platform_.InternetCloseHandle(url);
  platform_.InternetCloseHandle(session);
}

TEST_F(InternetTest, ASlowReaderHoldsLittleOfAFastBody) {
  // Received but unread body stays within one of libcurl's receive chunks, however much the
  // server has already pushed into the socket.
  constexpr std::size_t kCurlReceiveChunk = 16 * 1024;
  const std::string body = PatternBody(4 * 1024 * 1024);
  server_.Serve("/page", ScriptedReply::Body(body));
  CurlInternet internet(QuickLimits());
  const InternetHandle session = internet.OpenSession(kAgent);
  const InternetHandle url = internet.OpenUrl(session, server_.Url("/page"));
  ASSERT_NE(url, 0u);
  std::this_thread::sleep_for(200ms);  // the server fills the socket buffers meanwhile

  std::string got;
  char buffer[kChunk];
  for (int i = 0; i < kMaxReads; ++i) {
    const std::uint32_t count = internet.Read(url, buffer, i < 300 ? 1 : kChunk);
    ASSERT_LE(internet.HeldBytes(url), kCurlReceiveChunk) << "after read " << i;
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
  EXPECT_EQ(ReadAll(platform, server_.Url("/page")).body, "12:00:00 Universal");
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

}  // namespace
}  // namespace tidewell
