"""A stand-in for a panel's org.kde.StatusNotifierWatcher on a session bus.

Run as a process with DBUS_SESSION_BUS_ADDRESS set. It prints "READY" once its
name is owned, and "REGISTERED <sender> <service>" for each item that
registers. The object is complete (methods, properties and their
introspection) before the name is taken, as Qt reads the properties the
moment the name appears.
"""
import sys
from xml.etree import ElementTree

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
IFACE = "org.kde.StatusNotifierWatcher"
PROPS = "org.freedesktop.DBus.Properties"


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.items = []

    def _properties(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(IFACE, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items.append(service)
        print(f"REGISTERED {sender} {service}", flush=True)
        self.StatusNotifierItemRegistered(service)

    @dbus.service.method(IFACE, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(IFACE, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self._properties()[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self._properties() if interface == IFACE else {}

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        tree = ElementTree.fromstring(super().Introspect(object_path, connection))
        interface = tree.find(f".//interface[@name='{IFACE}']")
        for name, signature in (("RegisteredStatusNotifierItems", "as"),
                                ("IsStatusNotifierHostRegistered", "b"),
                                ("ProtocolVersion", "i")):
            ElementTree.SubElement(interface, "property", {"name": name, "type": signature, "access": "read"})
        return ElementTree.tostring(tree, encoding="unicode")


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("READY", flush=True)
    GLib.MainLoop().run()
    del watcher, name


if __name__ == "__main__":
    sys.exit(main())
