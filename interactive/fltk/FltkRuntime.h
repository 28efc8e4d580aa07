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
  [[noreturn]] void ReportRuntimeError(const RuntimeError& error) override;

  // The report's text, as users of the original program know it:
  // "Run-time error '13':\n\nType mismatch".
  static std::string ErrorReport(const RuntimeError& error);

 private:
  form1::ScreenLayout layout_;
};

}  // namespace tidewell
