#include "SilentRuntime.h"

#include "MessageBoxRuntime.h"
#include "TextConversion.h"

namespace tidewell {

ReportDestination ChooseReportDestination(std::optional<DWORD> windowStationFlags) {
  // Flags that cannot be read count as not visible: a report in the log is never lost to a
  // wait, a box nobody sees is.
  if (windowStationFlags && (*windowStationFlags & WSF_VISIBLE) != 0) {
    return ReportDestination::kMessageBox;
  }
  return ReportDestination::kEventLog;
}

bool WriteEventLogEntry(WORD type, DWORD eventId, const std::string& text) {
  HANDLE log = RegisterEventSourceW(nullptr, EventLogRuntime::kEventSource);
  if (log == nullptr) return false;
  const std::wstring wide = Utf8ToWide(text);
  LPCWSTR strings[] = {wide.c_str()};
  const BOOL written = ReportEventW(log, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(log);
  return written != FALSE;
}

void EventLogRuntime::ShowMessage(const std::string& text) {
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, kMessageEvent, text);
}

void EventLogRuntime::EndProgram() { ExitProcess(0); }

void EventLogRuntime::EndProgramFailing(int status, const std::string& line) {
  WriteEventLogEntry(EVENTLOG_WARNING_TYPE, kFailureEvent, line);
  ExitProcess(static_cast<UINT>(status));
}

void EventLogRuntime::ReportRuntimeError(const RuntimeError& error) {
  // Nothing else can be done when the log refuses the entry: the status still tells.
  WriteEventLogEntry(EVENTLOG_ERROR_TYPE, kRuntimeErrorEvent, RuntimeErrorReport(error));
  ExitProcess(MessageBoxRuntime::kRuntimeErrorExitCode);
}

std::unique_ptr<Runtime> CreateSilentRuntime(ReportDestination destination) {
  if (destination == ReportDestination::kMessageBox) return std::make_unique<MessageBoxRuntime>();
  return std::make_unique<EventLogRuntime>();
}

}  // namespace tidewell
