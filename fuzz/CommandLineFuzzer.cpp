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

timepage::ParsedOptions ParseServer(const std::vector<std::string>& args) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  return timepage::ParseOptions(views);
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
  const timepage::ParsedOptions parsed = ParseServer(args);
  FUZZ_CHECK(parsed.options.has_value() != !parsed.error.empty(), "options and a reason");
  const timepage::ParsedOptions again = ParseServer(args);
  FUZZ_CHECK(again.error == parsed.error, "a second parse gives another reason");
  FUZZ_CHECK(again.options.has_value() == parsed.options.has_value(), "a second parse differs");
  if (!parsed.options) return;
  FUZZ_CHECK(SameOptions(*again.options, *parsed.options), "a second parse gives other options");
  CheckServerOptions(*parsed.options);

  const timepage::ParsedOptions apart = ParseServer(ValuesApart(args));
  FUZZ_CHECK(apart.options.has_value(), "refused once the values stand apart");
  FUZZ_CHECK(SameOptions(*apart.options, *parsed.options), "other options with values apart");
}

query::ParsedOptions ParseQuery(const std::vector<std::string>& args) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  return query::ParseOptions(views);
}

void CheckQuery(const std::vector<std::string>& args) {
  const query::ParsedOptions parsed = ParseQuery(args);
  FUZZ_CHECK(parsed.options.has_value() != !parsed.error.empty(), "options and a reason");
  const query::ParsedOptions again = ParseQuery(args);
  FUZZ_CHECK(again.error == parsed.error, "a second parse gives another reason");
  FUZZ_CHECK(again.options.has_value() == parsed.options.has_value(), "a second parse differs");
  if (!parsed.options) return;
  FUZZ_CHECK(again.options->host == parsed.options->host &&
                 again.options->help == parsed.options->help &&
                 again.options->version == parsed.options->version,
             "a second parse gives other options");
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
