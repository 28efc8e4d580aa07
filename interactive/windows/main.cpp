// larkspan.exe: a small window with one button; each press sets the clock from the time page and
// says in a message box how it went. It reads no command line.
#include <windows.h>

#include "Form1.h"
#include "Form1Window.h"
#include "MessageBoxRuntime.h"
#include "NativePlatform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  using namespace tidewell;
  auto platform = CreateNativePlatform({.interactive = true});
  MessageBoxRuntime runtime;
  Form1 form(*platform, runtime);
  Form1Window window(instance, form, runtime);
  if (!window.Show(showCommand)) return 1;
  return window.RunMessageLoop();
}
