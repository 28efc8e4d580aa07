#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tidewell {

// How long a request to systemd-timedated may wait for its answer. An interactive request may
// bring up the desktop's password dialog, so it leaves the user time to type; a silent one has
// nobody to wait for, but leaves room for the bus to start timedated on a cold, busy machine.
inline constexpr std::chrono::milliseconds kInteractiveTimedatedTimeout{120'000};
inline constexpr std::chrono::milliseconds kSilentTimedatedTimeout{10'000};

struct TimedatedLimits {
  std::chrono::milliseconds interactiveReply = kInteractiveTimedatedTimeout;
  std::chrono::milliseconds silentReply = kSilentTimedatedTimeout;
};

// What timedated made of one request to set the clock.
struct TimedatedAnswer {
  bool clockSet = false;
  // Why it was not set: the D-Bus error name and message, or what kept the request from being
  // sent at all. Empty when the clock was set.
  std::string failure;
};

// Asks systemd-timedated, on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), to set the clock
// to `microsecondsUtc` since the epoch, the instant right now. The request carries the step from
// the clock's present reading to that instant, which timedated applies when its authority has
// decided: the clock lands right however long that takes. With `interactive`, the authority may
// ask the user for a password; without it, it must decide on the spot. Waits at most
// `replyTimeout` for the answer.
TimedatedAnswer SetClockThroughTimedated(std::int64_t microsecondsUtc, bool interactive,
                                         std::chrono::milliseconds replyTimeout);

}  // namespace tidewell
