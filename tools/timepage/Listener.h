#pragma once

// The listening socket in the server's event set: accepts clients as they come, and can stop
// accepting for a moment, when the process runs out of descriptors, instead of spinning on a
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

  enum class Outcome {
    kClient,            // a client was accepted
    kNoneWaiting,       // nobody is waiting, or accepting failed (reported)
    kOutOfDescriptors,  // a client waits but the process or the system has no descriptor left
  };
  struct Accepted {
    Outcome outcome;
    UniqueFd client;  // valid with kClient
  };
  Accepted Accept();

  // Stops accepting for a moment, so that the loop does not spin on a listener that stays
  // readable while no client can be taken.
  void Pause();
  // While paused: when accepting resumes.
  std::optional<Mono> PausedUntil() const { return pausedUntil_; }
  void ResumeWhenDue(Mono now);

 private:
  EventSet& events_;
  UniqueFd socket_;
  std::uint64_t tag_;
  std::optional<Mono> pausedUntil_;
};

}  // namespace tidewell::timepage
