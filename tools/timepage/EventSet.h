#pragma once

// The epoll set of the server: which descriptors it waits on, for which events, and the tag
// each event comes back with. Every change says whether it took; the caller decides what a
// failure costs.

#include <sys/epoll.h>

#include <cstdint>
#include <span>

#include "UniqueFd.h"

namespace tidewell::timepage {

class EventSet {
 public:
  EventSet();  // throws ListenError when the set cannot be made

  bool Add(int fd, std::uint32_t events, std::uint64_t tag);
  bool Modify(int fd, std::uint32_t events, std::uint64_t tag);
  bool Remove(int fd);

  // Waits up to `timeoutMs` (-1: without end) and fills `events`; the count, or -1 with errno.
  int Wait(std::span<epoll_event> events, int timeoutMs);

 private:
  bool Control(int operation, int fd, std::uint32_t events, std::uint64_t tag);

  UniqueFd epoll_;
};

}  // namespace tidewell::timepage
