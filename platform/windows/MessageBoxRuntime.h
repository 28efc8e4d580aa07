#pragma once

#include <windows.h>

#include <string>

#include "Runtime.h"

namespace tidewell {

// The runtime of both Windows programs: message boxes titled with the program's title, and the
// end of the process.
class MessageBoxRuntime : public Runtime {
 public:
  static constexpr UINT kRuntimeErrorExitCode = 1;

  // The window that owns the boxes (disabled while one is open); none until the program has one.
  void SetOwner(HWND owner) { owner_ = owner; }

  void ShowMessage(const std::string& text) override;
  [[noreturn]] void EndProgram() override;
  // "Run-time error 'N':" and the description in a box, then the end of the process with
  // kRuntimeErrorExitCode.
  [[noreturn]] void ReportRuntimeError(const RuntimeError& error) override;

 private:
  HWND owner_ = nullptr;
};

}  // namespace tidewell
