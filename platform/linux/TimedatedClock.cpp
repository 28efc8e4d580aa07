#include "TimedatedClock.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

namespace tidewell {
namespace {

constexpr const char* kTimedatedService = "org.freedesktop.timedate1";
constexpr const char* kTimedatedObject = "/org/freedesktop/timedate1";
constexpr const char* kTimedatedInterface = "org.freedesktop.timedate1";
constexpr const char* kSetTimeMethod = "SetTime";
constexpr const char* kSetTimeSignature = "xbb";  // usec_utc, relative, interactive
constexpr int kRelativeChange = 1;  // relative = true: a step from the clock's reading
constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::int64_t kNanosecondsPerMicrosecond = 1'000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageReleaser {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageReleaser>;

// sd-bus reports failures as negative errno values.
std::string SystemText(int result) { return std::system_category().message(-result); }

// Frees the error's texts however the call ended.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &error_; }
  std::string Describe(int result) const {
    if (sd_bus_error_is_set(&error_) == 0) return SystemText(result);
    std::string text = error_.name;
    if (error_.message != nullptr) text += std::string(": ") + error_.message;
    return text;
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

TimedatedAnswer Failed(std::string what) { return {false, std::move(what)}; }

// A time-out of 0 would mean sd-bus's own default, so even an injected tiny one stays above it.
std::uint64_t TimeoutMicroseconds(std::chrono::milliseconds timeout) {
  const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
  return static_cast<std::uint64_t>(std::max<std::int64_t>(1, microseconds));
}

// How far the clock must step, from its reading now, to reach `microsecondsUtc`. Read on the
// clock that timedated sets.
std::int64_t MicrosecondsFromNow(std::int64_t microsecondsUtc) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return microsecondsUtc - (static_cast<std::int64_t>(now.tv_sec) * kMicrosecondsPerSecond +
                            now.tv_nsec / kNanosecondsPerMicrosecond);
}

}  // namespace

TimedatedAnswer SetClockThroughTimedated(std::int64_t microsecondsUtc, bool interactive,
                                         std::chrono::milliseconds replyTimeout) {
  // timedated sets the clock only once its authority has answered, which for an interactive
  // request means after the user has typed a password. An absolute instant would then land late
  // by as long as that took. A step is applied to the clock as it reads at that moment, so the
  // clock lands on the caller's time however long the answer takes. It is measured now, as near
  // as can be to the moment the caller's instant was right: reaching the bus takes time too.
  const std::int64_t step = MicrosecondsFromNow(microsecondsUtc);

  sd_bus* opened = nullptr;
  int result = sd_bus_open_system(&opened);
  Bus bus(opened);
  if (result < 0) return Failed("cannot reach the system bus: " + SystemText(result));

  sd_bus_message* created = nullptr;
  result = sd_bus_message_new_method_call(bus.get(), &created, kTimedatedService, kTimedatedObject,
                                          kTimedatedInterface, kSetTimeMethod);
  Message call(created);
  if (result < 0) return Failed("cannot build the request: " + SystemText(result));
  result = sd_bus_message_append(call.get(), kSetTimeSignature, step, kRelativeChange,
                                 static_cast<int>(interactive));
  if (result < 0) return Failed("cannot build the request: " + SystemText(result));
  // The argument tells timedated; the header flag tells the bus and polkit that this caller
  // may wait while the user is asked. A silent program sets neither, so it is never prompted.
  result = sd_bus_message_set_allow_interactive_authorization(call.get(), interactive);
  if (result < 0) return Failed("cannot build the request: " + SystemText(result));

  BusError error;
  sd_bus_message* answered = nullptr;
  result =
      sd_bus_call(bus.get(), call.get(), TimeoutMicroseconds(replyTimeout), error.get(), &answered);
  Message reply(answered);
  if (result < 0) return Failed(error.Describe(result));
  return {true, {}};
}

}  // namespace tidewell
