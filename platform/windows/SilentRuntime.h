#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "Runtime.h"

namespace tidewell {

// Where the silent program's reports go. A message box waits until somebody closes it; where
// no window station is visible (Task Scheduler running the task as SYSTEM, a service, nobody
// logged on) nobody can, and every later run of the task would be skipped behind it. There the
// reports go to the Application event log instead, and the end status tells the rest.
enum class ReportDestination { kMessageBox, kEventLog };

// The UOI_FLAGS of the process's window station, or nothing when they cannot be read. Linked
// from the window_station library; the Wine tests link one that answers "not visible".
std::optional<DWORD> ProcessWindowStationFlags();

// A message box only where the window station is known to be visible (WSF_VISIBLE).
ReportDestination ChooseReportDestination(std::optional<DWORD> windowStationFlags);

// The runtime of the silent program where nobody can see a box: each report is one entry of
// the Application event log from the source kEventSource, and the process ends with the status
// a message box would have left.
class EventLogRuntime : public Runtime {
 public:
  static constexpr const wchar_t* kEventSource = L"Tidewell";
  static constexpr DWORD kMessageEvent = 1;
  static constexpr DWORD kRuntimeErrorEvent = 2;
  static constexpr DWORD kFailureEvent = 3;

  void ShowMessage(const std::string& text) override;
  [[noreturn]] void EndProgram() override;
  // A task run where nobody sees the window has no standard error either: the line that says
  // what went wrong goes to the log as a warning, beside the status.
  [[noreturn]] void EndProgramFailing(int status, const std::string& line) override;
  [[noreturn]] void ReportRuntimeError(const RuntimeError& error) override;
};

// Writes one entry with `text` to the Application event log; false when the log refused it.
bool WriteEventLogEntry(WORD type, DWORD eventId, const std::string& text);

// The silent program's runtime for that destination.
std::unique_ptr<Runtime> CreateSilentRuntime(ReportDestination destination);

}  // namespace tidewell
