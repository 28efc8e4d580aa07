#include "HttpExchange.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "HttpFieldText.h"

namespace tidewell::timepage {
namespace {

constexpr std::pair<int, std::string_view> kStatusLines[] = {
    {200, "OK"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {400, "Bad Request"},
    {431, "Request Header Fields Too Large"},
    {503, "Service Unavailable"}};

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

bool IsHttp1Version(std::string_view text) {
  return text.size() == 8 && text.starts_with("HTTP/1.") &&
         std::isdigit(static_cast<unsigned char>(text[7])) != 0;
}

// The line of `text` from `at` without its end; `at` moves past it.
std::string_view NextLine(std::string_view text, std::size_t& at) {
  const std::size_t end = std::min(text.find('\n', at), text.size());
  std::string_view line = text.substr(at, end - at);
  at = end + 1;
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// Whether the list `value` (Connection, Prefer) names `token` in any case. An item may carry
// "=value" and ";parameters", and a quoted value may hold commas.
bool ListNames(std::string_view value, std::string_view token) {
  const std::vector<std::string_view> items = http::SplitOutsideQuotes(value, ',');
  return std::any_of(items.begin(), items.end(), [&](std::string_view item) {
    return http::EqualsNoCase(http::TrimBlanks(item.substr(0, item.find_first_of("=;"))), token);
  });
}

std::string_view PathOfTarget(std::string_view target) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (http::StartsWithNoCase(target, scheme)) {
      target.remove_prefix(scheme.size());
      const std::size_t slash = target.find('/');
      target = slash == std::string_view::npos ? std::string_view{"/"} : target.substr(slash);
      break;
    }
  }
  return target.substr(0, target.find_first_of("?#"));
}

}  // namespace

std::size_t FindHeadEnd(std::string_view buffer, std::size_t from) {
  // Step back so that a terminator split across two reads is still seen.
  const std::size_t lf = buffer.find("\n\n", from < 3 ? 0 : from - 3);
  const std::size_t crlf = buffer.find("\n\r\n", from < 3 ? 0 : from - 3);
  if (lf == std::string_view::npos && crlf == std::string_view::npos) return 0;
  return lf < crlf ? lf + 2 : crlf + 3;
}

RequestFrame FrameRequest(std::string_view buffer, std::size_t scannedUpTo,
                          unsigned answeredSoFar) {
  if (answeredSoFar >= kMaxRequestsPerConnection) return {Framing::kConnectionSpent};
  const std::size_t end = FindHeadEnd(buffer, scannedUpTo);
  // A head is judged by its own length, not by the next request after it.
  if (end > kMaxRequestHead || (end == 0 && buffer.size() > kMaxRequestHead)) {
    return {Framing::kHeadTooLarge};
  }
  if (end == 0) return {Framing::kNeedMore};
  return {Framing::kHead, end, answeredSoFar + 1 >= kMaxRequestsPerConnection};
}

RoutedRequest RouteRequest(std::string_view head) {
  RoutedRequest request;
  std::size_t at = 0;
  const std::string_view line = NextLine(head, at);
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

  // A body would be read as the next request, so a request with one ends the connection.
  bool keepAlive = version != "HTTP/1.0";
  bool close = false;
  bool body = false;
  while (at < head.size()) {
    const std::string_view field = NextLine(head, at);
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = http::TrimBlanks(field.substr(0, colon));
    const std::string_view value = http::TrimBlanks(field.substr(colon + 1));
    if (http::EqualsNoCase(name, "Connection")) {
      close = close || ListNames(value, "close");
      keepAlive = keepAlive || ListNames(value, "keep-alive");
    } else if (http::EqualsNoCase(name, "Content-Length")) {
      body = body || value.find_first_not_of('0') != std::string_view::npos;
    } else if (http::EqualsNoCase(name, "Transfer-Encoding")) {
      body = true;
    } else if (http::EqualsNoCase(name, "Prefer")) {
      request.preferNoHold = request.preferNoHold || ListNames(value, "no-hold");
    }
  }
  request.keepAlive = keepAlive && !close && !body;
  return request;
}

std::size_t FormatReplyFigures(std::chrono::nanoseconds hold, std::chrono::nanoseconds age,
                               bool noHoldApplied, std::span<char, kReplyFiguresCapacity> out) {
  const auto micros = [](std::chrono::nanoseconds span) {
    span = std::clamp(span, std::chrono::nanoseconds{0}, kLargestShownFigure);
    return static_cast<long long>(std::chrono::round<std::chrono::microseconds>(span).count());
  };
  const long long h = micros(hold);
  const long long a = micros(age);
  const int length = std::snprintf(out.data(), out.size(),
                                   "Server-Timing: hold;dur=%lld.%03lld, age;dur=%lld.%03lld\r\n%s",
                                   h / 1000, h % 1000, a / 1000, a % 1000,
                                   noHoldApplied ? "Preference-Applied: no-hold\r\n" : "");
  return std::min(static_cast<std::size_t>(std::max(length, 0)), out.size() - 1);
}

Response ResponseFor(Route route, Second second, AfterReply after) {
  const auto [code, reason] = kStatusLines[static_cast<std::size_t>(route)];
  const std::string status = std::to_string(code) + " " + std::string{reason};
  const bool page = route == Route::kTimePage;
  const std::string body = page ? RenderTimePage(second) : status + "\n";
  Response response;
  response.status = code;
  std::string& out = response.bytes;
  out = "HTTP/1.1 " + status + "\r\n";
  if (route != Route::kClockUnsynchronised) out += "Date: " + HttpDate(second) + "\r\n";
  out += "Server: tidewell-timepage\r\nContent-Type: ";
  out += page ? "text/html" : "text/plain";
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-cache";
  out += after == AfterReply::kKeepOpen ? "\r\nConnection: keep-alive\r\n"
                                        : "\r\nConnection: close\r\n";
  if (route == Route::kMethodNotAllowed) out += "Allow: GET, HEAD\r\n";
  if (route == Route::kClockUnsynchronised) out += "Retry-After: 30\r\n";
  response.figuresAt = out.size();
  out += "\r\n";
  response.headerLength = out.size();
  out += body;
  return response;
}

}  // namespace tidewell::timepage
