#pragma once

#include <string>

namespace tidewell::test {

// A page in the time service's style whose Universal entry is `aheadSeconds` ahead of the
// system clock, in whole seconds.
std::string TimePageAhead(double aheadSeconds);

}  // namespace tidewell::test
