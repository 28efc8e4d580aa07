// Sets the clock once through the Linux platform, the way larkspan (interactive) or fenwhit
// (silent) would, and prints whether it was set. The tests run it under the clock interposer
// wrapper only: there clock_settime is refused or merely recorded, and the program runs as an
// unprivileged user, so the machine's clock never moves.
//
// usage: timedated_probe interactive|silent "YYYY-MM-DD HH:MM:SS"
//            [INTERACTIVE_REPLY_MS SILENT_REPLY_MS]
//
// The local time is taken in the zone of TZ. Given the two time-outs, the platform waits that
// long for timedated's answer to an interactive or a silent request, in place of the programs'
// own time-outs; without them it is the platform the programs create.
// Prints "set" or "not set" and exits 0; exits 2 on a wrong command line.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "DateTime.h"
#include "LinuxPlatform.h"
#include "NativePlatform.h"

namespace {

constexpr int kUsageError = 2;

std::unique_ptr<tidewell::Platform> PlatformFor(bool interactive, int timeoutCount,
                                                char** timeoutTexts) {
  const tidewell::NativePlatformOptions options{interactive};
  if (timeoutCount == 0) return tidewell::CreateNativePlatform(options);
  const tidewell::TimedatedLimits limits{std::chrono::milliseconds{std::stoll(timeoutTexts[0])},
                                         std::chrono::milliseconds{std::stoll(timeoutTexts[1])}};
  return std::make_unique<tidewell::LinuxPlatform>(options, tidewell::DownloadLimits{}, limits);
}

// UTC = local + bias in the zone as it is now. The platform looks at it only for a reading that
// a change of the zone repeats or skips.
std::int32_t BiasMinutesNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<std::int32_t>(-local.tm_gmtoff / 60);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if ((argc != 3 && argc != 5) || (mode != "interactive" && mode != "silent")) {
    std::cerr << "usage: timedated_probe interactive|silent \"YYYY-MM-DD HH:MM:SS\" "
                 "[INTERACTIVE_REPLY_MS SILENT_REPLY_MS]\n";
    return kUsageError;
  }
  try {
    const tidewell::DateTime local = tidewell::DateTime::Parse(argv[2]);
    const auto platform = PlatformFor(mode == "interactive", argc - 3, argv + 3);
    const bool set = platform->SetLocalClock({local, {}}, BiasMinutesNow());
    std::cout << (set ? "set" : "not set") << std::endl;
  } catch (const std::exception& error) {
    std::cerr << "timedated_probe: " << error.what() << "\n";
    return kUsageError;
  }
  return 0;
}
