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

// The address and port that TIDEWELL_TIME_HOST names, so that a fresh build of the programs
// and of this server meet without options.
std::string_view DefaultBindAddress();
std::uint16_t DefaultPort();

inline constexpr std::chrono::seconds kDefaultHeaderTimeout{10};

enum class ServeMode {
  kAligned,    // hold each page request until the next whole second (the default)
  kImmediate,  // answer at once with the current second
  kFixed,      // answer at once with one fixed second
};

struct Options {
  std::string bindAddress{DefaultBindAddress()};  // an IPv4 or IPv6 literal, no brackets
  std::uint16_t port = DefaultPort();             // 0 lets the system pick
  std::chrono::nanoseconds offset{0};             // added to this machine's clock
  Second fixedTime{};                             // served in kFixed mode
  ServeMode mode = ServeMode::kAligned;
  bool log = false;
  // Each reply carries its Server-Timing figures and "Prefer: no-hold" is honoured. Off, the
  // server answers as one that knows neither, for trying clients against such a server.
  bool timing = true;
  // While the kernel reports this machine's clock unsynchronised, answer 503 instead of a page.
  bool requireSynchronised = false;
  bool help = false;
  bool version = false;
  // Not in --help: lets the tests see an idle client cut off without waiting ten seconds.
  std::chrono::milliseconds headerTimeout{kDefaultHeaderTimeout};
};

struct ParsedOptions {
  std::optional<Options> options;  // empty when the command line is wrong
  std::string error;               // why, in one line
};

// `args` are the arguments after the program name, read with getopt_long: "--port 80",
// "--port=80" and unambiguous abbreviations such as "--imm" all work.
ParsedOptions ParseOptions(std::span<const std::string_view> args);

// The steps of ParseOptions, open to the tests.
std::optional<std::string> ParseBindAddress(std::string_view text);
std::optional<std::uint16_t> ParsePort(std::string_view text);
std::optional<std::chrono::nanoseconds> ParseOffset(std::string_view text);
std::optional<Second> ParseFixedTime(std::string_view text);

std::string UsageText(std::string_view program);

}  // namespace tidewell::timepage
