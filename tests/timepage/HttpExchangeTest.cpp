// Reading request heads and writing replies, without sockets.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

#include "HttpExchange.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono;

const Second kSecond = sys_days{2026y / December / 7} + 11h + 20min + 33s;

struct HeadEndCase {
  const char* what;
  std::string buffer;
  std::size_t expected;
};

class HeadEnd : public ::testing::TestWithParam<HeadEndCase> {};

TEST_P(HeadEnd, IsFoundWhereverTheHeadIsSplit) {
  const HeadEndCase& c = GetParam();
  EXPECT_EQ(FindHeadEnd(c.buffer, 0), c.expected) << c.what;
  // The same head arriving one byte at a time, scanned from where the last read ended.
  std::size_t found = 0;
  for (std::size_t size = 1; size <= c.buffer.size() && found == 0; ++size) {
    found = FindHeadEnd(std::string_view{c.buffer}.substr(0, size), size - 1);
  }
  EXPECT_EQ(found, c.expected) << c.what << " (byte by byte)";
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeadEnd,
    ::testing::Values(HeadEndCase{"CRLF", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 27},
                      HeadEndCase{"bare LF", "GET / HTTP/1.1\nHost: a\n\n", 24},
                      HeadEndCase{"body after the head", "GET / HTTP/1.1\r\n\r\nxyz", 18},
                      HeadEndCase{"not complete", "GET / HTTP/1.1\r\nHost: a\r\n", 0},
                      HeadEndCase{"not complete: one CRLF and a CR", "GET / HTTP/1.1\r\n\r", 0},
                      HeadEndCase{"empty", "", 0}));

// A complete head of exactly `length` bytes (at least 23).
std::string HeadOfLength(std::size_t length) {
  return "GET / HTTP/1.1\r\nX: " + std::string(length - 23, 'x') + "\r\n\r\n";
}

struct FrameCase {
  const char* what;
  std::string buffer;
  std::size_t scannedUpTo;
  unsigned answeredSoFar;
  Framing framing;
  std::size_t headLength;
  bool last;
};

class Frame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frame, SaysWhatTheConnectionDoesNext) {
  const FrameCase& c = GetParam();
  const RequestFrame frame = FrameRequest(c.buffer, c.scannedUpTo, c.answeredSoFar);
  EXPECT_EQ(frame.framing, c.framing) << c.what;
  EXPECT_EQ(frame.headLength, c.headLength) << c.what;
  EXPECT_EQ(frame.last, c.last) << c.what;
}

const std::string kGet = "GET / HTTP/1.1\r\n\r\n";  // 18 bytes

INSTANTIATE_TEST_SUITE_P(
    Table, Frame,
    ::testing::Values(
        FrameCase{"no empty line yet", "GET / HTTP/1.1\r\nHost: a\r\n", 0, 0, Framing::kNeedMore, 0,
                  false},
        FrameCase{"the first head", kGet, 0, 0, Framing::kHead, 18, false},
        FrameCase{"pipelined: the first head only", kGet + "GET /b HTTP/1.1\r\n\r\n", 0, 0,
                  Framing::kHead, 18, false},
        FrameCase{"the end split over two reads", kGet, 17, 0, Framing::kHead, 18, false},
        FrameCase{"the 99th request", kGet, 0, 98, Framing::kHead, 18, false},
        FrameCase{"the 100th request is the last", kGet, 0, 99, Framing::kHead, 18, true},
        FrameCase{"no 101st request", kGet, 0, 100, Framing::kConnectionSpent, 0, false},
        FrameCase{"a head of the largest size", HeadOfLength(kMaxRequestHead), 0, 0, Framing::kHead,
                  kMaxRequestHead, false},
        FrameCase{"a head one byte too large", HeadOfLength(kMaxRequestHead + 1), 0, 0,
                  Framing::kHeadTooLarge, 0, false},
        FrameCase{"the largest size without an end: read on", std::string(kMaxRequestHead, 'x'), 0,
                  0, Framing::kNeedMore, 0, false},
        FrameCase{"one byte more without an end", std::string(kMaxRequestHead + 1, 'x'),
                  kMaxRequestHead, 0, Framing::kHeadTooLarge, 0, false},
        FrameCase{"a large next request does not count against this one",
                  kGet + std::string(2 * kMaxRequestHead, 'x'), 0, 5, Framing::kHead, 18, false}));

struct RouteCase {
  std::string requestLine;
  Route route;
  bool headOnly;
  std::string path;
};

class Routing : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Routing, SendsEachRequestWhereItBelongs) {
  const RouteCase& c = GetParam();
  const RoutedRequest request = RouteRequest(c.requestLine + "\r\nHost: x\r\n\r\n");
  EXPECT_EQ(request.route, c.route) << c.requestLine;
  EXPECT_EQ(request.headOnly, c.headOnly) << c.requestLine;
  EXPECT_EQ(request.path, c.path) << c.requestLine;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Routing,
    ::testing::Values(
        RouteCase{"GET /cgi-bin/timer.pl HTTP/1.1", Route::kTimePage, false, "/cgi-bin/timer.pl"},
        RouteCase{"GET /cgi-bin/timer.pl HTTP/1.0", Route::kTimePage, false, "/cgi-bin/timer.pl"},
        RouteCase{"GET /cgi-bin/timer.pl?x=1&y HTTP/1.1", Route::kTimePage, false,
                  "/cgi-bin/timer.pl"},
        RouteCase{"GET http://time.example/cgi-bin/timer.pl HTTP/1.1", Route::kTimePage, false,
                  "/cgi-bin/timer.pl"},
        RouteCase{"HEAD /cgi-bin/timer.pl HTTP/1.1", Route::kTimePage, true, "/cgi-bin/timer.pl"},
        RouteCase{"GET /cgi-bin/timer.pl/ HTTP/1.1", Route::kNotFound, false, "/cgi-bin/timer.pl/"},
        RouteCase{"GET /CGI-BIN/TIMER.PL HTTP/1.1", Route::kNotFound, false, "/CGI-BIN/TIMER.PL"},
        RouteCase{"GET / HTTP/1.1", Route::kNotFound, false, "/"},
        RouteCase{"HEAD /nothing HTTP/1.1", Route::kNotFound, true, "/nothing"},
        RouteCase{"POST /cgi-bin/timer.pl HTTP/1.1", Route::kMethodNotAllowed, false,
                  "/cgi-bin/timer.pl"},
        RouteCase{"get /cgi-bin/timer.pl HTTP/1.1", Route::kMethodNotAllowed, false,
                  "/cgi-bin/timer.pl"},
        RouteCase{"DELETE /x HTTP/1.1", Route::kMethodNotAllowed, false, "/x"},
        RouteCase{"GET /cgi-bin/timer.pl", Route::kBadRequest, false, ""},
        RouteCase{"GET /cgi-bin/timer.pl HTTP/2.0", Route::kBadRequest, false, ""},
        RouteCase{"GET  HTTP/1.1", Route::kBadRequest, false, ""},
        RouteCase{"G(T /cgi-bin/timer.pl HTTP/1.1", Route::kBadRequest, false, ""},
        RouteCase{"", Route::kBadRequest, false, ""}));

struct KeepAliveCase {
  const char* what;
  std::string head;
  bool keepAlive;
};

class KeepAlive : public ::testing::TestWithParam<KeepAliveCase> {};

TEST_P(KeepAlive, FollowsTheVersionAndTheConnectionHeader) {
  const KeepAliveCase& c = GetParam();
  EXPECT_EQ(RouteRequest(c.head).keepAlive, c.keepAlive) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeepAlive,
    ::testing::Values(
        KeepAliveCase{"HTTP/1.1 by default", "HEAD / HTTP/1.1\r\nHost: x\r\n\r\n", true},
        KeepAliveCase{"HTTP/1.1 page", "GET /cgi-bin/timer.pl HTTP/1.1\r\n\r\n", true},
        KeepAliveCase{"HTTP/1.1, bare LF", "GET /cgi-bin/timer.pl HTTP/1.1\nHost: x\n\n", true},
        KeepAliveCase{"HTTP/1.1 close", "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", false},
        KeepAliveCase{"close in any case, among tokens",
                      "GET / HTTP/1.1\r\nconnection:  Upgrade , CLOSE\r\n\r\n", false},
        KeepAliveCase{"close on a bare-LF head", "GET / HTTP/1.1\nConnection: close\n\n", false},
        KeepAliveCase{"HTTP/1.1 keep-alive", "GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n",
                      true},
        KeepAliveCase{"HTTP/1.0 by default", "GET /cgi-bin/timer.pl HTTP/1.0\r\n\r\n", false},
        KeepAliveCase{"HTTP/1.0 keep-alive",
                      "GET /cgi-bin/timer.pl HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
        KeepAliveCase{"HTTP/1.0 keep-alive and close",
                      "GET / HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", false},
        KeepAliveCase{"a value that only contains the word",
                      "GET / HTTP/1.1\r\nConnection: closed\r\n\r\n", true},
        KeepAliveCase{"another header naming close",
                      "GET / HTTP/1.1\r\nX-Connection: close\r\n\r\n", true},
        KeepAliveCase{"a body follows", "GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\n", false},
        KeepAliveCase{"an empty body", "GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", true},
        KeepAliveCase{"a chunked body", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                      false},
        KeepAliveCase{"POST", "POST /cgi-bin/timer.pl HTTP/1.1\r\n\r\n", false},
        KeepAliveCase{"not HTTP", "HELLO THERE\r\n\r\n", false}));

struct PreferCase {
  const char* what;
  std::string head;
  bool noHold;
};

class Prefer : public ::testing::TestWithParam<PreferCase> {};

TEST_P(Prefer, FindsNoHoldAsAWholePreference) {
  const PreferCase& c = GetParam();
  EXPECT_EQ(RouteRequest(c.head).preferNoHold, c.noHold) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Prefer,
    ::testing::Values(
        PreferCase{"alone", "GET /cgi-bin/timer.pl HTTP/1.1\r\nPrefer: no-hold\r\n\r\n", true},
        PreferCase{"among others, any case",
                   "GET /cgi-bin/timer.pl HTTP/1.1\r\nprefer: respond-async, No-Hold\r\n\r\n",
                   true},
        PreferCase{"with a value and parameters",
                   "GET / HTTP/1.1\r\nPrefer: wait=5, no-hold = 1 ; x=y\r\n\r\n", true},
        PreferCase{"in a second Prefer header",
                   "GET / HTTP/1.1\r\nPrefer: wait=5\r\nPrefer: no-hold\r\n\r\n", true},
        PreferCase{"bare LF, HTTP/1.0", "GET / HTTP/1.0\nPrefer:no-hold\n\n", true},
        PreferCase{"no Prefer", "GET /cgi-bin/timer.pl HTTP/1.1\r\n\r\n", false},
        PreferCase{"a longer word", "GET / HTTP/1.1\r\nPrefer: no-holding\r\n\r\n", false},
        PreferCase{"only a value", "GET / HTTP/1.1\r\nPrefer: hold=no-hold\r\n\r\n", false},
        PreferCase{"inside a quoted value", "GET / HTTP/1.1\r\nPrefer: x=\"a, no-hold\"\r\n\r\n",
                   false},
        PreferCase{"another header", "GET / HTTP/1.1\r\nX-Prefer: no-hold\r\n\r\n", false},
        PreferCase{"in the request line only", "GET /no-hold HTTP/1.1\r\n\r\n", false}));

struct FiguresCase {
  const char* what;
  nanoseconds hold;
  nanoseconds age;
  bool noHoldApplied;
  std::string lines;
};

class Figures : public ::testing::TestWithParam<FiguresCase> {};

TEST_P(Figures, AreMillisecondsToTheMicrosecond) {
  const FiguresCase& c = GetParam();
  std::array<char, kReplyFiguresCapacity> out{};
  const std::size_t length = FormatReplyFigures(c.hold, c.age, c.noHoldApplied, out);
  EXPECT_EQ(std::string(out.data(), length), c.lines) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Figures,
    ::testing::Values(FiguresCase{"held", 412'503'000ns, 61'000ns, false,
                                  "Server-Timing: hold;dur=412.503, age;dur=0.061\r\n"},
                      FiguresCase{"immediate, asked for", 4'200ns, 987'250'400ns, true,
                                  "Server-Timing: hold;dur=0.004, age;dur=987.250\r\n"
                                  "Preference-Applied: no-hold\r\n"},
                      FiguresCase{"rounded to the microsecond", 1'999'500ns, 499ns, false,
                                  "Server-Timing: hold;dur=2.000, age;dur=0.000\r\n"},
                      FiguresCase{"zero and past a second", 0ns, 1'000'001'000ns, false,
                                  "Server-Timing: hold;dur=0.000, age;dur=1000.001\r\n"},
                      FiguresCase{"never negative", -5ms, -1ns, false,
                                  "Server-Timing: hold;dur=0.000, age;dur=0.000\r\n"},
                      FiguresCase{"the largest shown, both lines fit", 100h, 100h, true,
                                  "Server-Timing: hold;dur=86400000.000, age;dur=86400000.000\r\n"
                                  "Preference-Applied: no-hold\r\n"}));

// The head of a reply as name/value text, for looking up one header.
std::string HeaderValue(const Response& response, const std::string& name) {
  const std::string head = response.bytes.substr(0, response.headerLength);
  const std::size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "<missing>";
  const std::size_t start = at + 4 + name.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

TEST(Replies, TimePageCarriesTheHeadersItPromises) {
  const Response response = TimePageResponse(kSecond);
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.bytes.starts_with("HTTP/1.1 200 OK\r\n"));
  ASSERT_GE(response.headerLength, 4u);
  EXPECT_EQ(response.bytes.substr(response.headerLength - 4, 4), "\r\n\r\n");
  const std::string body = response.bytes.substr(response.headerLength);
  EXPECT_EQ(body, RenderTimePage(kSecond));
  EXPECT_EQ(HeaderValue(response, "Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(HeaderValue(response, "Content-Type"), "text/html");
  EXPECT_EQ(HeaderValue(response, "Connection"), "close");
  EXPECT_EQ(HeaderValue(response, "Cache-Control"), "no-cache");
  EXPECT_EQ(HeaderValue(response, "Date"), "Mon, 07 Dec 2026 11:20:33 GMT");
  // The lines of each reply go right before the empty line that ends the head.
  EXPECT_EQ(response.figuresAt, response.headerLength - 2);
}

TEST(Replies, AKeptConnectionIsAnnouncedAndTheRestIsTheSame) {
  const Response closing = TimePageResponse(kSecond, AfterReply::kClose);
  const Response keeping = TimePageResponse(kSecond, AfterReply::kKeepOpen);
  EXPECT_EQ(HeaderValue(closing, "Connection"), "close");
  EXPECT_EQ(HeaderValue(keeping, "Connection"), "keep-alive");
  std::string expected = closing.bytes;
  expected.replace(expected.find("Connection: close"), 17, "Connection: keep-alive");
  EXPECT_EQ(keeping.bytes, expected);
  // A HEAD reply sends the head alone: everything up to and including the first blank line.
  EXPECT_EQ(keeping.headerLength, keeping.bytes.find("\r\n\r\n") + 4);
  EXPECT_EQ(
      HeaderValue(ResponseFor(Route::kNotFound, kSecond, AfterReply::kKeepOpen), "Connection"),
      "keep-alive");
}

struct ErrorCase {
  Route route;
  int status;
  std::string statusLine;
};

class ErrorReplies : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorReplies, AreShortAndComplete) {
  const ErrorCase& c = GetParam();
  const Response response = ResponseFor(c.route, kSecond);
  EXPECT_EQ(response.status, c.status);
  EXPECT_TRUE(response.bytes.starts_with(c.statusLine + "\r\n")) << response.bytes;
  const std::string body = response.bytes.substr(response.headerLength);
  EXPECT_FALSE(body.empty());
  EXPECT_LT(body.size(), 100u);
  EXPECT_EQ(HeaderValue(response, "Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(HeaderValue(response, "Connection"), "close");
  EXPECT_EQ(HeaderValue(response, "Date"), "Mon, 07 Dec 2026 11:20:33 GMT");
  EXPECT_EQ(HeaderValue(response, "Allow") == "GET, HEAD", c.status == 405);
  EXPECT_EQ(response.figuresAt, response.headerLength - 2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorReplies,
    ::testing::Values(ErrorCase{Route::kNotFound, 404, "HTTP/1.1 404 Not Found"},
                      ErrorCase{Route::kMethodNotAllowed, 405, "HTTP/1.1 405 Method Not Allowed"},
                      ErrorCase{Route::kBadRequest, 400, "HTTP/1.1 400 Bad Request"},
                      ErrorCase{Route::kHeadTooLarge, 431,
                                "HTTP/1.1 431 Request Header Fields Too Large"}));

}  // namespace
}  // namespace tidewell::timepage
