"""A desktop for the tray item: an X server, a private session bus, a panel's StatusNotifierWatcher and a
notification service (python-dbusmock), what a panel reads and clicks (StatusNotifierItem,
com.canonical.dbusmenu)."""
import os
import signal
import subprocess

import dbus
from Xlib import X, display, error

from conftest import wait_until

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
NOTIFICATIONS = "org.freedesktop.Notifications"


def spawn(command, **kwargs):
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)


class Desktop:
    def __init__(self, directory):
        read_end, write_end = os.pipe()
        self.procs = [spawn(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL)]
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.x = display.Display(":" + pipe.readline().strip())
        # The bus prints its address once it accepts connections.
        address = f"unix:path={directory}/bus"
        self.daemon = spawn(["dbus-daemon", "--session", "--nofork", "--print-address", "--address=" + address],
                            stdout=subprocess.PIPE)
        self.procs.append(self.daemon)
        assert self.daemon.stdout.readline().startswith(address.encode())
        self.bus = dbus.bus.BusConnection(address)
        self.env = {"DBUS_SESSION_BUS_ADDRESS": address, "DISPLAY": self.x.get_display_name(), "QT_QPA_PLATFORM": None}

    def start_mock(self, name, *arguments):
        """python-dbusmock owning name, started with arguments (a --template, or name, path and interface)."""
        self.procs.append(spawn([
            "/usr/bin/python3", "-m", "dbusmock", *arguments], stdout=subprocess.DEVNULL,
            env={**os.environ, "DBUS_SESSION_BUS_ADDRESS": self.env["DBUS_SESSION_BUS_ADDRESS"]}))
        wait_until(lambda: self.bus.name_has_owner(name), name)
        return self.procs[-1]

    def start_panel(self):
        return self.start_mock(WATCHER, "--template", os.path.join(os.path.dirname(__file__), "status_notifier_watcher.py"))

    def notifications(self):
        """The Notify calls the notification service has had (start it with start_mock first)."""
        return self.bus.get_object(NOTIFICATIONS, "/org/freedesktop/Notifications").GetMethodCalls(
            "Notify", dbus_interface="org.freedesktop.DBus.Mock")

    def press(self, keys):
        subprocess.run(["xdotool", "key", keys], env={**os.environ, "DISPLAY": self.env["DISPLAY"]}, check=True)

    def copied_status(self, showing):
        """The status window's lines as its Copy button (Alt+C) puts them on the clipboard, once they hold showing."""
        def clipboard():
            self.press("alt+c")
            return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, text=True,
                                  env={**os.environ, "DISPLAY": self.env["DISPLAY"]}).stdout.splitlines()
        wait_until(lambda: showing in clipboard(), f"{showing!r} in the status window")
        return clipboard()

    def item(self):
        """The item registered with the running panel (once there is one) and its menu."""
        wait_until(lambda: self.bus.name_has_owner(WATCHER), "the panel")
        calls = self.bus.get_object(WATCHER, "/StatusNotifierWatcher").get_dbus_method(
            "GetMethodCalls", "org.freedesktop.DBus.Mock")
        wait_until(lambda: calls("RegisterStatusNotifierItem"), "a tray item registered with the panel")
        service = str(calls("RegisterStatusNotifierItem")[0][1][0])
        item = self.bus.get_object(service, "/StatusNotifierItem")
        return item, self.bus.get_object(service, item.Get(ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE))

    def prop(self, name):
        return self.item()[0].Get(ITEM, name, dbus_interface=dbus.PROPERTIES_IFACE)

    def entries(self):
        """Top-level menu entries as (id, label, type)."""
        _, (_, _, children) = self.item()[1].GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU)
        return [(int(i), str(p.get("label", "")), str(p.get("type", "standard"))) for i, p, _ in children]

    def click(self, label):
        [entry] = [i for i, entry_label, _ in self.entries() if entry_label == label]
        self.item()[1].Event(entry, "clicked", dbus.String("", variant_level=1), dbus.UInt32(0), dbus_interface=MENU)

    def windows(self):
        """The mapped top-level windows as (override_redirect, title, x, y)."""
        name, utf8 = self.x.intern_atom("_NET_WM_NAME"), self.x.intern_atom("UTF8_STRING")
        found = []
        for window in self.x.screen().root.query_tree().children:
            try:
                if window.get_attributes().map_state == X.IsViewable:
                    title, where = window.get_full_property(name, utf8), window.get_geometry()
                    found.append((window.get_attributes().override_redirect, title and title.value.decode(), where.x,
                                  where.y))
            except error.BadWindow:  # it went away while the list was read
                continue
        return found

    def stop(self):
        self.x.close()
        self.daemon.send_signal(signal.SIGCONT)  # in case a test stopped it
        for proc in reversed(self.procs):
            proc.terminate()
            proc.wait(10)
