#pragma once

// The listening socket in the server's event set: accepts clients as they come, and stops
// accepting for a moment when the process runs out of descriptors instead of spinning on a
// listener that stays readable.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "EventSet.h"
#include "UniqueFd.h"

namespace tidewell::timepage {

class Listener {
 public:
  using Mono = std::chrono::steady_clock::time_point;

  // Binds, listens and joins `events` under `tag`. Throws ListenError.
  Listener(EventSet& events, const std::string& literal, std::uint16_t port, std::uint64_t tag);

  // "127.0.0.1:8037" or "[::1]:8037": where it really listens.
  std::string Endpoint() const;

  // The next waiting client, or an empty descriptor when none is waiting or accepting had to
  // pause.
  UniqueFd Accept();

  // While paused: when accepting resumes.
  std::optional<Mono> PausedUntil() const { return pausedUntil_; }
  void ResumeWhenDue(Mono now);

 private:
  void Pause();

  EventSet& events_;
  UniqueFd socket_;
  std::uint64_t tag_;
  std::optional<Mono> pausedUntil_;
};

}  // namespace tidewell::timepage
