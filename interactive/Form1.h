#pragma once

#include <string>

#include "Runtime.h"
#include "TimeCore.h"

namespace tidewell {

// The interactive program's window object: the synchronisation component plus the one button's
// click handler. The window itself is drawn by the platform's toolkit from Form1Layout.h.
class Form1 : public TimeCore {
 public:
  static constexpr const char* kChangedPrefix = "Your system time was changed to ";
  static constexpr const char* kFailedMessage =
      "The attempt to synchronize your system time failed";

  Form1(Platform& platform, Runtime& runtime) : TimeCore(platform), runtime_(runtime) {}

  // One synchronisation, then its outcome in a message box.
  void Command1_Click();

 private:
  Runtime& runtime_;
};

}  // namespace tidewell
