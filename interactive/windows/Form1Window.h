#pragma once

#include <windows.h>

#include "Form1.h"
#include "MessageBoxRuntime.h"

namespace tidewell {

// Form1 drawn with plain Win32: a fixed-size window with the one push button, laid out from the
// design in twips for the dots per inch of the screen the window is on.
class Form1Window {
 public:
  static constexpr int kCommand1Id = 101;
  static constexpr int kIconResourceId = 1;  // the first icon in the program file

  Form1Window(HINSTANCE instance, Form1& form, MessageBoxRuntime& runtime);
  ~Form1Window();
  Form1Window(const Form1Window&) = delete;
  Form1Window& operator=(const Form1Window&) = delete;

  // Creates the window at the place Windows chooses and shows it; false when it cannot.
  bool Show(int showCommand);
  // Delivers the window's events until it is closed; the program's exit code.
  int RunMessageLoop();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  bool RegisterWindowClass();
  void CreateCommand1();
  // Sizes the client area and places the button and its font for `dotsPerInch`. A suggested
  // window rectangle (from WM_DPICHANGED) is taken as the window's new place.
  void LayOut(int dotsPerInch, const RECT* suggested = nullptr);
  void ReplaceFont(int dotsPerInch);

  HINSTANCE instance_;
  Form1& form_;
  MessageBoxRuntime& runtime_;
  HWND window_ = nullptr;
  HWND command1_ = nullptr;
  HFONT font_ = nullptr;
};

}  // namespace tidewell
