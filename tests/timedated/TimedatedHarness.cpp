#include "TimedatedHarness.h"

#include <systemd/sd-bus.h>

#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace tidewell::test {
namespace {

// python3 starting dbusmock takes well under a second; a loaded machine gets ample room.
constexpr std::chrono::seconds kStartupLimit{20};
constexpr std::chrono::milliseconds kPollInterval{50};
// Traffic of a program that has already ended reaches the monitor at once; a quiet spell this
// long means there is nothing more to come.
constexpr std::uint64_t kQuietSpellMicroseconds = 300'000;

constexpr const char* kBusDriverName = "org.freedesktop.DBus";
constexpr const char* kBusDriverPath = "/org/freedesktop/DBus";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";
constexpr const char* kMockTimedatedInterface = "org.tidewell.MockTimedated";
constexpr double kMicrosecondsPerSecond = 1e6;
constexpr const char* kSetTimeMember = "SetTime";

std::string BusFailure(const std::string& what, int result) {
  return what + ": " + std::system_category().message(-result);
}

// Frees an sd_bus_error and an answer message whatever happens to the call.
struct Call {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  ~Call() {
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
  }
  std::string Describe(int result) const {
    return sd_bus_error_is_set(&error) ? std::string(error.name) : BusFailure("call", result);
  }
};

// The bus configuration: only what the tests need, and open to every local user.
std::string BusConfiguration(const std::string& socketPath) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=)" +
         socketPath + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
}

template <typename Ready>
void WaitUntil(Ready ready, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + kStartupLimit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("gave up waiting for " + what);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string MockParameters(const MockBehaviour& behaviour) {
  std::string json = std::string("{\"NTP\": ") + (behaviour.automaticSync ? "true" : "false");
  if (behaviour.errorName) {
    json += ", \"SetTimeError\": [\"" + *behaviour.errorName + "\", \"refused by the test\"]";
  }
  json += ", \"SetTimeDelay\": " + std::to_string(behaviour.delay.count()) + "}";
  return json;
}

// Reads the arguments "xbb" of a SetTime message into `request`; false when they are not that.
bool ReadSetTimeArguments(sd_bus_message* message, ObservedSetTime& request) {
  int relative = 0;
  int interactive = 0;
  if (request.signature != "xbb") return false;
  if (sd_bus_message_read(message, "xbb", &request.microsecondsUtc, &relative, &interactive) < 0) {
    return false;
  }
  request.relative = relative != 0;
  request.interactive = interactive != 0;
  return true;
}

std::string TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

BusConnection::BusConnection(const std::string& address, bool monitor) {
  int result = sd_bus_new(&bus_);
  if (result >= 0) result = sd_bus_set_address(bus_, address.c_str());
  if (result >= 0) result = sd_bus_set_bus_client(bus_, 1);
  if (result >= 0 && monitor) result = sd_bus_set_monitor(bus_, 1);
  if (result >= 0) result = sd_bus_start(bus_);
  if (result < 0) {
    sd_bus_flush_close_unref(bus_);
    throw std::runtime_error(BusFailure("cannot connect to " + address, result));
  }
}

BusConnection::~BusConnection() { sd_bus_flush_close_unref(bus_); }

bool BusConnection::NameHasOwner(const std::string& name) {
  Call call;
  const int result =
      sd_bus_call_method(bus_, kBusDriverName, kBusDriverPath, kBusDriverName, "NameHasOwner",
                         &call.error, &call.reply, "s", name.c_str());
  if (result < 0) throw std::runtime_error("NameHasOwner: " + call.Describe(result));
  int owned = 0;
  sd_bus_message_read(call.reply, "b", &owned);
  return owned != 0;
}

PrivateSystemBus::PrivateSystemBus(const ScratchDirectory& scratch)
    : address_("unix:path=" + scratch.Path("system_bus_socket")),
      daemonLog_(scratch.Path("dbus-daemon.log")) {
  const std::string configuration = scratch.Path("bus.conf");
  WriteWholeFile(configuration, BusConfiguration(scratch.Path("system_bus_socket")));
  daemon_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{TIDEWELL_DBUS_DAEMON, "--config-file=" + configuration, "--nofork",
                               "--nopidfile"},
      std::vector<std::string>{}, daemonLog_);
  WaitUntil(
      [&] {
        if (!daemon_->Running()) {
          throw std::runtime_error("dbus-daemon ended: " + ReadWholeFile(daemonLog_));
        }
        try {
          BusConnection probe(address_);
          return true;
        } catch (const std::runtime_error&) {
          return false;
        }
      },
      "the private bus");
}

std::string PrivateSystemBus::EnvironmentEntry() const {
  return std::string(kSystemBusVariable) + "=" + address_;
}

std::string PrivateSystemBus::MissingBusEntry(const ScratchDirectory& scratch) {
  return std::string(kSystemBusVariable) + "=unix:path=" + scratch.Path("no_bus_listens_here");
}

MockTimedated::MockTimedated(const PrivateSystemBus& bus, const ScratchDirectory& scratch,
                             const MockBehaviour& behaviour)
    : client_(bus.Address()), log_(scratch.Path("mock-timedated.log")) {
  mock_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{TIDEWELL_DBUSMOCK_PYTHON, "-m", "dbusmock", "--system", "--template",
                               TIDEWELL_TIMEDATED_MOCK, "--parameters", MockParameters(behaviour)},
      std::vector<std::string>{bus.EnvironmentEntry(), "DBUS_SESSION_BUS_ADDRESS"}, log_);
  WaitUntil(
      [&] {
        if (!mock_->Running()) throw std::runtime_error("mock ended: " + ReadWholeFile(log_));
        return client_.NameHasOwner(kTimedatedName);
      },
      "the mock timedated");
}

std::vector<MockSetTime> MockTimedated::SetTimeCalls() {
  Call call;
  int result = sd_bus_call_method(client_.get(), kTimedatedName, kTimedatedPath, kMockInterface,
                                  "GetMethodCalls", &call.error, &call.reply, "s", kSetTimeMember);
  if (result < 0) throw std::runtime_error("GetMethodCalls: " + call.Describe(result));

  std::vector<MockSetTime> calls;
  sd_bus_message_enter_container(call.reply, 'a', "(tav)");
  while (sd_bus_message_enter_container(call.reply, 'r', "tav") > 0) {
    std::uint64_t timestamp = 0;
    sd_bus_message_read(call.reply, "t", &timestamp);
    MockSetTime setTime;
    int relative = 1;
    int interactive = 0;
    sd_bus_message_enter_container(call.reply, 'a', "v");
    result = sd_bus_message_read(call.reply, "vvv", "x", &setTime.microsecondsUtc, "b", &relative,
                                 "b", &interactive);
    if (result < 0) throw std::runtime_error(BusFailure("SetTime arguments", result));
    sd_bus_message_exit_container(call.reply);
    sd_bus_message_exit_container(call.reply);
    setTime.relative = relative != 0;
    setTime.interactive = interactive != 0;
    calls.push_back(setTime);
  }
  return calls;
}

std::vector<MockClockChange> MockTimedated::ClockChanges() {
  Call call;
  int result =
      sd_bus_call_method(client_.get(), kTimedatedName, kTimedatedPath, kMockTimedatedInterface,
                         "ClockChanges", &call.error, &call.reply, "");
  if (result < 0) throw std::runtime_error("ClockChanges: " + call.Describe(result));

  std::vector<MockClockChange> changes;
  sd_bus_message_enter_container(call.reply, 'a', "(xx)");
  MockClockChange change;
  while ((result = sd_bus_message_read(call.reply, "(xx)", &change.wallClockMicroseconds,
                                       &change.setToMicroseconds)) > 0) {
    changes.push_back(change);
  }
  if (result < 0) throw std::runtime_error(BusFailure("ClockChanges", result));
  return changes;
}

double MockClockChange::AheadSeconds() const {
  return static_cast<double>(setToMicroseconds - wallClockMicroseconds) / kMicrosecondsPerSecond;
}

SetTimeMonitor::SetTimeMonitor(const PrivateSystemBus& bus)
    : monitor_(bus.Address(), /*monitor=*/true) {
  Call call;
  const int result = sd_bus_call_method(monitor_.get(), kBusDriverName, kBusDriverPath,
                                        "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
                                        &call.error, &call.reply, "asu", 0, 0u);
  if (result < 0) throw std::runtime_error("BecomeMonitor: " + call.Describe(result));
}

std::vector<ObservedSetTime> SetTimeMonitor::Requests() {
  for (;;) {
    sd_bus_message* message = nullptr;
    const int result = sd_bus_process(monitor_.get(), &message);
    if (result < 0) throw std::runtime_error(BusFailure("monitor", result));
    if (message != nullptr) {
      Observe(message);
      sd_bus_message_unref(message);
    }
    if (result > 0) continue;
    if (sd_bus_wait(monitor_.get(), kQuietSpellMicroseconds) == 0) break;
  }
  return seen_;
}

void SetTimeMonitor::Observe(sd_bus_message* message) {
  std::uint8_t type = 0;
  sd_bus_message_get_type(message, &type);
  const std::string sender = TextOrEmpty(sd_bus_message_get_sender(message));
  const std::string destination = TextOrEmpty(sd_bus_message_get_destination(message));

  if (type == SD_BUS_MESSAGE_METHOD_CALL &&
      TextOrEmpty(sd_bus_message_get_member(message)) == kSetTimeMember) {
    ObservedSetTime request;
    request.destination = destination;
    request.path = TextOrEmpty(sd_bus_message_get_path(message));
    request.interface = TextOrEmpty(sd_bus_message_get_interface(message));
    request.signature = TextOrEmpty(sd_bus_message_get_signature(message, 1));
    request.allowsInteractiveAuthorization =
        sd_bus_message_get_allow_interactive_authorization(message) > 0;
    ReadSetTimeArguments(message, request);
    std::uint64_t cookie = 0;
    sd_bus_message_get_cookie(message, &cookie);
    callIds_.emplace_back(sender, cookie);
    seen_.push_back(request);
    return;
  }

  std::uint64_t replyCookie = 0;
  if (sd_bus_message_get_reply_cookie(message, &replyCookie) < 0) return;
  for (std::size_t index = 0; index < callIds_.size(); ++index) {
    if (callIds_[index] != std::make_pair(destination, replyCookie)) continue;
    seen_[index].answer = type == SD_BUS_MESSAGE_METHOD_ERROR
                              ? TextOrEmpty(sd_bus_message_get_error(message)->name)
                              : "return";
  }
}

}  // namespace tidewell::test
