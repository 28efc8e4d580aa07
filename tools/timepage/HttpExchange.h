#pragma once

// The HTTP side of the time-page server: finding the end of a request head, deciding what the
// request asks for and writing the replies. Pure functions, so they are tested without sockets.

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "TimePage.h"

namespace tidewell::timepage {

inline constexpr std::string_view kTimePagePath = "/cgi-bin/timer.pl";
// A request head longer than this gets 431 and the connection is closed: no client of a time
// page needs more, and it bounds what one connection can make the server hold.
inline constexpr std::size_t kMaxRequestHead = 8 * 1024;
// A persistent connection carries at most this many requests; the reply to the last says
// "Connection: close" and the server closes.
inline constexpr unsigned kMaxRequestsPerConnection = 100;

// The length of the request head in `buffer`, up to and including the empty line that ends it
// (CRLF CRLF, or LF LF from sloppy clients), or 0 while it is not complete. The search starts
// at `from`, so a head that arrives in pieces is scanned once; pass the previous buffer size.
std::size_t FindHeadEnd(std::string_view buffer, std::size_t from);

// What the bytes read on a connection call for next.
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
  // The client may send its next request on the same connection: a GET or HEAD without a
  // body, in HTTP/1.1 unless it says "Connection: close", in HTTP/1.0 only when it says
  // "Connection: keep-alive". Everything else ends the connection after the reply.
  bool keepAlive = false;
  // "Prefer: no-hold" (RFC 7240, among any other preferences): the client reads the reply's
  // figures, so it wants the page at once rather than on the next whole second.
  bool preferNoHold = false;
};

// Reads the request line of a complete head, and the headers that decide whether the connection
// may carry another request, and the Prefer headers. A query string is ignored, and an absolute
// target ("http://host/cgi-bin/timer.pl", as proxies send it) is reduced to its path.
RoutedRequest RouteRequest(std::string_view head);

// The Connection header of a reply: whether the server closes after it.
enum class ConnectionHeader {
  kClose,      // "Connection: close": the last reply on the connection
  kKeepAlive,  // "Connection: keep-alive": the connection stays open for the next request
};

struct Response {
  int status = 0;
  std::string bytes;             // status line, headers and body
  std::size_t headerLength = 0;  // how much of `bytes` a HEAD reply sends
  // Where the header lines of one reply go (ReplyFigures): before the empty line that ends
  // the head. A page is rendered once and shared, so these are written in around it.
  std::size_t figuresAt = 0;
};

// The header lines that one reply carries of its own: "Server-Timing: hold;dur=H, age;dur=A"
// in milliseconds to the microsecond, where hold runs from the request head being complete to
// the reply being written and age from the start of the page's second to the reply being
// written; then, when the client asked for it, "Preference-Applied: no-hold".
inline constexpr std::size_t kReplyFiguresCapacity = 96;
// Each figure is shown at most this large; no reply is ever near it.
inline constexpr std::chrono::nanoseconds kLargestShownFigure = std::chrono::hours{24};
// Writes the lines into `out` and returns their length.
std::size_t FormatReplyFigures(std::chrono::nanoseconds hold, std::chrono::nanoseconds age,
                               bool noHoldApplied, std::span<char, kReplyFiguresCapacity> out);

// 200 with the time page for `served`; its Date header names the same second.
Response TimePageResponse(Second served, ConnectionHeader connection = ConnectionHeader::kClose);
// The short reply for a request that is not answered with the page; `now` dates it, except a 503
// for an unsynchronised clock, which carries "Retry-After" and no Date: an origin server
// without a clock it can trust sends none (RFC 9110).
Response ErrorResponse(Route route, Second now,
                       ConnectionHeader connection = ConnectionHeader::kClose);

}  // namespace tidewell::timepage
