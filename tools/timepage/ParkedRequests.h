#pragma once

// The requests held for their second, and the timer that wakes the server when the earliest
// of them falls due.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "TimePage.h"
#include "UniqueFd.h"

namespace tidewell::timepage {

class ParkedRequests {
 public:
  // `offset` is how far the served clock is ahead of this machine's, on which the timer runs.
  // Throws ListenError when the timer cannot be made.
  explicit ParkedRequests(std::chrono::nanoseconds offset);

  // The descriptor that becomes readable when the timer fires.
  int timerFd() const { return timer_.get(); }

  // Holds connection `id` until `answer`, waking earlier than before if it must.
  void Add(Second answer, std::uint64_t id);

  // Reads the fired timer; true when this machine's clock was set meanwhile (the timer is
  // cancelled then), so that the parked requests must be looked at again.
  bool ReadTimer();
  // Moves everything parked beyond `next` to `next`: after the clock was stepped back, no
  // client waits for the old second.
  void ParkLaterOnesAt(Second next);
  // Takes the connections due at `now` on the served clock, in the order they were parked.
  std::vector<std::uint64_t> TakeDue(Instant now);
  // Arms the timer for the earliest second still parked, or disarms it.
  void ArmForEarliest();

 private:
  std::chrono::nanoseconds offset_;
  UniqueFd timer_;
  // Connection ids by the second they are answered at. A client that hangs up leaves its id
  // here; the server skips ids that are no longer connections.
  std::map<Second, std::vector<std::uint64_t>> parked_;
  std::optional<Second> armedFor_;
};

}  // namespace tidewell::timepage
