#pragma once

// Answering on the second. The page names a whole second, and a client that sets its clock from
// it can only be as right as the moment the page leaves, so the server holds each request until
// the served clock reaches a whole second and then sends the page for that second at once.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "TimePage.h"
#include "UniqueFd.h"

namespace tidewell::timepage {

using tools::UniqueFd;

// The clock that the server serves and aligns its replies on: this machine's real-time clock
// shifted by an offset (--offset). The event loop reads it only through here, so that a test can
// step it, as an operator or NTP steps the real one, without touching this machine's clock.
class ServedClock {
 public:
  explicit ServedClock(std::chrono::nanoseconds offset = {}) : offset_(offset) {}
  virtual ~ServedClock() = default;

  // How far the served clock is ahead of this machine's clock, on which the boundary timer runs.
  virtual std::chrono::nanoseconds Offset() const { return offset_; }
  // A descriptor that becomes readable when Offset() was stepped, or -1 for an offset that never
  // changes. Steps of this machine's own clock need none: the boundary timer reports them.
  virtual int StepNotices() const { return -1; }
  // Reads the notices waiting on StepNotices(); true when there were any.
  virtual bool TakeStepNotices() { return false; }

  Instant Now() const {
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now()) +
           Offset();
  }

 private:
  std::chrono::nanoseconds offset_;
};

// How late after a whole second a request may come and still be answered with that second.
inline constexpr std::chrono::milliseconds kAlignMargin{2};

// A request whose head is complete at time t on the served clock is answered at the whole second
// B = ceil(t - kAlignMargin): at once if B is not later than t, else when the clock reaches B. A
// request that comes just before a boundary, however close, is answered at that boundary.
inline Second AlignedAnswerSecond(Instant parsedAt) {
  return std::chrono::ceil<std::chrono::seconds>(parsedAt - kAlignMargin);
}
inline bool AnswerIsDue(Second answer, Instant now) { return answer <= now; }
// Without alignment the page shows the current second, truncated.
inline Second ImmediateAnswerSecond(Instant now) {
  return std::chrono::floor<std::chrono::seconds>(now);
}

// The requests held for their second, and the timer (a timerfd on this machine's real-time
// clock) that wakes the server when the earliest of them falls due.
class ParkedRequests {
 public:
  ParkedRequests(const ServedClock& clock, UniqueFd timer)
      : clock_(clock), timer_(std::move(timer)) {}

  int timerFd() const { return timer_.get(); }

  // Holds connection `id` until `answer`; false (with errno) when the timer could not be armed.
  bool Add(Second answer, std::uint64_t id);
  // Reads the fired timer; true when this machine's clock was set meanwhile, which cancels it.
  bool ReadTimer();
  // Moves everything parked to `next`: after a step of the clock the seconds they were parked
  // for mean nothing, and the next whole second of the stepped clock is what each would get now.
  void ParkAllAt(Second next);
  // Takes the connections due at `now` on the served clock, in the order they were parked.
  std::vector<std::uint64_t> TakeDue(Instant now);
  // Arms the timer for the earliest second still parked, or disarms it; false (with errno).
  bool ArmForEarliest();
  std::optional<Second> Earliest() const;

 private:
  // Connection ids by the second they are answered at. A client that hangs up leaves its id
  // here; the server skips ids that are no longer connections.
  using Parked = std::map<Second, std::vector<std::uint64_t>>;
  std::vector<std::uint64_t> TakeUpTo(Parked::iterator end);

  const ServedClock& clock_;
  UniqueFd timer_;
  Parked parked_;
  std::optional<Second> armedFor_;
};

}  // namespace tidewell::timepage
