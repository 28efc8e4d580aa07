#pragma once

// Whether the kernel vouches for this machine's clock, read (never set) through adjtimex; a test
// plays either state through ClockStatus without touching the kernel's.

#include <chrono>
#include <optional>
#include <string>

namespace tidewell::timepage {

struct ClockReading {
  bool readable = true;                   // the kernel answered
  bool unsyncFlag = false;                // STA_UNSYNC: nothing keeps the clock synchronised
  std::chrono::microseconds maxError{0};  // the kernel's bound on the clock's error
};

// NTP clients refuse a server whose distance from the true time may exceed 1.5 s (ntpd's
// selection threshold); a clock that may be further off is not one to hand out as the time.
inline constexpr std::chrono::microseconds kLargestVouchedError = std::chrono::milliseconds{1500};

std::optional<std::string> WhyNotVouched(const ClockReading& reading);

class ClockStatus {
 public:
  virtual ~ClockStatus() = default;
  virtual ClockReading Read() const;
};

}  // namespace tidewell::timepage
