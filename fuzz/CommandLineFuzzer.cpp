// Both tools' command lines on arbitrary arguments (the input split at NUL bytes). Each parse
// gives options or a reason, never both; it gives the same again when repeated (getopt_long
// keeps its place in globals); and the server's options come out the same whether a value is
// written "--name=value" or "--name value".

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "Options.h"
#include "QueryOptions.h"

namespace {

namespace timepage = tidewell::timepage;
namespace query = tidewell::query;

constexpr std::size_t kMaxArgs = 16;

std::vector<std::string> SplitAtNul(std::string_view bytes) {
  std::vector<std::string> args;
  while (args.size() < kMaxArgs) {
    const std::size_t nul = bytes.find('\0');
    args.emplace_back(bytes.substr(0, nul));
    if (nul == std::string_view::npos) break;
    bytes.remove_prefix(nul + 1);
  }
  return args;
}

// "--name=value" as the two arguments "--name" and "value".
std::vector<std::string> ValuesApart(const std::vector<std::string>& args) {
  std::vector<std::string> apart;
  for (const std::string& arg : args) {
    const std::size_t equals = arg.find('=');
    if (arg.starts_with("--") && equals != std::string::npos && equals > 2) {
      apart.push_back(arg.substr(0, equals));
      apart.push_back(arg.substr(equals + 1));
    } else {
      apart.push_back(arg);
    }
  }
  return apart;
}

bool SameOptions(const timepage::Options& a, const timepage::Options& b) {
  return a.bindAddress == b.bindAddress && a.port == b.port && a.offset == b.offset &&
         a.fixedTime == b.fixedTime && a.mode == b.mode && a.log == b.log && a.help == b.help &&
         a.version == b.version && a.headerTimeout == b.headerTimeout;
}

std::vector<std::string_view> Views(const std::vector<std::string>& args) {
  return {args.begin(), args.end()};
}

// Parses `args` twice with `parse`, which must give options or a reason, never both, and the
// same the second time (`same` compares two sets of options). Gives the first parse.
template <typename Parse, typename Same>
auto ParseTwice(Parse parse, Same same, const std::vector<std::string>& args) {
  const auto parsed = parse(Views(args));
  FUZZ_CHECK(parsed.options.has_value() != !parsed.error.empty(), "options and a reason");
  const auto again = parse(Views(args));
  FUZZ_CHECK(again.error == parsed.error, "a second parse gives another reason");
  FUZZ_CHECK(again.options.has_value() == parsed.options.has_value(), "a second parse differs");
  if (parsed.options) {
    FUZZ_CHECK(same(*again.options, *parsed.options), "a second parse gives other options");
  }
  return parsed;
}

void CheckServerOptions(const timepage::Options& options) {
  FUZZ_CHECK(timepage::ParseBindAddress(options.bindAddress) == options.bindAddress,
             "a bind address that does not read back");
  FUZZ_CHECK(options.headerTimeout >= std::chrono::milliseconds{1} &&
                 options.headerTimeout <= std::chrono::hours{1},
             "header time-out out of range");
  constexpr auto kCentury = std::chrono::seconds{std::int64_t{100} * 366 * 86400};
  FUZZ_CHECK(options.offset <= kCentury && options.offset >= -kCentury, "offset out of range");
  if (options.mode == timepage::ServeMode::kFixed) {
    FUZZ_CHECK(options.offset == std::chrono::nanoseconds{0}, "--fixed with an offset");
  }
}

void CheckServer(const std::vector<std::string>& args) {
  const timepage::ParsedOptions parsed = ParseTwice(timepage::ParseOptions, SameOptions, args);
  if (!parsed.options) return;
  CheckServerOptions(*parsed.options);

  const timepage::ParsedOptions apart = timepage::ParseOptions(Views(ValuesApart(args)));
  FUZZ_CHECK(apart.options.has_value(), "refused once the values stand apart");
  FUZZ_CHECK(SameOptions(*apart.options, *parsed.options), "other options with values apart");
}

bool SameQueryOptions(const query::Options& a, const query::Options& b) {
  return a.host == b.host && a.help == b.help && a.version == b.version;
}

void CheckQuery(const std::vector<std::string>& args) {
  ParseTwice(query::ParseOptions, SameQueryOptions, args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args =
      size == 0 ? std::vector<std::string>{}
                : SplitAtNul({reinterpret_cast<const char*>(data), size});
  CheckServer(args);
  CheckQuery(args);
  return 0;
}
