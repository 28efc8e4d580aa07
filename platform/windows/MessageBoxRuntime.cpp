#include "MessageBoxRuntime.h"

#include "TextConversion.h"

namespace tidewell {

void MessageBoxRuntime::ShowMessage(const std::string& text) {
  // A single OK button and no icon: the program's messages are news, not warnings.
  MessageBoxW(owner_, Utf8ToWide(text).c_str(), Utf8ToWide(kProgramTitle).c_str(), MB_OK);
}

void MessageBoxRuntime::EndProgram() { ExitProcess(0); }

void MessageBoxRuntime::ReportRuntimeError(const RuntimeError& error) {
  MessageBoxW(owner_, Utf8ToWide(ErrorReport(error)).c_str(), Utf8ToWide(kProgramTitle).c_str(),
              MB_OK | MB_ICONERROR);
  ExitProcess(kRuntimeErrorExitCode);
}

std::string MessageBoxRuntime::ErrorReport(const RuntimeError& error) {
  return "Run-time error '" + std::to_string(error.Number()) + "':\n\n" + error.Description();
}

}  // namespace tidewell
