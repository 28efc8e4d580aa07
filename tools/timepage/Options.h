#pragma once

// The command line of tidewell-timepage.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TimePage.h"

namespace tidewell::timepage {

// Where TIDEWELL_TIME_HOST points, so that the programs and this server meet without options.
inline constexpr std::string_view kDefaultBindAddress = TIDEWELL_TIMEPAGE_DEFAULT_BIND;
inline constexpr std::uint16_t kDefaultPort = TIDEWELL_TIMEPAGE_DEFAULT_PORT;

enum class ServeMode {
  kAligned,    // hold each page request until the next whole second (the default)
  kImmediate,  // answer at once with the current second
  kFixed,      // answer at once with one fixed second
};

struct Options {
  std::string bindAddress{kDefaultBindAddress};  // an IPv4 or IPv6 literal, no brackets
  std::uint16_t port = kDefaultPort;             // 0 lets the system pick
  std::chrono::nanoseconds offset{0};            // added to this machine's clock
  Second fixedTime{};                            // served in kFixed mode
  ServeMode mode = ServeMode::kAligned;
  bool log = false;
  // Off, the server sends no Server-Timing figures and ignores "Prefer: no-hold", as one that
  // knows neither, for trying clients against such a server.
  bool timing = true;
  bool requireSynchronised = false;  // answer 503 while the kernel says the clock is unsynchronised
  bool help = false;
  bool version = false;
  // Not in --help: lets the tests see an idle client cut off without waiting ten seconds.
  std::chrono::milliseconds headerTimeout{std::chrono::seconds{10}};
};

struct ParsedOptions {
  std::optional<Options> options;  // empty when the command line is wrong
  std::string error;               // why, in one line
};

ParsedOptions ParseOptions(std::span<const std::string_view> args);

// The steps of ParseOptions, open to the tests.
std::optional<std::string> ParseBindAddress(std::string_view text);
std::optional<std::uint16_t> ParsePort(std::string_view text);
std::optional<std::chrono::nanoseconds> ParseOffset(std::string_view text);
std::optional<Second> ParseFixedTime(std::string_view text);

std::string UsageText(std::string_view program);

}  // namespace tidewell::timepage
