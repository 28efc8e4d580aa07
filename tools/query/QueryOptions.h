#pragma once

// The command line of tidewell-query.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tidewell::query {

struct Options {
  std::string host;  // HOST[:PORT] to ask instead of the built-in one; empty for that one
  bool help = false;
  bool version = false;
};

struct ParsedOptions {
  std::optional<Options> options;  // empty when the command line is wrong
  std::string error;               // why, in one line
};

// `args` are the arguments after the program name, read with getopt_long.
ParsedOptions ParseOptions(std::span<const std::string_view> args);

}  // namespace tidewell::query
