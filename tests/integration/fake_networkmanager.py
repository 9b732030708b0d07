# A fake NetworkManager: python-dbusmock's networkmanager template on a bus of its own. On top of the template:
# a Wi-Fi device's ActiveAccessPoint and LastScan (RequestScan is answered at once, but its scan never ends: LastScan
# moves only when a test sets it, as a real scan's does seconds later) and SSIDs as raw bytes, each change announced with PropertiesChanged, which is what libnm reads. The bus outlives
# NetworkManager, which a test can stop() and start() again (empty) or SIGSTOP.
import os
import signal
import subprocess
import sys
import time

import dbus
import pytest
from dbusmock import DBusTestCase

from conftest import wait_until

NM = "org.freedesktop.NetworkManager"
WIRELESS = NM + ".Device.Wireless"


def boottime_ms():  # the clock of LastScan
    return int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1000)


class FakeNetworkManager:
    def __init__(self):
        self.bus_pid, address = DBusTestCase.start_dbus()  # a bus of its own, open to this user
        self.env = {"DBUS_SYSTEM_BUS_ADDRESS": address}
        self.conn = dbus.bus.BusConnection(address)
        self.start()

    def start(self):
        self.process = subprocess.Popen([sys.executable, "-m", "dbusmock", "--system", "--template", "networkmanager"],
                                        env=dict(os.environ, **self.env), stdout=subprocess.DEVNULL)
        wait_until(lambda: self.conn.name_has_owner(NM), "NetworkManager on the bus")

    def stop(self):
        self.process.send_signal(signal.SIGCONT)  # in case a test stopped it
        self.process.terminate()
        self.process.wait(10)
        wait_until(lambda: not self.conn.name_has_owner(NM), "NetworkManager off the bus")

    def close(self):
        self.stop()
        os.kill(self.bus_pid, signal.SIGTERM)

    def mock(self, path="/org/freedesktop"):
        return dbus.Interface(self.conn.get_object(NM, path), "org.freedesktop.DBus.Mock")

    def set(self, path, iface, name, value):
        self.mock().SetProperty(path, iface, name, value)  # the template's: emits PropertiesChanged

    def add_wifi_device(self, iface, last_scan=None):
        dev = str(self.mock().AddWiFiDevice(iface, iface, 30))
        self.mock(dev).AddMethod(WIRELESS, "RequestScan", "a{sv}", "", "")
        self.mock(dev).AddProperties(WIRELESS, {"ActiveAccessPoint": dbus.ObjectPath("/"), "LastScan": dbus.Int64(-1)})
        self.set(dev, WIRELESS, "LastScan", dbus.Int64(boottime_ms() if last_scan is None else last_scan))
        return dev

    def add_access_point(self, dev, ssid, bssid, strength, frequency):
        ap = str(self.mock().AddAccessPoint(dev, bssid.replace(":", ""), "", bssid, 2, dbus.UInt32(frequency),
                                            dbus.UInt32(54000), dbus.Byte(strength), dbus.UInt32(0)))
        self.set(ap, NM + ".AccessPoint", "Ssid", dbus.ByteArray(ssid))
        return ap

    def set_active_access_point(self, dev, ap):
        self.set(dev, WIRELESS, "ActiveAccessPoint", dbus.ObjectPath(ap or "/"))

    def scan_requests(self, dev):
        return len(self.mock(dev).GetMethodCalls("RequestScan"))


@pytest.fixture
def fake_nm():
    nm = FakeNetworkManager()
    yield nm
    nm.close()
