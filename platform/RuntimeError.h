#pragma once

#include <stdexcept>
#include <string>

namespace tidewell {

// Error numbers reported by the runtime. They follow the classic BASIC runtime numbering that the
// product's users have always seen in the error report.
enum ErrorNumber : int {
  kErrInvalidCall = 5,    // a date-time operation left the supported range
  kErrOverflow = 6,       // a value does not fit its type
  kErrTypeMismatch = 13,  // a text is neither a date nor a time
  kErrMissingLibrary = 48,  // a platform library or entry point could not be loaded
};

// A run-time error: nothing in the programs catches it, it travels up to the runtime, which
// reports the number and description and ends the program.
class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}

  int Number() const noexcept { return number_; }
  std::string Description() const { return what(); }

  static RuntimeError Overflow() { return {kErrOverflow, "Overflow"}; }
  static RuntimeError TypeMismatch() { return {kErrTypeMismatch, "Type mismatch"}; }
  static RuntimeError DateOutOfRange() {
    return {kErrInvalidCall, "Invalid procedure call or argument (date out of range)"};
  }

 private:
  int number_;
};

}  // namespace tidewell
