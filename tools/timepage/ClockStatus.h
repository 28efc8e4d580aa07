#pragma once

// Whether this machine's clock is one the time-page server can vouch for, by the kernel's own
// account of its synchronisation, read (never set) through adjtimex. The server asks only through
// ClockStatus, so that the tests play either state without touching the kernel's.

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

// Empty when the clock can be vouched for, else why not, for the log.
std::optional<std::string> WhyNotVouched(const ClockReading& reading);

class ClockStatus {
 public:
  virtual ~ClockStatus() = default;
  virtual ClockReading Read() const = 0;
};

// The kernel's reading, by adjtimex with no mode bits: it only reads.
class KernelClockStatus final : public ClockStatus {
 public:
  ClockReading Read() const override;
};

}  // namespace tidewell::timepage
