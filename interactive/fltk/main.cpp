// larkspan: a small window with one button; each press sets the clock from the time page and
// says in a message box how it went. It reads no arguments of its own: FLTK's options are not
// passed on either.
#include <FL/Fl.H>
#include <FL/x.H>

#include <cstdio>

#include "FltkRuntime.h"
#include "Form1.h"
#include "Form1Window.h"
#include "NativePlatform.h"
#include "ScreenLayout.h"

namespace {

constexpr int kNoDisplayStatus = 1;

// FLTK stops with a terse line of its own when there is no X server; say plainly what is wrong
// instead, and hand the connection to FLTK when there is one.
bool OpenDisplay() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    const char* name = XDisplayName(nullptr);
    if (*name == '\0') {
      std::fprintf(stderr, "larkspan: cannot open the display: DISPLAY is not set\n");
    } else {
      std::fprintf(stderr, "larkspan: cannot open the display \"%s\"\n", name);
    }
    return false;
  }
  fl_open_display(display);
  return true;
}

tidewell::form1::ScreenLayout MeasureScreen() {
  float horizontal = 0;
  float vertical = 0;
  Fl::screen_dpi(horizontal, vertical);
  return {tidewell::form1::PlausibleDotsPerInch(horizontal),
          tidewell::form1::PlausibleDotsPerInch(vertical)};
}

}  // namespace

int main() {
  using namespace tidewell;
  if (!OpenDisplay()) return kNoDisplayStatus;
  const form1::ScreenLayout layout = MeasureScreen();

  auto platform = CreateNativePlatform({.interactive = true});
  FltkRuntime runtime(layout);
  Form1 form(*platform, runtime);
  Form1Window window(form, runtime, layout);
  window.show();
  return Fl::run();
}
