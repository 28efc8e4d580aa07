#include "MessageBoxRuntime.h"

#include "TextConversion.h"

namespace tidewell {

void MessageBoxRuntime::ShowMessage(const std::string& text) {
  // A single OK button and no icon: the program's messages are news, not warnings.
  MessageBoxW(owner_, Utf8ToWide(text).c_str(), Utf8ToWide(kProgramTitle).c_str(), MB_OK);
}

void MessageBoxRuntime::EndProgram() { ExitProcess(0); }

void MessageBoxRuntime::ReportRuntimeError(const RuntimeError& error) {
  MessageBoxW(owner_, Utf8ToWide(RuntimeErrorReport(error)).c_str(), Utf8ToWide(kProgramTitle).c_str(),
              MB_OK | MB_ICONERROR);
  ExitProcess(kRuntimeErrorExitCode);
}

}  // namespace tidewell
