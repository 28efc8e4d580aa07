#include "FltkRuntime.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "LocaleText.h"

namespace tidewell {
namespace {

// The box's design in twips, after the classic desktop message box: 12-pixel margins and a
// 75 × 23 OK button at 96 dpi, never narrower than two buttons.
constexpr int kMarginTwips = 180;
constexpr int kOkWidthTwips = 1125;
constexpr int kOkHeightTwips = 345;
constexpr int kLeastTextWidthTwips = 2 * kOkWidthTwips;

// FLTK draws a left- or right-aligned label this many pixels inside its widget.
constexpr int kLabelInset = 3;

void CloseBox(Fl_Widget* ok, void*) { ok->window()->hide(); }

}  // namespace

void FltkRuntime::ShowMessage(const std::string& text) {
  const std::string shown = MessageForDisplay(text);
  const int font = layout_.FontPixels();
  const int margin = layout_.ToPixelsX(kMarginTwips);
  const int okWidth = layout_.ToPixelsX(kOkWidthTwips);
  const int okHeight = layout_.ToPixelsY(kOkHeightTwips);

  int textWidth = 0;
  int textHeight = 0;
  fl_font(FL_HELVETICA, font);
  fl_measure(shown.c_str(), textWidth, textHeight);
  textWidth = std::max(textWidth, layout_.ToPixelsX(kLeastTextWidthTwips));
  const int width = margin + textWidth + margin;
  const int height = margin + textHeight + margin + okHeight + margin;

  // Centred on the screen the user is working on, as desktop message boxes are.
  int screenX, screenY, screenWidth, screenHeight;
  Fl::screen_work_area(screenX, screenY, screenWidth, screenHeight);

  Fl_Window box(screenX + (screenWidth - width) / 2, screenY + (screenHeight - height) / 2, width,
                height, kProgramTitle);
  Fl_Box* message = new Fl_Box(margin - kLabelInset, margin, textWidth + 2 * kLabelInset,
                               textHeight, shown.c_str());
  message->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP);
  message->labelsize(font);
  Fl_Button* ok =
      new Fl_Button((width - okWidth) / 2, height - margin - okHeight, okWidth, okHeight, "OK");
  ok->labelsize(font);
  ok->shortcut(FL_Enter);
  ok->callback(CloseBox);
  box.end();
  box.set_modal();
  box.show();
  ok->take_focus();
  while (box.shown()) Fl::wait();
}

void FltkRuntime::EndProgram() { std::exit(EXIT_SUCCESS); }

void FltkRuntime::ReportRuntimeError(const RuntimeError& error) {
  ShowMessage(RuntimeErrorReport(error));
  std::exit(kRuntimeErrorStatus);
}

}  // namespace tidewell
