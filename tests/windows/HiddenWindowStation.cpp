// For test copies of fenwhit.exe: a window station that exists but is not visible, as the one a
// task run as SYSTEM by the Task Scheduler gets.
#include "SilentRuntime.h"

namespace tidewell {

std::optional<DWORD> ProcessWindowStationFlags() { return DWORD{0}; }

}  // namespace tidewell
