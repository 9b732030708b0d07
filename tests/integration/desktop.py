"""A desktop for the agent's tray item: a private session bus, an X server,
a panel's StatusNotifierWatcher, and a client that reads and clicks the menu
the way a panel does (com.canonical.dbusmenu)."""
import os
import subprocess
import sys
import threading
import time

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
ITEM_IFACE = "org.kde.StatusNotifierItem"
MENU_IFACE = "com.canonical.dbusmenu"


class SessionBus:
    def __init__(self, directory):
        self.socket = os.path.join(str(directory), "session-bus")
        self.address = "unix:path=" + self.socket
        # The daemon prints its address once it accepts connections.
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address", "--address=" + self.address],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert self.proc.stdout.readline().startswith("unix:path=" + self.socket)
        self.connection = dbus.bus.BusConnection(self.address)

    def stop(self):
        self.connection.close()
        stop_process(self.proc)


class Xvfb:
    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()

    def stop(self):
        stop_process(self.proc)


class TrayWatcher:
    """The panel side: knows which items registered."""

    def __init__(self, bus):
        self.registered = []
        self._cond = threading.Condition()
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=bus.address)
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "tray_watcher.py")], env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert self.proc.stdout.readline().strip() == "READY"
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("REGISTERED "):
                _, sender, service = line.split()
                with self._cond:
                    self.registered.append((sender, service))
                    self._cond.notify_all()

    def wait_for_item(self, count=1, timeout=10):
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.registered) >= count, timeout):
                raise AssertionError("no tray item registered")
            return self.registered[count - 1]

    def stop(self):
        stop_process(self.proc)


class TrayItemClient:
    """Reads one registered item and its menu, and clicks entries."""

    def __init__(self, bus, registration):
        sender, service = registration
        self.bus = bus.connection
        self.service = service if not service.startswith("/") else sender
        item = self.bus.get_object(self.service, "/StatusNotifierItem")
        self.item_props = dbus.Interface(item, dbus.PROPERTIES_IFACE)

    def prop(self, name):
        return self.item_props.Get(ITEM_IFACE, name)

    def _menu(self):
        return dbus.Interface(self.bus.get_object(self.service, self.prop("Menu")), MENU_IFACE)

    def entries(self):
        """Top-level entries as (id, label, type) in menu order."""
        _, (_, _, children) = self._menu().GetLayout(0, -1, dbus.Array([], signature="s"))
        return [(int(child[0]), str(child[1].get("label", "")), str(child[1].get("type", "standard")))
                for child in children]

    def click(self, label):
        for entry_id, entry_label, _ in self.entries():
            if entry_label == label:
                self._menu().Event(entry_id, "clicked", dbus.String("", variant_level=1), dbus.UInt32(0))
                return
        raise AssertionError(f"no menu entry {label!r} in {self.entries()}")


def wait_until(predicate, what, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def stop_process(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
