#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "RuntimeError.h"

namespace tidewell {

// The program's title: the caption of its window, and the title of every message box that is
// shown without one of its own.
inline constexpr const char* kProgramTitle = "Corvalle Software's Tidewell";

// The report of an uncaught run-time error as the message boxes show it, e.g.
// "Run-time error '13':\n\nType mismatch".
inline std::string RuntimeErrorReport(const RuntimeError& error) {
  return "Run-time error '" + std::to_string(error.Number()) + "':\n\n" + error.Description();
}

// What each program's runtime provides around its window: message boxes, ending the program and
// the report of an uncaught run-time error. Each program supplies its own (a desktop one for the
// interactive program, a console one for the silent program); tests supply a recording one.
class Runtime {
 public:
  virtual ~Runtime() = default;

  // A modal box with `text`, a single OK button, no icon and the program's title. Returns when
  // the user has closed it.
  virtual void ShowMessage(const std::string& text) = 0;
  // Ends the program at once with a successful status; no further events are delivered.
  virtual void EndProgram() = 0;
  // Ends the program at once with `status` (not 0) after writing `line`, which says what went
  // wrong and what to check, to its standard error, where a service manager's journal finds it.
  // A program started without one (a windowed Windows program) loses the line; the status, which
  // Task Scheduler shows as "Last Run Result", remains.
  virtual void EndProgramFailing(int status, const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::exit(status);
  }
  // Reports an uncaught run-time error (number and description) and ends the program with a
  // failure status.
  virtual void ReportRuntimeError(const RuntimeError& error) = 0;
};

// Delivers one window event to its handler as the runtime does: a run-time error that the
// handler does not catch is reported, and the report ends the program.
template <class Handler>
void DeliverEvent(Runtime& runtime, Handler&& handler) {
  try {
    handler();
  } catch (const RuntimeError& error) {
    runtime.ReportRuntimeError(error);
  }
}

}  // namespace tidewell
