// fenwhit: sets the clock once from the time page and ends, showing nothing. It needs no display
// and reads no arguments, so it can run from cron, a systemd timer or a login script.
#include "Clock.h"
#include "ConsoleRuntime.h"
#include "NativePlatform.h"

int main() {
  using namespace tidewell;
  auto platform = CreateNativePlatform({.interactive = false});
  ConsoleRuntime runtime("fenwhit");
  Clock clock(*platform, runtime);
  DeliverEvent(runtime, [&] { clock.Form_Load(); });
  return 0;
}
