#pragma once

#include <string>

#include "Clock.h"
#include "Runtime.h"

namespace tidewell {

// The runtime of a program without a display: it ends the process, and reports an uncaught
// run-time error, like any other failing end, as one line on standard error.
class ConsoleRuntime : public Runtime {
 public:
  static constexpr int kRuntimeErrorStatus = kStatusRuntimeError;

  explicit ConsoleRuntime(std::string programName) : programName_(std::move(programName)) {}

  // A silent program has no one to show a message to; the text goes to standard error.
  void ShowMessage(const std::string& text) override;
  [[noreturn]] void EndProgram() override;
  [[noreturn]] void ReportRuntimeError(const RuntimeError& error) override;

  // The one-line report, e.g. "fenwhit: run-time error 13: Type mismatch".
  static std::string ErrorReport(const std::string& programName, const RuntimeError& error);

 private:
  std::string programName_;
};

}  // namespace tidewell
