#pragma once

// What the two halves of the server's event loop share: the tags and time limits of the loop
// (Server.cpp) and of the answers on the second (ServerAnswers.cpp). Internal to the server.

#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Server.h"

namespace tidewell::timepage::loop {

using namespace std::chrono_literals;

// Tags in the epoll data of the server's own descriptors; connections count up from kFirstId,
// never reusing an id, so a stale event of a closed connection can never hit a new one.
inline constexpr std::uint64_t kListenerTag = 1;
inline constexpr std::uint64_t kTimerTag = 2;
inline constexpr std::uint64_t kStopTag = 3;
inline constexpr std::uint64_t kClockStepTag = 4;
inline constexpr std::uint64_t kFirstId = 16;

inline constexpr int kEventsPerWait = 1024;
// A client that reads its reply this slowly is not going to set a clock with it.
inline constexpr auto kWriteTimeout = 10s;
// After the last reply on a connection our side is shut and we wait for the client to close,
// reading what it still sends, so that unread bytes cannot make the kernel reset the
// connection under a reply the client has not read yet. A client that does not close is
// dropped after this.
inline constexpr auto kLingerTime = 2s;
// When no descriptor is left for a new client, one that has waited at least this long for its
// request head is closed to make room: a client of the time page sends its request as soon as
// it is connected, so the longest waiting are the ones holding a place without using it.
inline constexpr auto kShortestWaitDropped = 250ms;

// The events of each phase: hang-ups always, input only while it is wanted.
inline constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
inline constexpr std::uint32_t kParkedEvents = EPOLLRDHUP;
inline constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLRDHUP;

inline void Report(const char* what) {
  std::fprintf(stderr, "tidewell-timepage: %s: %s\n", what, std::strerror(errno));
}

}  // namespace tidewell::timepage::loop

namespace tidewell::timepage {

template <typename Step>
void Server::Guarded(std::uint64_t id, Step&& step) {
  try {
    step();
  } catch (const std::exception& error) {
    // Running out of memory is the likely cause. A client's exchange left half done is dropped
    // with it; the server's own steps come round again with their next event.
    const bool client = id >= loop::kFirstId && connections_.count(id) != 0;
    std::fprintf(stderr, "tidewell-timepage: %s%s\n", error.what(),
                 client ? "; dropping a client" : "");
    if (client) Close(id);
  }
}

}  // namespace tidewell::timepage
