#pragma once

// Answering on the second. The page names a whole second, and a client that sets its clock from
// it can only be as right as the moment the page leaves, so the server holds each request until
// the served clock reaches a whole second and then sends the page for that second at once. Here
// are the served clock, the rule that picks the second, and the requests held for theirs.

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
// shifted by an offset. The event loop reads it only through this interface, so that a test can
// step the served clock, as an operator or NTP steps the real one, without touching this
// machine's clock.
class ServedClock {
 public:
  virtual ~ServedClock() = default;

  // How far the served clock is ahead of this machine's clock, on which the boundary timer runs.
  virtual std::chrono::nanoseconds Offset() const = 0;

  // A descriptor that becomes readable when Offset() was stepped, or -1 for an offset that never
  // changes. Steps of this machine's own clock need none: the boundary timer reports them.
  virtual int StepNotices() const { return -1; }
  // Reads the notices waiting on StepNotices(); true when there were any.
  virtual bool TakeStepNotices() { return false; }

  // Now on the served clock.
  Instant Now() const {
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now()) +
           Offset();
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

// How late after a whole second a request may come and still be answered with that second.
inline constexpr std::chrono::milliseconds kAlignMargin{2};

// The alignment rule: a request whose head is complete at time t on the served clock is
// answered at the whole second B = ceil(t - kAlignMargin). If B is not later than t, the reply
// goes out at once and carries B; otherwise the request is held until the clock reaches B, the
// next whole second, and the reply carries B and leaves then. A request that comes just before a
// boundary, however close, is answered at that boundary, never a second later.
Second AlignedAnswerSecond(Instant parsedAt);
// Whether the reply for `answer` may go out at `now` rather than wait.
bool AnswerIsDue(Second answer, Instant now);
// With alignment off the page shows the current second, truncated.
Second ImmediateAnswerSecond(Instant now);

// The requests held for their second, and the timer (a timerfd on this machine's real-time
// clock) that wakes the server when the earliest of them falls due.
class ParkedRequests {
 public:
  ParkedRequests(const ServedClock& clock, UniqueFd timer)
      : clock_(clock), timer_(std::move(timer)) {}

  int timerFd() const { return timer_.get(); }

  // Holds connection `id` until `answer`; false (with errno) when the timer could not be armed.
  bool Add(Second answer, std::uint64_t id);
  // Reads the fired timer; true when this machine's clock was set meanwhile (the timer is
  // cancelled then), so that the parked requests must be looked at again.
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
  const ServedClock& clock_;
  UniqueFd timer_;
  // Connection ids by the second they are answered at. A client that hangs up leaves its id
  // here; the server skips ids that are no longer connections.
  std::map<Second, std::vector<std::uint64_t>> parked_;
  std::optional<Second> armedFor_;
};

}  // namespace tidewell::timepage
