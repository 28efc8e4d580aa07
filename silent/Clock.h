#pragma once

#include "Runtime.h"
#include "TimeCore.h"

namespace tidewell {

// The silent program's window. It is never shown: all its work happens while it loads.
class Clock : public TimeCore {
 public:
  Clock(Platform& platform, Runtime& runtime) : TimeCore(platform), runtime_(runtime) {}

  // One synchronisation, whatever its outcome, then the end of the program.
  void Form_Load();

 private:
  Runtime& runtime_;
};

}  // namespace tidewell
