#include "HttpExchange.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "HttpFieldText.h"

namespace tidewell::timepage {
namespace {

using http::EqualsNoCase;
using http::StartsWithNoCase;
using http::TrimBlanks;

constexpr std::string_view kServerName = "tidewell-timepage";
constexpr std::string_view kAllowedMethods = "GET, HEAD";
constexpr std::string_view kNoHoldPreference = "no-hold";
constexpr std::string_view kHeadEnd = "\r\n";
// When a client refused for an unsynchronised clock may ask again.
constexpr std::chrono::seconds kRetryAfter{30};

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view{"!#$%&'*+-.^_`|~"}.find(c) != std::string_view::npos;
  });
}

bool IsTargetText(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
  });
}

// "HTTP/1.0", "HTTP/1.1": the only versions a plain-HTTP request line can carry here.
bool IsHttp1Version(std::string_view text) {
  return text.size() == 8 && text.starts_with("HTTP/1.") &&
         std::isdigit(static_cast<unsigned char>(text[7])) != 0;
}

// Whether the comma-separated list `value` (Connection, Prefer) names `token` in any case. An
// item is a name that may carry "=value" and ";parameters", where a quoted value may itself hold
// commas.
bool ListNames(std::string_view value, std::string_view token) {
  const std::vector<std::string_view> items = http::SplitOutsideQuotes(value, ',');
  return std::any_of(items.begin(), items.end(), [&](std::string_view item) {
    return EqualsNoCase(TrimBlanks(item.substr(0, item.find_first_of("=;"))), token);
  });
}

// What the header lines of a head say about keeping the connection and answering it.
struct ConnectionHints {
  bool close = false;         // "Connection: close"
  bool keepAlive = false;     // "Connection: keep-alive"
  bool body = false;          // a body follows the head, which this server does not read
  bool preferNoHold = false;  // "Prefer: no-hold"
};

ConnectionHints ReadConnectionHints(std::string_view head) {
  ConnectionHints hints;
  for (std::size_t start = head.find('\n'); start != std::string_view::npos;) {
    const std::size_t end = head.find('\n', ++start);
    std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = TrimBlanks(line.substr(0, colon));
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsNoCase(name, "Connection")) {
      hints.close = hints.close || ListNames(value, "close");
      hints.keepAlive = hints.keepAlive || ListNames(value, "keep-alive");
    } else if (EqualsNoCase(name, "Content-Length")) {
      hints.body = hints.body || value.find_first_not_of('0') != std::string_view::npos;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      hints.body = true;
    } else if (EqualsNoCase(name, "Prefer")) {
      hints.preferNoHold = hints.preferNoHold || ListNames(value, kNoHoldPreference);
    }
  }
  return hints;
}

std::string_view PathOfTarget(std::string_view target) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (StartsWithNoCase(target, scheme)) {
      target.remove_prefix(scheme.size());
      const std::size_t slash = target.find('/');
      target = slash == std::string_view::npos ? std::string_view{"/"} : target.substr(slash);
      break;
    }
  }
  return target.substr(0, target.find_first_of("?#"));
}

// The status line's code and reason for each way of answering.
struct Status {
  int code;
  std::string_view reason;
};

Status StatusOf(Route route) {
  switch (route) {
    case Route::kTimePage:
      return {200, "OK"};
    case Route::kNotFound:
      return {404, "Not Found"};
    case Route::kMethodNotAllowed:
      return {405, "Method Not Allowed"};
    case Route::kHeadTooLarge:
      return {431, "Request Header Fields Too Large"};
    case Route::kClockUnsynchronised:
      return {503, "Service Unavailable"};
    case Route::kBadRequest:
      break;
  }
  return {400, "Bad Request"};
}

Response Assemble(Status status, std::optional<Second> date, std::string_view contentType,
                  std::string_view body, std::string_view extraHeaders,
                  ConnectionHeader connection) {
  Response response;
  response.status = status.code;
  std::string& out = response.bytes;
  out.reserve(256 + body.size());
  out += "HTTP/1.1 " + std::to_string(status.code) + " " + std::string{status.reason};
  if (date) out += "\r\nDate: " + HttpDate(*date);
  out += "\r\nServer: " + std::string{kServerName};
  out += "\r\nContent-Type: " + std::string{contentType};
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-cache";
  out += connection == ConnectionHeader::kKeepAlive ? "\r\nConnection: keep-alive\r\n"
                                                    : "\r\nConnection: close\r\n";
  out += extraHeaders;
  response.figuresAt = out.size();
  out += kHeadEnd;
  response.headerLength = out.size();
  out += body;
  return response;
}

}  // namespace

std::size_t FindHeadEnd(std::string_view buffer, std::size_t from) {
  // Step back so that a terminator split across two reads is still seen.
  std::size_t i = from < 3 ? 0 : from - 3;
  for (; i < buffer.size(); ++i) {
    if (buffer[i] != '\n') continue;
    if (i + 1 < buffer.size() && buffer[i + 1] == '\n') return i + 2;
    if (i + 2 < buffer.size() && buffer[i + 1] == '\r' && buffer[i + 2] == '\n') return i + 3;
  }
  return 0;
}

RequestFrame FrameRequest(std::string_view buffer, std::size_t scannedUpTo,
                          unsigned answeredSoFar) {
  if (answeredSoFar >= kMaxRequestsPerConnection) return {Framing::kConnectionSpent};
  const std::size_t end = FindHeadEnd(buffer, scannedUpTo);
  // A head is judged by its own length, so whatever follows it (the client's next request)
  // does not count; without an end in sight, all that was read so far counts.
  if (end > kMaxRequestHead || (end == 0 && buffer.size() > kMaxRequestHead)) {
    return {Framing::kHeadTooLarge};
  }
  if (end == 0) return {Framing::kNeedMore};
  return {Framing::kHead, end, answeredSoFar + 1 >= kMaxRequestsPerConnection};
}

RoutedRequest RouteRequest(std::string_view head) {
  RoutedRequest request;
  std::string_view line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

  const std::size_t firstSpace = line.find(' ');
  const std::size_t lastSpace = line.rfind(' ');
  if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return request;
  const std::string_view method = line.substr(0, firstSpace);
  const std::string_view target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  const std::string_view version = line.substr(lastSpace + 1);
  if (!IsToken(method) || !IsTargetText(target) || !IsHttp1Version(version)) return request;

  request.path = std::string{PathOfTarget(target)};
  if (method != "GET" && method != "HEAD") {
    request.route = Route::kMethodNotAllowed;
    return request;
  }
  request.headOnly = method == "HEAD";
  request.route = request.path == kTimePagePath ? Route::kTimePage : Route::kNotFound;

  // HTTP/1.1 and later minor versions keep the connection by default, HTTP/1.0 only on request.
  // A body would be read as the next request, so a request with one ends the connection.
  const ConnectionHints hints = ReadConnectionHints(head);
  const bool persistentByDefault = version != "HTTP/1.0";
  request.keepAlive = !hints.close && !hints.body && (persistentByDefault || hints.keepAlive);
  request.preferNoHold = hints.preferNoHold;
  return request;
}

std::size_t FormatReplyFigures(std::chrono::nanoseconds hold, std::chrono::nanoseconds age,
                               bool noHoldApplied, std::span<char, kReplyFiguresCapacity> out) {
  char* at = out.data();
  const auto put = [&at](std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    at += text.size();
  };
  // Milliseconds with three decimals, from the figure rounded to the microsecond.
  const auto putMilliseconds = [&at, end = out.data() + out.size()](std::chrono::nanoseconds span) {
    span = std::clamp(span, std::chrono::nanoseconds{0}, kLargestShownFigure);
    const auto micros = std::chrono::round<std::chrono::microseconds>(span).count();
    at = std::to_chars(at, end, micros / 1000).ptr;
    const auto fraction = micros % 1000;
    *at++ = '.';
    *at++ = static_cast<char>('0' + fraction / 100);
    *at++ = static_cast<char>('0' + fraction / 10 % 10);
    *at++ = static_cast<char>('0' + fraction % 10);
  };
  put("Server-Timing: hold;dur=");
  putMilliseconds(hold);
  put(", age;dur=");
  putMilliseconds(age);
  put(kHeadEnd);
  if (noHoldApplied) {
    put("Preference-Applied: ");
    put(kNoHoldPreference);
    put(kHeadEnd);
  }
  return static_cast<std::size_t>(at - out.data());
}

Response TimePageResponse(Second served, ConnectionHeader connection) {
  return Assemble(StatusOf(Route::kTimePage), served, "text/html", RenderTimePage(served), "",
                  connection);
}

Response ErrorResponse(Route route, Second now, ConnectionHeader connection) {
  const Status status = StatusOf(route);
  const std::string body = std::to_string(status.code) + " " + std::string{status.reason} + "\n";
  const bool unsynchronised = route == Route::kClockUnsynchronised;
  std::string extra;
  if (route == Route::kMethodNotAllowed) extra = "Allow: " + std::string{kAllowedMethods} + "\r\n";
  if (unsynchronised) extra = "Retry-After: " + std::to_string(kRetryAfter.count()) + "\r\n";
  return Assemble(status, unsynchronised ? std::nullopt : std::optional{now}, "text/plain", body,
                  extra, connection);
}

}  // namespace tidewell::timepage
