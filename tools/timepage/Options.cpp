#include "Options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>

#ifndef TIDEWELL_TIMEPAGE_DEFAULT_BIND
#error "TIDEWELL_TIMEPAGE_DEFAULT_BIND comes from TIDEWELL_TIME_HOST in CMake"
#endif
#ifndef TIDEWELL_TIMEPAGE_DEFAULT_PORT
#error "TIDEWELL_TIMEPAGE_DEFAULT_PORT comes from TIDEWELL_TIME_HOST in CMake"
#endif

namespace tidewell::timepage {
namespace {

// An offset beyond a century is a typing error, not a wish; it also keeps the shifted clock
// far inside what the nanosecond count and the four-digit years of the page can hold.
constexpr double kMaxOffsetSeconds = 100.0 * 365.25 * 86400.0;
constexpr std::int64_t kMaxHeaderTimeoutMs = 3'600'000;

template <typename Integer>
std::optional<Integer> ParseDecimal(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Two digits or four digits at a fixed place of the --fixed text.
std::optional<int> DigitsAt(std::string_view text, std::size_t at, std::size_t count) {
  const std::string_view digits = text.substr(at, count);
  if (digits.size() != count) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return ParseDecimal<int>(digits);
}

}  // namespace

std::string_view DefaultBindAddress() { return TIDEWELL_TIMEPAGE_DEFAULT_BIND; }
std::uint16_t DefaultPort() { return TIDEWELL_TIMEPAGE_DEFAULT_PORT; }

std::optional<std::string> ParseBindAddress(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  const std::string address{text};
  in6_addr scratch{};
  if (::inet_pton(AF_INET, address.c_str(), &scratch) == 1) return address;
  if (::inet_pton(AF_INET6, address.c_str(), &scratch) == 1) return address;
  return std::nullopt;
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  return ParseDecimal<std::uint16_t>(text);
}

std::optional<std::chrono::nanoseconds> ParseOffset(std::string_view text) {
  // from_chars takes no '+', but an operator may well write one.
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '+' || negative)) text.remove_prefix(1);
  if (text.empty() ||
      !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.')) {
    return std::nullopt;
  }
  double seconds = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(seconds) || seconds > kMaxOffsetSeconds) return std::nullopt;
  const auto nanos = static_cast<std::int64_t>(std::llround(seconds * 1e9));
  return std::chrono::nanoseconds{negative ? -nanos : nanos};
}

std::optional<Second> ParseFixedTime(std::string_view text) {
  // YYYY-MM-DD HH:MM:SS, with a 'T' allowed for the space and a 'Z' after it, so that the
  // stamps of the log can be pasted back.
  if (text.size() == 20 && text.back() == 'Z') text.remove_suffix(1);
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const auto year = DigitsAt(text, 0, 4), month = DigitsAt(text, 5, 2), day = DigitsAt(text, 8, 2);
  const auto hour = DigitsAt(text, 11, 2), minute = DigitsAt(text, 14, 2),
             second = DigitsAt(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{*year},
                                         std::chrono::month{static_cast<unsigned>(*month)},
                                         std::chrono::day{static_cast<unsigned>(*day)}};
  if (*year < 1 || !date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
  return std::chrono::sys_days{date} + std::chrono::hours{*hour} + std::chrono::minutes{*minute} +
         std::chrono::seconds{*second};
}

ParsedOptions ParseOptions(std::span<const std::string_view> args) {
  Options options;
  bool offsetGiven = false;
  bool fixedGiven = false;
  auto fail = [](std::string message) { return ParsedOptions{std::nullopt, std::move(message)}; };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    std::optional<std::string_view> value;
    if (const std::size_t equals = name.find('=');
        name.starts_with("--") && equals != std::string_view::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    // Options that take a value read it from "=value" or from the next argument.
    auto takeValue = [&]() -> std::optional<std::string_view> {
      if (value) return value;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto flag = [&](bool& target) {
      if (value) return false;
      target = true;
      return true;
    };

    bool good = true;
    if (name == "--help" || name == "-h") {
      good = flag(options.help);
    } else if (name == "--immediate") {
      bool immediate = false;
      good = flag(immediate);
      if (immediate && options.mode == ServeMode::kAligned) options.mode = ServeMode::kImmediate;
    } else if (name == "--log") {
      good = flag(options.log);
    } else if (name == "--bind") {
      const auto text = takeValue();
      const auto address = text ? ParseBindAddress(*text) : std::nullopt;
      if (!address) return fail("--bind needs an IPv4 or IPv6 address");
      options.bindAddress = *address;
    } else if (name == "--port") {
      const auto text = takeValue();
      const auto port = text ? ParsePort(*text) : std::nullopt;
      if (!port) return fail("--port needs a number from 0 to 65535");
      options.port = *port;
    } else if (name == "--offset") {
      const auto text = takeValue();
      const auto offset = text ? ParseOffset(*text) : std::nullopt;
      if (!offset) return fail("--offset needs a number of seconds such as 37.25 or -2");
      options.offset = *offset;
      offsetGiven = true;
    } else if (name == "--fixed") {
      const auto text = takeValue();
      const auto fixed = text ? ParseFixedTime(*text) : std::nullopt;
      if (!fixed) return fail("--fixed needs a UTC time written 'YYYY-MM-DD HH:MM:SS'");
      options.fixedTime = *fixed;
      options.mode = ServeMode::kFixed;
      fixedGiven = true;
    } else if (name == "--header-timeout-ms") {
      const auto text = takeValue();
      const auto ms = text ? ParseDecimal<std::int64_t>(*text) : std::nullopt;
      if (!ms || *ms < 1 || *ms > kMaxHeaderTimeoutMs) {
        return fail("--header-timeout-ms needs a number from 1 to 3600000");
      }
      options.headerTimeout = std::chrono::milliseconds{*ms};
    } else {
      return fail("unknown option '" + std::string{args[i]} + "'");
    }
    if (!good) return fail("option '" + std::string{name} + "' takes no value");
  }

  if (offsetGiven && fixedGiven) return fail("--offset and --fixed cannot be used together");
  return ParsedOptions{options, {}};
}

std::string UsageText(std::string_view program) {
  std::string text = "Usage: ";
  text += program;
  text += R"( [options]
Serves this machine's clock as a time page at http://ADDR:PORT/cgi-bin/timer.pl.

Options:
  --bind ADDR        IPv4 or IPv6 address to listen on (default )";
  text += DefaultBindAddress();
  text += R"()
  --port N           port to listen on; 0 picks a free one (default )";
  text += std::to_string(DefaultPort());
  text += R"()
  --offset SECONDS   serve this machine's clock shifted by SECONDS (signed, may have
                     a fraction, e.g. 37.25 or -0.5); seconds are aligned on the
                     shifted clock
  --fixed 'YYYY-MM-DD HH:MM:SS'
                     always serve this UTC time, answering at once
  --immediate        answer at once with the current second (truncated)
  --log              print one line per reply on stdout:
                     "served YYYY-MM-DDTHH:MM:SSZ PATH STATUS"
  --help             print this help and exit

Second alignment (the default): a request for the page whose headers are complete
at time t on the served clock is answered at the whole second B = ceil(t - 2 ms).
If t lies on a whole second or at most 2 ms after one, B is that second and the
page for B goes out at once. Otherwise B is the next whole second: the request is
held until the clock reaches B and the page for B is sent then. A page therefore
never leaves before its second and leaves at most about 2 ms after it.

Connections: an HTTP/1.1 request without "Connection: close", or an HTTP/1.0
request with "Connection: keep-alive", gets "Connection: keep-alive" and the
connection stays open for the next request, which is answered by the same rules
(requests sent without waiting for a reply are answered in order). A connection
carries at most 100 requests and is closed when no next request head is complete
10 s after a reply. Any other request, a request with a body, a bad one (400,
405, 431) and the 100th on a connection get "Connection: close", and the server
closes after that reply.

On start the server prints "listening on ADDR:PORT" ([ADDR]:PORT for IPv6).
SIGINT or SIGTERM stops it with status 0; an address that cannot be used gives
status 1, a wrong command line status 2.
)";
  return text;
}

}  // namespace tidewell::timepage
