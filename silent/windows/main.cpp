// fenwhit.exe: sets the clock once from the time page and ends, showing nothing. It is a
// windowed (not a console) program so that starting it from the Startup folder or the Task
// Scheduler flashes no console. The only thing it can ever show is the report of a run-time
// error, in a message box on a user's desktop; where nobody could close the box, the report goes
// to the event log.
#include <windows.h>

#include "Clock.h"
#include "NativePlatform.h"
#include "SilentRuntime.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace tidewell;
  auto platform = CreateNativePlatform({.interactive = false});
  const auto runtime = CreateSilentRuntime(ChooseReportDestination(ProcessWindowStationFlags()));
  // The window object is created but never shown: its load event ends the program.
  Clock clock(*platform, *runtime);
  DeliverEvent(*runtime, [&] { clock.Form_Load(); });
  return 0;
}
