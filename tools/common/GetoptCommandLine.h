#pragma once

// The tools read their command lines with getopt_long from a table of their options. getopt_long
// wants a C argument vector and keeps its place in globals: each reading builds a vector of its
// own and resets those globals, so that every parse starts afresh and reports nothing itself.

#include <getopt.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell::tools {

// One long option. "help" also answers to -h, the only short option.
template <typename Target>
struct OptionRule {
  const char* name;
  // For an option that takes a value: the line that refuses the value missing or wrong.
  const char* needs;
  // Applies the option and its value ("" for none) to `target`; false when the value is wrong.
  bool (*apply)(Target& target, std::string_view value);
};

// The `apply` of an option without a value that sets `Flag` to `Value`.
template <auto Flag, bool Value = true>
bool SetFlag(auto& target, std::string_view) {
  target.*Flag = Value;
  return true;
}

// Reads `args`, the words after the program's name, into `target` by `rules`: "--port 80",
// "--port=80" and unambiguous abbreviations such as "--imm" all work, and no operand is taken.
// Gives why the command line is wrong, in one line, or nothing.
template <typename Target>
std::optional<std::string> ReadCommandLine(std::span<const std::string_view> args,
                                           std::span<const OptionRule<Target>> rules,
                                           Target& target) {
  std::vector<std::string> words{"program"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<option> longOptions;
  for (const OptionRule<Target>& rule : rules) {
    const int code =
        std::string_view{rule.name} == "help" ? 'h' : 256 + static_cast<int>(longOptions.size());
    longOptions.push_back({rule.name, rule.needs ? required_argument : no_argument, nullptr, code});
  }
  longOptions.push_back({});
  const auto ruleOf = [&](int code) -> const OptionRule<Target>* {
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (longOptions[i].val == code) return &rules[i];
    }
    return nullptr;
  };

  ::optind = 0;
  ::opterr = 0;
  // '+': stop at the first operand; ':': an option missing its value gives ':'.
  for (int code; (code = ::getopt_long(static_cast<int>(words.size()), argv.data(), "+:h",
                                       longOptions.data(), nullptr)) != -1;) {
    // On a refusal optopt is 0 for an unknown or ambiguous long option, the code of an option
    // missing its value or of a flag given one ("--log=yes"), else the unknown letter.
    const OptionRule<Target>* rule = ruleOf(code == ':' || code == '?' ? ::optopt : code);
    if (code == '?' && ::optopt == 0) return "unknown option '" + words[::optind - 1] + "'";
    if (rule == nullptr)
      return "unknown option '-" + std::string(1, static_cast<char>(::optopt)) + "'";
    if (code == '?') return "option '--" + std::string{rule->name} + "' takes no value";
    if (code == ':' || !rule->apply(target, ::optarg == nullptr ? "" : ::optarg)) {
      return rule->needs;
    }
  }
  if (static_cast<std::size_t>(::optind) < words.size()) {
    return "unexpected argument '" + words[::optind] + "'";
  }
  return std::nullopt;
}

}  // namespace tidewell::tools
