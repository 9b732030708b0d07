"""A fake NetworkManager on a private system bus, for tests that run the agent.

Starts a dbus-daemon of its own (a unix socket in a temporary folder, a policy
that allows everything) and python-dbusmock's ``networkmanager`` template on
it, extended with what the template lacks: a Wi-Fi device's
``ActiveAccessPoint`` and ``LastScan``, and access point SSIDs as raw bytes.
The bus outlives NetworkManager, so a test can make NetworkManager leave the
bus and come back, or hang.

Use the ``fake_nm`` fixture (import it into the test module) or the class::

    from fake_networkmanager import FakeNetworkManager, fake_nm

    def test_something(fake_nm, start_agent):
        dev = fake_nm.add_wifi_device("wlan0")
        ap = fake_nm.add_access_point(dev, ssid=b"Cafe", bssid="02:00:00:00:00:01",
                                      strength=80, frequency=2437)
        fake_nm.set_active_access_point(dev, ap)
        agent = start_agent(env=fake_nm.env)

API (object paths are plain str):
    nm.start() / nm.close()            bus and NetworkManager up / everything down
    nm.env                             {"DBUS_SYSTEM_BUS_ADDRESS": ...} for the agent
    nm.add_wifi_device(iface, last_scan=None) -> device path
                                       DeviceType 2, not joined; last_scan in
                                       CLOCK_BOOTTIME ms, -1 for never, None for now
    nm.add_ethernet_device(iface) -> device path
    nm.add_access_point(dev, ssid, bssid, strength, frequency) -> access point path
                                       ssid: bytes (any, even empty or not UTF-8);
                                       strength: NetworkManager's 0-100 quality
    nm.set_active_access_point(dev, ap)   ap None leaves the network
    nm.set_last_scan(dev, ms)          nm.boottime_ms() is now
    nm.request_scan_count(dev)         RequestScan calls since NetworkManager started
    nm.stop() / nm.restart()           NetworkManager leaves the bus / comes back
                                       with every device and access point set up so far
    nm.freeze() / nm.thaw()            NetworkManager stops answering (calls time out)
                                       / answers again
    nm.set_property(path, iface, name, value)   any property, any D-Bus type
    nm.mock(path)                      dbusmock's org.freedesktop.DBus.Mock interface
                                       of an object, for anything else
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import pytest

NM_NAME = "org.freedesktop.NetworkManager"
MAIN_OBJ = "/org/freedesktop"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
WIRELESS_IFACE = "org.freedesktop.NetworkManager.Device.Wireless"
AP_IFACE = "org.freedesktop.NetworkManager.AccessPoint"
STATE_DISCONNECTED = 30
STATE_ACTIVATED = 100
MODE_INFRA = 2

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""


def boottime_ms():
    """Now on NetworkManager's LastScan clock."""
    return int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1000)


class FakeNetworkManager:
    boottime_ms = staticmethod(boottime_ms)

    def __init__(self):
        self._dir = None
        self._daemon = None
        self._nm = None
        self._conn = None
        self._setup = []  # (method, args) replayed by restart()
        self._aps = 0
        self.bus_address = None

    # --- lifetime --------------------------------------------------------

    def start(self):
        """Starts the bus (once) and NetworkManager, replaying the setup so far."""
        if self._daemon is None:
            self._start_bus()
        if self._nm is None:
            self._start_nm()
            setup, self._setup, self._aps = self._setup, [], 0
            for method, args in setup:
                getattr(self, method)(*args)
        return self

    def close(self):
        self.stop()
        if self._daemon is not None:
            self._daemon.terminate()
            self._daemon.wait(10)
            self._daemon = None
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *_):
        self.close()

    @property
    def env(self):
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.bus_address}

    def stop(self):
        """NetworkManager leaves the bus; the bus and the recorded setup stay."""
        if self._nm is None:
            return
        self._nm.send_signal(signal.SIGCONT)
        self._nm.terminate()
        self._nm.wait(10)
        self._nm = None
        self._wait_for(lambda: not self._conn.name_has_owner(NM_NAME), "NetworkManager to leave the bus")

    def restart(self):
        self.stop()
        return self.start()

    def freeze(self):
        """NetworkManager keeps its name but answers nothing until thaw()."""
        self._nm.send_signal(signal.SIGSTOP)

    def thaw(self):
        self._nm.send_signal(signal.SIGCONT)

    def _start_bus(self):
        # A short path: unix socket paths are limited to about 100 bytes.
        self._dir = tempfile.mkdtemp(prefix="corvane-nm-")
        config = os.path.join(self._dir, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(socket=os.path.join(self._dir, "system_bus_socket")))
        with open(os.path.join(self._dir, "bus.log"), "ab") as log:
            self._daemon = subprocess.Popen(
                ["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
                stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL)
        self.bus_address = self._daemon.stdout.readline().decode().strip()
        assert self.bus_address, "dbus-daemon gave no address"
        self._conn = dbus.bus.BusConnection(self.bus_address)

    def _start_nm(self):
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address)
        log = open(os.path.join(self._dir, "networkmanager.log"), "ab")
        self._nm = subprocess.Popen(
            [sys.executable, "-m", "dbusmock", "--system", "--template", "networkmanager"],
            env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        self._wait_for(lambda: self._conn.name_has_owner(NM_NAME), "NetworkManager on the bus")

    def _wait_for(self, condition, what, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition():
            if self._nm is not None and self._nm.poll() is not None:
                raise AssertionError(f"fake NetworkManager exited while waiting for {what}")
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}")
            time.sleep(0.05)

    # --- setup -------------------------------------------------------------

    def mock(self, path=MAIN_OBJ):
        return dbus.Interface(self._conn.get_object(NM_NAME, path), MOCK_IFACE)

    def set_property(self, path, iface, name, value):
        self.mock().SetProperty(path, iface, name, value)

    def _record(self, method, *args):
        self._setup.append((method, args))

    def add_wifi_device(self, iface, last_scan=None):
        if last_scan is None:
            last_scan = boottime_ms()
        self._record("add_wifi_device", iface, last_scan)
        path = str(self.mock().AddWiFiDevice(iface, iface, STATE_DISCONNECTED))
        self.mock(path).AddProperties(WIRELESS_IFACE, {
            "ActiveAccessPoint": dbus.ObjectPath("/"),
            "LastScan": dbus.Int64(last_scan),
        })
        return path

    def add_ethernet_device(self, iface):
        self._record("add_ethernet_device", iface)
        return str(self.mock().AddEthernetDevice(iface, iface, STATE_ACTIVATED))

    def add_access_point(self, dev, ssid, bssid, strength, frequency):
        self._record("add_access_point", dev, ssid, bssid, strength, frequency)
        name = f"ap{self._aps}"
        self._aps += 1
        path = str(self.mock().AddAccessPoint(dev, name, "placeholder", bssid, MODE_INFRA,
                                              dbus.UInt32(frequency), dbus.UInt32(54000),
                                              dbus.Byte(strength), dbus.UInt32(0)))
        self.set_property(path, AP_IFACE, "Ssid", dbus.ByteArray(bytes(ssid)))
        return path

    def set_active_access_point(self, dev, ap):
        self._record("set_active_access_point", dev, ap)
        self.set_property(dev, WIRELESS_IFACE, "ActiveAccessPoint", dbus.ObjectPath(ap or "/"))

    def set_last_scan(self, dev, ms):
        self._record("set_last_scan", dev, ms)
        self.set_property(dev, WIRELESS_IFACE, "LastScan", dbus.Int64(ms))

    def request_scan_count(self, dev):
        return len(self.mock(dev).GetMethodCalls("RequestScan"))


@pytest.fixture
def fake_nm():
    """A running fake NetworkManager with no devices; closed after the test."""
    with FakeNetworkManager() as nm:
        yield nm
