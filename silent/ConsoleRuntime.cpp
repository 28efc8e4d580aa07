#include "ConsoleRuntime.h"

#include <cstdio>
#include <cstdlib>

namespace tidewell {

void ConsoleRuntime::ShowMessage(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", programName_.c_str(), text.c_str());
}

void ConsoleRuntime::EndProgram() {
  std::fflush(stdout);
  std::exit(EXIT_SUCCESS);
}

void ConsoleRuntime::ReportRuntimeError(const RuntimeError& error) {
  std::fprintf(stderr, "%s\n", ErrorReport(programName_, error).c_str());
  std::exit(kRuntimeErrorStatus);
}

std::string ConsoleRuntime::ErrorReport(const std::string& programName, const RuntimeError& error) {
  return programName + ": run-time error " + std::to_string(error.Number()) + ": " +
         error.Description();
}

}  // namespace tidewell
