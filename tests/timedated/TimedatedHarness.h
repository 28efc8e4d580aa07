#pragma once

// A private system bus with a mock systemd-timedated on it, for the tests of the way the Linux
// platform asks timedated to set the clock. Nothing here ever talks to the machine's own system
// bus: every connection goes to an address the tests made, and the programs under test are
// pointed at it through DBUS_SYSTEM_BUS_ADDRESS.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ScratchDirectory.h"

struct sd_bus;
struct sd_bus_message;

namespace tidewell::test {

inline constexpr const char* kTimedatedName = "org.freedesktop.timedate1";
inline constexpr const char* kTimedatedPath = "/org/freedesktop/timedate1";
inline constexpr const char* kSystemBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
inline constexpr const char* kAutomaticSyncError =
    "org.freedesktop.timedate1.AutomaticTimeSyncEnabled";
inline constexpr const char* kAccessDeniedError = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr const char* kInteractiveAuthorizationError =
    "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired";

// The test's own connection to a bus, closed when the object goes.
class BusConnection {
 public:
  // Throws std::runtime_error when the bus cannot be reached.
  explicit BusConnection(const std::string& address, bool monitor = false);
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  sd_bus* get() const { return bus_; }
  bool NameHasOwner(const std::string& name);

 private:
  sd_bus* bus_ = nullptr;
};

// A dbus-daemon of the test's own, on a socket in `scratch`. Its policy lets any user connect,
// own names and send to them, so that programs dropped to the unprivileged user by the
// interposer wrapper can reach the mock that the test (as root) put on it.
class PrivateSystemBus {
 public:
  explicit PrivateSystemBus(const ScratchDirectory& scratch);

  const std::string& Address() const { return address_; }
  // DBUS_SYSTEM_BUS_ADDRESS=<this bus>, for the environment of a program under test.
  std::string EnvironmentEntry() const;
  // DBUS_SYSTEM_BUS_ADDRESS pointing at a socket that does not exist: a machine with no bus.
  static std::string MissingBusEntry(const ScratchDirectory& scratch);

 private:
  std::string address_;
  std::string daemonLog_;
  std::unique_ptr<BackgroundProcess> daemon_;
};

// How the mock timedated answers SetTime. With automaticSync it refuses as timedated does while
// NTP is on; an error, when given, is the answer to every call; a delay holds every answer back
// (the mock then answers nothing at all meanwhile).
struct MockBehaviour {
  bool automaticSync = false;
  std::optional<std::string> errorName;
  std::chrono::seconds delay{0};
};

// One SetTime as the mock timedated recorded it.
struct MockSetTime {
  std::int64_t microsecondsUtc = 0;
  bool relative = true;
  bool interactive = false;
};

// A change the mock timedated would have made to the clock, when its delay was over: its own
// wall clock at that moment and the instant it would have set, in microseconds since the epoch.
struct MockClockChange {
  std::int64_t wallClockMicroseconds = 0;
  std::int64_t setToMicroseconds = 0;

  // How far ahead of the real clock the change would have put the clock.
  double AheadSeconds() const;
};

// python-dbusmock's timedated on the private bus, as org.freedesktop.timedate1.
class MockTimedated {
 public:
  MockTimedated(const PrivateSystemBus& bus, const ScratchDirectory& scratch,
                const MockBehaviour& behaviour = {});

  // The SetTime calls the mock has received (it must be free to answer).
  std::vector<MockSetTime> SetTimeCalls();
  // The SetTime calls it accepted, as the changes they would have made.
  std::vector<MockClockChange> ClockChanges();

 private:
  BusConnection client_;
  std::string log_;
  std::unique_ptr<BackgroundProcess> mock_;
};

// One SetTime request as it crossed the bus, and the answer it got.
struct ObservedSetTime {
  std::string destination;
  std::string path;
  std::string interface;
  std::string signature;
  std::int64_t microsecondsUtc = 0;
  bool relative = true;
  bool interactive = false;
  bool allowsInteractiveAuthorization = false;  // the message header's flag
  std::string answer;                           // "return", an error name, or empty when none came
};

// Watches everything on the private bus (it is the test's own) for SetTime requests.
class SetTimeMonitor {
 public:
  explicit SetTimeMonitor(const PrivateSystemBus& bus);

  // Everything seen since the start; waits briefly for traffic still on its way.
  std::vector<ObservedSetTime> Requests();

 private:
  void Observe(sd_bus_message* message);

  BusConnection monitor_;
  std::vector<ObservedSetTime> seen_;
  std::vector<std::pair<std::string, std::uint64_t>> callIds_;  // sender and cookie of each
};

}  // namespace tidewell::test
