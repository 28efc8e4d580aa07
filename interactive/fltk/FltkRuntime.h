#pragma once

#include <string>

#include "Runtime.h"
#include "ScreenLayout.h"

namespace tidewell {

// The interactive program's runtime on FLTK: message boxes of its own (text, one OK button, no
// icon, the program's title), the end of the process, and the run-time error report.
class FltkRuntime : public Runtime {
 public:
  static constexpr int kRuntimeErrorStatus = 1;

  explicit FltkRuntime(const form1::ScreenLayout& layout) : layout_(layout) {}

  // The message's time text comes in the character set of the user's time format; the box
  // shows it in the UTF-8 that FLTK draws.
  void ShowMessage(const std::string& text) override;
  [[noreturn]] void EndProgram() override;
  // RuntimeErrorReport in a box, then the end of the program.
  [[noreturn]] void ReportRuntimeError(const RuntimeError& error) override;

 private:
  form1::ScreenLayout layout_;
};

}  // namespace tidewell
