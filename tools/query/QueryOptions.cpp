#include "QueryOptions.h"

#include <getopt.h>

#include <utility>

#include "GetoptCommandLine.h"

namespace tidewell::query {
namespace {

enum LongOnly : int { kHost = 256, kVersion };

constexpr option kLongOptions[] = {
    {"host", required_argument, nullptr, kHost},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Why getopt_long refused an option: see optopt, which names a flag given a value
// ("--help=x"), or the unknown letter of a short option, or is 0 for an unknown long option.
std::string RefusalText(int code, const char* argument) {
  if (code == kHost) return "--host needs HOST[:PORT]";
  if (code == 'h') return "option '--help' takes no value";
  if (code == kVersion) return "option '--version' takes no value";
  if (code == 0) return std::string{"unknown option '"} + argument + "'";
  return std::string{"unknown option '-"} + static_cast<char>(code) + "'";
}

}  // namespace

ParsedOptions ParseOptions(std::span<const std::string_view> args) {
  tools::GetoptCommandLine commandLine{"tidewell-query", args};
  Options options;
  for (int code; (code = commandLine.Next(kLongOptions)) != -1;) {
    if (code == 'h') {
      options.help = true;
    } else if (code == kVersion) {
      options.version = true;
    } else if (code == kHost) {
      options.host = ::optarg;
    } else {
      return {std::nullopt, RefusalText(code == ':' ? kHost : ::optopt, commandLine.LastWord())};
    }
  }
  if (auto leftOver = commandLine.LeftOverError()) return {std::nullopt, std::move(*leftOver)};
  return {options, {}};
}

}  // namespace tidewell::query
