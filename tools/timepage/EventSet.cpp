#include "EventSet.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "Address.h"

namespace tidewell::timepage {

EventSet::EventSet() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (!epoll_.valid()) {
    throw ListenError(std::string{"cannot create the event set: "} + std::strerror(errno));
  }
}

bool EventSet::Add(int fd, std::uint32_t events, std::uint64_t tag) {
  return Control(EPOLL_CTL_ADD, fd, events, tag);
}

bool EventSet::Modify(int fd, std::uint32_t events, std::uint64_t tag) {
  return Control(EPOLL_CTL_MOD, fd, events, tag);
}

bool EventSet::Remove(int fd) { return ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr) == 0; }

int EventSet::Wait(std::span<epoll_event> events, int timeoutMs) {
  return ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), timeoutMs);
}

bool EventSet::Control(int operation, int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = tag;
  return ::epoll_ctl(epoll_.get(), operation, fd, &event) == 0;
}

}  // namespace tidewell::timepage
