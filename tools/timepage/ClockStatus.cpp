#include "ClockStatus.h"

#include <sys/timex.h>

#include <cstdio>

namespace tidewell::timepage {

std::optional<std::string> WhyNotVouched(const ClockReading& reading) {
  if (!reading.readable) return "the kernel does not say whether it is synchronised";
  if (reading.unsyncFlag) return "the kernel reports it unsynchronised (STA_UNSYNC)";
  if (reading.maxError <= kLargestVouchedError) return std::nullopt;
  char text[96];
  std::snprintf(text, sizeof text, "its maximum error is %.3f ms, over %.3f ms",
                std::chrono::duration<double, std::milli>(reading.maxError).count(),
                std::chrono::duration<double, std::milli>(kLargestVouchedError).count());
  return text;
}

ClockReading ClockStatus::Read() const {
  timex reading{};  // modes 0: read only, no bit that would change anything
  if (::adjtimex(&reading) == -1) return {false, true, {}};
  return {true, (reading.status & STA_UNSYNC) != 0, std::chrono::microseconds{reading.maxerror}};
}

}  // namespace tidewell::timepage
