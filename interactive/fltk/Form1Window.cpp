#include "Form1Window.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_RGB_Image.H>

#include "tidewell.xpm"  // packaging/icon: the one picture of the alarm clock

namespace tidewell {
namespace {

void SetIcon(Fl_Window& window) {
  const Fl_Pixmap pixmap(tidewell_xpm);
  const Fl_RGB_Image image(&pixmap);
  window.icon(&image);  // the window keeps a copy
}

}  // namespace

Form1Window::Form1Window(Form1& form, Runtime& runtime, const form1::ScreenLayout& layout)
    : Fl_Double_Window(layout.Client().width, layout.Client().height, form1::kCaption),
      form_(form),
      runtime_(runtime) {
  const form1::PixelBox place = layout.Button();
  Fl_Button* command1 =
      new Fl_Button(place.left, place.top, place.width, place.height, form1::kButtonCaption);
  command1->labelsize(layout.FontPixels());
  command1->shortcut(FL_Enter);  // the focused button is the default one, as on the desktop
  command1->callback(OnCommand1, this);
  end();

  callback(OnClose);
  xclass("larkspan");  // lets desktops match the window to its entry (StartupWMClass)
}

void Form1Window::show() {
  if (!shown()) SetIcon(*this);
  Fl_Double_Window::show();
}

void Form1Window::OnCommand1(Fl_Widget*, void* self) {
  Form1Window& window = *static_cast<Form1Window*>(self);
  DeliverEvent(window.runtime_, [&] { window.form_.Command1_Click(); });
}

void Form1Window::OnClose(Fl_Widget* window, void*) {
  // FLTK closes a window on Escape; this one closes only when the user closes it.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  window->hide();  // the last window gone, Fl::run() returns and the program ends
}

}  // namespace tidewell
