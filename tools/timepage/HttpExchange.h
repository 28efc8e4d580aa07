#pragma once

// The HTTP of the time-page server: framing and reading requests, and the replies. Pure
// functions, so they are tested without sockets.

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "TimePage.h"

namespace tidewell::timepage {

inline constexpr std::string_view kTimePagePath = "/cgi-bin/timer.pl";
// Beyond it 431: it bounds what one connection can make the server hold.
inline constexpr std::size_t kMaxRequestHead = 8 * 1024;
inline constexpr unsigned kMaxRequestsPerConnection = 100;

// The length of the head with the empty line that ends it (CRLF CRLF, or LF LF), or 0. It
// searches from `from`, the buffer's previous size, so that a head in pieces is scanned once.
std::size_t FindHeadEnd(std::string_view buffer, std::size_t from);

// kHeadTooLarge: more than kMaxRequestHead bytes without the end of a head, answered 431.
enum class Framing { kNeedMore, kHead, kHeadTooLarge, kConnectionSpent };

struct RequestFrame {
  Framing framing = Framing::kNeedMore;
  std::size_t headLength = 0;  // kHead: the head's bytes at the front of the buffer
  bool last = false;           // kHead: the connection may carry no request after this one
};

// `buffer` holds what was read and not yet taken, `scannedUpTo` how much of it was searched.
RequestFrame FrameRequest(std::string_view buffer, std::size_t scannedUpTo, unsigned answeredSoFar);

// In the order of the status lines in HttpExchange.cpp. kClockUnsynchronised: the page, while
// the server cannot vouch for its clock.
enum class Route {
  kTimePage,
  kNotFound,
  kMethodNotAllowed,
  kBadRequest,
  kHeadTooLarge,
  kClockUnsynchronised,
};

struct RoutedRequest {
  Route route = Route::kBadRequest;
  bool headOnly = false;  // HEAD
  std::string path;       // without the query; empty when unreadable
  // A GET or HEAD without a body: in HTTP/1.1 unless "Connection: close", in HTTP/1.0 only
  // with "Connection: keep-alive".
  bool keepAlive = false;
  // "Prefer: no-hold" (RFC 7240): the client reads the figures and wants the page at once.
  bool preferNoHold = false;
};

// An absolute target, as proxies send it, is reduced to its path.
RoutedRequest RouteRequest(std::string_view head);

// "Connection: close", and the server shuts its side after the reply, or "keep-alive".
enum class AfterReply { kClose, kKeepOpen };

struct Response {
  int status = 0;
  std::string bytes;             // status line, headers and body
  std::size_t headerLength = 0;  // how much of `bytes` a HEAD reply sends
  // A page is rendered once and shared; the lines of one reply (FormatReplyFigures) are written
  // in here, before the empty line that ends the head.
  std::size_t figuresAt = 0;
};

// "Server-Timing: hold;dur=H, age;dur=A" (ms): hold from the head being complete, age from the
// page's second; then, when asked for, "Preference-Applied: no-hold". Gives their length.
inline constexpr std::size_t kReplyFiguresCapacity = 96;
inline constexpr std::chrono::nanoseconds kLargestShownFigure = std::chrono::hours{24};
std::size_t FormatReplyFigures(std::chrono::nanoseconds hold, std::chrono::nanoseconds age,
                               bool noHoldApplied, std::span<char, kReplyFiguresCapacity> out);

// The page, or a short text. The 503 for an unsynchronised clock carries "Retry-After" and no
// Date: an origin server without a clock it can trust sends none (RFC 9110).
Response ResponseFor(Route route, Second second, AfterReply after = AfterReply::kClose);
inline Response TimePageResponse(Second served, AfterReply after = AfterReply::kClose) {
  return ResponseFor(Route::kTimePage, served, after);
}

}  // namespace tidewell::timepage
