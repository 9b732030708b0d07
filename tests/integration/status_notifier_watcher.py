"""A panel's StatusNotifierWatcher as a python-dbusmock template; the items
that registered are in GetMethodCalls("RegisterStatusNotifierItem")."""
BUS_NAME = MAIN_IFACE = "org.kde.StatusNotifierWatcher"
MAIN_OBJ = "/StatusNotifierWatcher"
SYSTEM_BUS = False


def load(mock, parameters):
    # Qt reads the property the moment the name appears: a template is loaded before any call is served.
    mock.AddProperty(MAIN_IFACE, "IsStatusNotifierHostRegistered", True)
    mock.AddMethod(MAIN_IFACE, "RegisterStatusNotifierItem", "s", "", "")
