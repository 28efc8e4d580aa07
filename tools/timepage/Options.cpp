#include "Options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <charconv>
#include <cmath>

#include "GetoptCommandLine.h"

namespace tidewell::timepage {
namespace {

// An offset beyond a century is a typing error, not a wish; it also keeps the shifted clock
// far inside what the nanosecond count and the four-digit years of the page can hold.
constexpr double kMaxOffsetSeconds = 100.0 * 365.25 * 86400.0;
constexpr std::int64_t kMaxHeaderTimeoutMs = 3'600'000;

template <typename Number, typename... Format>
std::optional<Number> ParseDecimal(std::string_view text, Format... format) {
  Number value{};
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, format...);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::chrono::milliseconds> ParseHeaderTimeout(std::string_view text) {
  const auto ms = ParseDecimal<std::int64_t>(text);
  if (!ms || *ms < 1 || *ms > kMaxHeaderTimeoutMs) return std::nullopt;
  return std::chrono::milliseconds{*ms};
}

// The options, and what their reading remembers beyond them.
struct Reading : Options {
  bool offsetGiven = false;
};

template <auto Field, auto Parse>
bool SetParsed(Reading& reading, std::string_view value) {
  const auto parsed = Parse(value);
  if (parsed) reading.*Field = *parsed;
  return parsed.has_value();
}

bool SetOffset(Reading& reading, std::string_view value) {
  reading.offsetGiven = SetParsed<&Options::offset, ParseOffset>(reading, value);
  return reading.offsetGiven;
}

bool SetFixed(Reading& reading, std::string_view value) {
  if (!SetParsed<&Options::fixedTime, ParseFixedTime>(reading, value)) return false;
  reading.mode = ServeMode::kFixed;
  return true;
}

bool SetImmediate(Reading& reading, std::string_view) {
  if (reading.mode == ServeMode::kAligned) reading.mode = ServeMode::kImmediate;
  return true;
}

constexpr tools::OptionRule<Reading> kRules[] = {
    {"bind", "--bind needs an IPv4 or IPv6 address",
     SetParsed<&Options::bindAddress, ParseBindAddress>},
    {"port", "--port needs a number from 0 to 65535", SetParsed<&Options::port, ParsePort>},
    {"offset", "--offset needs a number of seconds such as 37.25 or -2", SetOffset},
    {"fixed", "--fixed needs a UTC time written 'YYYY-MM-DD HH:MM:SS'", SetFixed},
    {"immediate", nullptr, SetImmediate},
    {"no-timing", nullptr, tools::SetFlag<&Options::timing, false>},
    {"log", nullptr, tools::SetFlag<&Options::log>},
    {"require-synchronised", nullptr, tools::SetFlag<&Options::requireSynchronised>},
    {"help", nullptr, tools::SetFlag<&Options::help>},
    {"version", nullptr, tools::SetFlag<&Options::version>},
    {"header-timeout-ms", "--header-timeout-ms needs a number from 1 to 3600000",
     SetParsed<&Options::headerTimeout, ParseHeaderTimeout>},
};

}  // namespace

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
  const std::optional<double> seconds = ParseDecimal<double>(text, std::chars_format::fixed);
  if (!seconds || !std::isfinite(*seconds) || *seconds > kMaxOffsetSeconds) return std::nullopt;
  const auto nanos = static_cast<std::int64_t>(std::llround(*seconds * 1e9));
  return std::chrono::nanoseconds{negative ? -nanos : nanos};
}

std::optional<Second> ParseFixedTime(std::string_view text) {
  // A 'T' for the space and a 'Z' after it are taken too, so that the log's stamps can be pasted.
  if (text.size() == 20 && text.back() == 'Z') text.remove_suffix(1);
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  // Unsigned, so that from_chars takes no sign.
  const auto field = [text](std::size_t at, std::size_t count) {
    return ParseDecimal<unsigned>(text.substr(at, count));
  };
  const auto year = field(0, 4), month = field(5, 2), day = field(8, 2);
  const auto hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{static_cast<int>(*year)},
                                         std::chrono::month{*month}, std::chrono::day{*day}};
  if (*year < 1 || !date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
  return std::chrono::sys_days{date} + std::chrono::hours{*hour} + std::chrono::minutes{*minute} +
         std::chrono::seconds{*second};
}

ParsedOptions ParseOptions(std::span<const std::string_view> args) {
  Reading reading;
  if (auto error = tools::ReadCommandLine<Reading>(args, kRules, reading)) {
    return {std::nullopt, std::move(*error)};
  }
  if (reading.offsetGiven && reading.mode == ServeMode::kFixed) {
    return {std::nullopt, "--offset and --fixed cannot be used together"};
  }
  return {static_cast<const Options&>(reading), {}};
}

std::string UsageText(std::string_view program) {
  return "Usage: " + std::string{program} + R"( [options]
Serves this machine's clock as a time page at http://ADDR:PORT/cgi-bin/timer.pl.

Options:
  --bind ADDR        IPv4 or IPv6 address to listen on (default )" +
         std::string{kDefaultBindAddress} + R"()
  --port N           port to listen on; 0 picks a free one (default )" +
         std::to_string(kDefaultPort) + R"()
  --offset SECONDS   serve this machine's clock shifted by SECONDS (signed, may have
                     a fraction, e.g. 37.25 or -0.5); seconds are aligned on the
                     shifted clock
  --fixed 'YYYY-MM-DD HH:MM:SS'
                     always serve this UTC time, answering at once
  --immediate        answer at once with the current second (truncated)
  --no-timing        send no Server-Timing figures and ignore "Prefer: no-hold",
                     as a server that knows neither (for trying clients)
  --log              print one line per reply on stdout:
                     "served YYYY-MM-DDTHH:MM:SSZ PATH STATUS"
  --require-synchronised
                     while the kernel reports this machine's clock unsynchronised
                     (STA_UNSYNC, or a maximum error over 1.5 s), answer page
                     requests with 503 and "Retry-After: 30" instead of a page;
                     each change of that state is logged once on stderr
  --help             print this help and exit
  --version          print the version and exit

A page request whose head is complete at t on the served clock is answered at the
whole second ceil(t - 2 ms): at once within 2 ms after a second, else held until
the next. One saying "Prefer: no-hold" is answered at once, with
"Preference-Applied: no-hold". Every reply carries
"Server-Timing: hold;dur=H, age;dur=A": how long it was held and how far past its
second it was written, in milliseconds. Connections and limits: tidewell-timepage(8).

On start the server prints "listening on ADDR:PORT" ([ADDR]:PORT for IPv6).
SIGINT or SIGTERM stops it with status 0; an address that cannot be used gives
status 1, a wrong command line status 2. A failure while serving is reported on
stderr and costs at most the client it came from; if the server cannot wait for
events any more it ends with status 3.
)";
}

}  // namespace tidewell::timepage
