#pragma once

// The HTTP side of the time-page server: framing request heads, reading what they ask for, and
// the replies. Pure functions, so they are tested without sockets.

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "TimePage.h"

namespace tidewell::timepage {

inline constexpr std::string_view kTimePagePath = "/cgi-bin/timer.pl";
// A longer request head gets 431 and the connection is closed: no client of a time page needs
// more, and it bounds what one connection can make the server hold.
inline constexpr std::size_t kMaxRequestHead = 8 * 1024;
// The reply to the last request of a persistent connection says "Connection: close".
inline constexpr unsigned kMaxRequestsPerConnection = 100;

// The length of the request head in `buffer`, up to and including the empty line that ends it
// (CRLF CRLF, or LF LF from sloppy clients), or 0 while it is not complete. The search starts
// at `from`, so a head that arrives in pieces is scanned once; pass the previous buffer size.
std::size_t FindHeadEnd(std::string_view buffer, std::size_t from);

enum class Framing {
  kNeedMore,         // no whole head at the front yet: read on
  kHead,             // a whole head at the front, to be taken and answered
  kHeadTooLarge,     // more than kMaxRequestHead bytes without the end of a head: 431, close
  kConnectionSpent,  // the connection has carried all the requests it may: take no more
};

struct RequestFrame {
  Framing framing = Framing::kNeedMore;
  std::size_t headLength = 0;  // kHead: the head's bytes at the front of the buffer
  bool last = false;           // kHead: the connection may carry no request after this one
};

// Frames the next request of a connection: `buffer` holds what was read and not yet taken, the
// next head at its front; `scannedUpTo` how much of it an earlier call searched (0 after a head
// was taken); `answeredSoFar` counts the requests the connection has taken.
RequestFrame FrameRequest(std::string_view buffer, std::size_t scannedUpTo, unsigned answeredSoFar);

// How a request is answered, in the order of the status lines in HttpExchange.cpp.
enum class Route {
  kTimePage,             // GET or HEAD of the time page
  kNotFound,             // GET or HEAD of anything else
  kMethodNotAllowed,     // any other method
  kBadRequest,           // a request line that is not HTTP/1.x
  kHeadTooLarge,         // more than kMaxRequestHead bytes without the end of the head
  kClockUnsynchronised,  // the page, while the server cannot vouch for its clock: 503
};

struct RoutedRequest {
  Route route = Route::kBadRequest;
  bool headOnly = false;  // HEAD: the headers of the reply without its body
  std::string path;       // the path asked for, without the query; empty when unreadable
  // The next request may follow on the connection: a GET or HEAD without a body, in HTTP/1.1
  // unless it says "Connection: close", in HTTP/1.0 only with "Connection: keep-alive".
  bool keepAlive = false;
  // "Prefer: no-hold" (RFC 7240): the client reads the reply's figures, so it wants the page at
  // once rather than on the next whole second.
  bool preferNoHold = false;
};

// Reads the request line of a complete head and its Connection, body and Prefer headers. A query
// is ignored, and an absolute target (as proxies send it) is reduced to its path.
RoutedRequest RouteRequest(std::string_view head);

// Whether a reply is the last on its connection ("Connection: close", and the server shuts its
// sending side after it) or the next request may follow ("Connection: keep-alive").
enum class AfterReply { kClose, kKeepOpen };

struct Response {
  int status = 0;
  std::string bytes;             // status line, headers and body
  std::size_t headerLength = 0;  // how much of `bytes` a HEAD reply sends
  // Where the lines of one reply (FormatReplyFigures) go: before the empty line that ends the
  // head. A page is rendered once and shared, so these are written in around it.
  std::size_t figuresAt = 0;
};

// The lines that one reply carries of its own: "Server-Timing: hold;dur=H, age;dur=A" in
// milliseconds to the microsecond, where hold runs from the request head being complete and age
// from the start of the page's second, both to the reply being written; then, when the client
// asked for it, "Preference-Applied: no-hold". Written into `out`; gives their length.
inline constexpr std::size_t kReplyFiguresCapacity = 96;
// Each figure is shown at most this large; no reply is ever near it.
inline constexpr std::chrono::nanoseconds kLargestShownFigure = std::chrono::hours{24};
std::size_t FormatReplyFigures(std::chrono::nanoseconds hold, std::chrono::nanoseconds age,
                               bool noHoldApplied, std::span<char, kReplyFiguresCapacity> out);

// The reply for `route`, dated `second`: the page for kTimePage, else a short text. The 503 for
// an unsynchronised clock carries "Retry-After" and no Date: an origin server without a clock it
// can trust sends none (RFC 9110).
Response ResponseFor(Route route, Second second, AfterReply after = AfterReply::kClose);
inline Response TimePageResponse(Second served, AfterReply after = AfterReply::kClose) {
  return ResponseFor(Route::kTimePage, served, after);
}

}  // namespace tidewell::timepage
