#include "QueryOptions.h"

#include <getopt.h>

#include <vector>

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
  // getopt_long reads a C argument vector and keeps its place in globals: give it a copy of
  // its own, and optind = 0 so that every call starts afresh.
  std::vector<std::string> storage{"tidewell-query"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());
  ::optind = 0;
  ::opterr = 0;  // reported by the caller, in one line

  Options options;
  // '+': stop at the first operand, which is an error; ':': a missing value returns ':'.
  for (int code; (code = ::getopt_long(argc, argv.data(), "+:h", kLongOptions, nullptr)) != -1;) {
    if (code == 'h') {
      options.help = true;
    } else if (code == kVersion) {
      options.version = true;
    } else if (code == kHost) {
      options.host = ::optarg;
    } else {
      return {std::nullopt, RefusalText(code == ':' ? kHost : ::optopt, argv[::optind - 1])};
    }
  }
  if (::optind < argc) return {std::nullopt, "unexpected argument '" + storage[::optind] + "'"};
  return {options, {}};
}

}  // namespace tidewell::query
