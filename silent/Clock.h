#pragma once

#include <string>

#include "Runtime.h"
#include "TimeCore.h"

namespace tidewell {

// How fenwhit ends, for whoever started it (a service manager, cron, Task Scheduler). The
// numbers are those of the BSD sysexits that systemd names in its status, except the run-time
// error, whose status the program has always had.
enum SilentStatus : int {
  kStatusClockSet = 0,
  kStatusRuntimeError = 1,  // the runtime's report of a malformed time entry
  kStatusNoTimeEntry = 65,  // EX_DATAERR: the page came without a Universal time entry
  kStatusUnreachable = 69,  // EX_UNAVAILABLE: no page (no answer, an error page, a bad certificate)
  kStatusClockRefused = 77,  // EX_NOPERM: the system would not let the clock be changed
};

// What fenwhit says when it ends without having set the clock.
struct SilentOutcome {
  int status = kStatusClockSet;
  std::string line;  // one line for standard error; empty when the clock was set
};

// The silent program's window. It is never shown: all its work happens while it loads.
class Clock : public TimeCore {
 public:
  Clock(Platform& platform, Runtime& runtime) : TimeCore(platform), runtime_(runtime) {}

  // One synchronisation, then the end of the program with the status of its outcome.
  void Form_Load();

  // The outcome of the synchronisation that just returned `clockSet`.
  SilentOutcome Outcome(bool clockSet) const;

 private:
  Runtime& runtime_;
};

}  // namespace tidewell
