#pragma once

// The clock that the time-page server serves and aligns its replies on: this machine's
// real-time clock shifted by an offset. The event loop reads it only through this interface, so
// that a test can step the served clock, as an operator or NTP steps the real one, without
// touching this machine's clock.

#include <chrono>

#include "TimePage.h"

namespace tidewell::timepage {

class ServedClock {
 public:
  virtual ~ServedClock() = default;

  // How far the served clock is ahead of this machine's real-time clock, on which the boundary
  // timer runs.
  virtual std::chrono::nanoseconds Offset() const = 0;

  // A descriptor that becomes readable when Offset() was stepped, or -1 for an offset that never
  // changes. Steps of this machine's own clock need none: the boundary timer reports them.
  virtual int StepNotices() const { return -1; }
  // Reads the notices waiting on StepNotices(); true when there were any.
  virtual bool TakeStepNotices() { return false; }

  // Now on the served clock.
  Instant Now() const {
    const auto real =
        std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
    return Instant{real.time_since_epoch()} + Offset();
  }
};

// The clock of an ordinary run: this machine's clock, shifted by --offset.
class ShiftedSystemClock final : public ServedClock {
 public:
  explicit ShiftedSystemClock(std::chrono::nanoseconds offset) : offset_(offset) {}
  std::chrono::nanoseconds Offset() const override { return offset_; }

 private:
  std::chrono::nanoseconds offset_;
};

}  // namespace tidewell::timepage
