#pragma once

#include <memory>

#include "Platform.h"

namespace tidewell {

struct NativePlatformOptions {
  // The program runs in front of a user and may ask them for the right to set the clock. The
  // silent program leaves this off: it must never wait for anybody.
  bool interactive = false;
};

// The platform services of the operating system the program was built for.
std::unique_ptr<Platform> CreateNativePlatform(const NativePlatformOptions& options = {});

}  // namespace tidewell
