#include "QueryOptions.h"

#include <utility>

#include "GetoptCommandLine.h"

namespace tidewell::query {
namespace {

bool SetHost(Options& options, std::string_view value) {
  options.host = value;
  return true;
}

constexpr tools::OptionRule<Options> kRules[] = {
    {"host", "--host needs HOST[:PORT]", SetHost},
    {"help", nullptr, tools::SetFlag<&Options::help>},
    {"version", nullptr, tools::SetFlag<&Options::version>},
};

}  // namespace

ParsedOptions ParseOptions(std::span<const std::string_view> args) {
  Options options;
  if (auto error = tools::ReadCommandLine<Options>(args, kRules, options)) {
    return {std::nullopt, std::move(*error)};
  }
  return {options, {}};
}

}  // namespace tidewell::query
