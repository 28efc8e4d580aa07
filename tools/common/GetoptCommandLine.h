#pragma once

// The tools read their command lines with getopt_long, which wants a C argument vector and keeps
// its place in globals. A GetoptCommandLine gives it a vector of its own and resets those
// globals, so that every parse starts afresh and reports nothing itself.

#include <getopt.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell::tools {

class GetoptCommandLine {
 public:
  GetoptCommandLine(std::string_view program, std::span<const std::string_view> args)
      : storage_{std::string{program}} {
    storage_.insert(storage_.end(), args.begin(), args.end());
    for (std::string& arg : storage_) argv_.push_back(arg.data());
    argv_.push_back(nullptr);
    ::optind = 0;
    ::opterr = 0;  // the caller reports errors, in one line
  }
  // argv_ points into storage_.
  GetoptCommandLine(const GetoptCommandLine&) = delete;
  GetoptCommandLine& operator=(const GetoptCommandLine&) = delete;

  // The code of the next option, or -1 after the last. '+': stop at the first operand, which is
  // an error; ':': an option missing its value gives ':'. -h is the only short option.
  int Next(const option* longOptions) {
    return ::getopt_long(static_cast<int>(storage_.size()), argv_.data(), "+:h", longOptions,
                         nullptr);
  }

  // The word getopt_long has just read, to quote when it refuses it.
  const char* LastWord() const { return argv_[::optind - 1]; }

  // Once Next has given -1: why the words left over are wrong, if there are any (the tools take
  // no operands).
  std::optional<std::string> LeftOverError() const {
    const auto next = static_cast<std::size_t>(::optind);
    if (next >= storage_.size()) return std::nullopt;
    return "unexpected argument '" + storage_[next] + "'";
  }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
};

}  // namespace tidewell::tools
