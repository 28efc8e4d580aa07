#pragma once

// The command-line convention of the Tidewell tools: --help prints the usage on standard
// output and --version "<program> 1.00", both with status 0; a wrong command line gives one
// line on standard error and status 2.

#include <cstdio>
#include <string>
#include <string_view>

#include "TidewellVersion.h"

namespace tidewell::tools {

inline constexpr int kExitUsage = 2;

inline int PrintVersion(std::string_view program) {
  std::printf("%.*s %s\n", static_cast<int>(program.size()), program.data(), kVersionText);
  return 0;
}

// `why` may quote the command line, which may hold anything: control characters become '?'
// so that the report stays one line.
inline int UsageError(std::string_view program, std::string_view why) {
  std::string line{program};
  line += ": ";
  for (const char c : why) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  line += " (try --help)\n";
  std::fputs(line.c_str(), stderr);
  return kExitUsage;
}

}  // namespace tidewell::tools
