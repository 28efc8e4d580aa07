#pragma once

// The requests held for their second, and the timer that wakes the server when the earliest
// of them falls due.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "ServedClock.h"
#include "TimePage.h"
#include "UniqueFd.h"

namespace tidewell::timepage {

class ParkedRequests {
 public:
  // The timer runs on this machine's clock, `clock` says how far the served one is ahead of it.
  // Throws ListenError when the timer cannot be made.
  explicit ParkedRequests(const ServedClock& clock);

  // The descriptor that becomes readable when the timer fires.
  int timerFd() const { return timer_.get(); }

  // Holds connection `id` until `answer`, waking earlier than before if it must; false (with
  // errno) when the timer could not be armed for it.
  bool Add(Second answer, std::uint64_t id);

  // Reads the fired timer; true when this machine's clock was set meanwhile (the timer is
  // cancelled then), so that the parked requests must be looked at again.
  bool ReadTimer();
  // Moves everything parked to `next`. After a step of the clock the seconds they were parked
  // for mean nothing: stepped back, they would wait for the old second; stepped forward, they
  // would be due at once, in the middle of a second. The next whole second of the stepped
  // clock is the one each of them would get if it asked now.
  void ParkAllAt(Second next);
  // Takes the connections due at `now` on the served clock, in the order they were parked.
  std::vector<std::uint64_t> TakeDue(Instant now);
  // Arms the timer for the earliest second still parked, or disarms it; false (with errno) when
  // the system refused.
  bool ArmForEarliest();
  // The earliest second still parked, if any.
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
