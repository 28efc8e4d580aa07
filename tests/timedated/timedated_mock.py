'''systemd-timedated for Tidewell's tests: python-dbusmock's own timedated template, with a
SetTime that answers the way the real service does.

Parameters, besides the template's own ("NTP", "Timezone", ...):
  NTP           As in the template. While it is true, SetTime is refused with
                org.freedesktop.timedate1.AutomaticTimeSyncEnabled, as timedated refuses it
                while automatic time synchronisation is on.
  SetTimeError  [name, message]: every SetTime is refused with this D-Bus error instead
                (access denied, interactive authorisation required, ...).
  SetTimeDelay  Seconds every SetTime takes before it answers. The mock serves one call at a
                time, so meanwhile it answers nothing at all: a service that never replies.
Calls are recorded by dbusmock before they are answered (GetMethodCalls on
org.freedesktop.DBus.Mock).
'''

import time

import dbus
from dbusmock.templates import timedated as stock

BUS_NAME = stock.BUS_NAME
MAIN_OBJ = stock.MAIN_OBJ
MAIN_IFACE = stock.MAIN_IFACE
SYSTEM_BUS = True

AUTOMATIC_SYNC_ERROR = 'org.freedesktop.timedate1.AutomaticTimeSyncEnabled'
AUTOMATIC_SYNC_MESSAGE = 'Automatic time synchronization is enabled'


def load(mock, parameters):
    stock.load(mock, parameters)
    error = parameters.get('SetTimeError')
    delay = parameters.get('SetTimeDelay', 0)

    def set_time(self, usec_utc, relative, interactive):  # pylint: disable=unused-argument
        if delay:
            time.sleep(delay)
        if error:
            raise dbus.exceptions.DBusException(error[1], name=error[0])
        if self.Get(MAIN_IFACE, 'NTP'):
            raise dbus.exceptions.DBusException(AUTOMATIC_SYNC_MESSAGE, name=AUTOMATIC_SYNC_ERROR)

    mock.AddMethod(MAIN_IFACE, 'SetTime', 'xbb', '', set_time)
