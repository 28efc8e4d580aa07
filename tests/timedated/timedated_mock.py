'''systemd-timedated for Tidewell's tests: python-dbusmock's own timedated template, with a
SetTime that answers the way the real service does.

Parameters, besides the template's own ("NTP", "Timezone", ...):
  NTP           As in the template. While it is true, SetTime is refused with
                org.freedesktop.timedate1.AutomaticTimeSyncEnabled, as timedated refuses it
                while automatic time synchronisation is on.
  SetTimeError  [name, message]: every SetTime is refused with this D-Bus error instead
                (access denied, interactive authorisation required, ...).
  SetTimeDelay  Seconds every SetTime takes before it answers, as a password prompt does. The
                mock serves one call at a time, so meanwhile it answers nothing at all: a service
                that never replies.
Calls are recorded by dbusmock before they are answered (GetMethodCalls on
org.freedesktop.DBus.Mock).

The clock is never set. Each SetTime that would have set it records, when the delay is over (as
timedated sets the clock once its authority has answered), the mock's own wall clock and the
instant the clock would have been set to: for a relative request that wall clock plus the step,
for an absolute one the instant itself. ClockChanges on org.tidewell.MockTimedated returns them,
in microseconds since the epoch, as [(wall clock, instant set), ...].
'''

import time

import dbus
from dbusmock.templates import timedated as stock

BUS_NAME = stock.BUS_NAME
MAIN_OBJ = stock.MAIN_OBJ
MAIN_IFACE = stock.MAIN_IFACE
SYSTEM_BUS = True

TEST_IFACE = 'org.tidewell.MockTimedated'

AUTOMATIC_SYNC_ERROR = 'org.freedesktop.timedate1.AutomaticTimeSyncEnabled'
AUTOMATIC_SYNC_MESSAGE = 'Automatic time synchronization is enabled'


def wall_clock_microseconds():
    return time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000


def load(mock, parameters):
    stock.load(mock, parameters)
    error = parameters.get('SetTimeError')
    delay = parameters.get('SetTimeDelay', 0)
    changes = []

    def set_time(self, usec_utc, relative, interactive):  # pylint: disable=unused-argument
        if delay:
            time.sleep(delay)
        if error:
            raise dbus.exceptions.DBusException(error[1], name=error[0])
        if self.Get(MAIN_IFACE, 'NTP'):
            raise dbus.exceptions.DBusException(AUTOMATIC_SYNC_MESSAGE, name=AUTOMATIC_SYNC_ERROR)
        now = wall_clock_microseconds()
        changes.append((now, now + usec_utc if relative else usec_utc))

    def clock_changes(self):  # pylint: disable=unused-argument
        return dbus.Array(changes, signature='(xx)')

    mock.AddMethod(MAIN_IFACE, 'SetTime', 'xbb', '', set_time)
    mock.AddMethod(TEST_IFACE, 'ClockChanges', '', 'a(xx)', clock_changes)
