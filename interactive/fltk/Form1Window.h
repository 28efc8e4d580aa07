#pragma once

#include <FL/Fl_Double_Window.H>

#include "Form1.h"
#include "Runtime.h"
#include "ScreenLayout.h"

namespace tidewell {

// Form1 as FLTK draws it: the caption, one button, the icon. Presses of the button go to the
// window object through the runtime, so a run-time error in the handler is reported as the
// runtime reports it.
class Form1Window : public Fl_Double_Window {
 public:
  Form1Window(Form1& form, Runtime& runtime, const form1::ScreenLayout& layout);

  // Shows the window with its icon. The icon is made here, not on construction: turning the
  // pixmap's colours into pixels needs the display.
  void show() override;

 private:
  static void OnCommand1(Fl_Widget*, void* self);
  static void OnClose(Fl_Widget* window, void*);

  Form1& form_;
  Runtime& runtime_;
};

}  // namespace tidewell
