"""python3-dbusmock's login manager where policy forbids holding the lid and the power keys: an
Inhibit call that asks for any of them is refused whole, as logind's polkit check refuses it."""
import dbus
from dbusmock.templates import logind
from dbusmock.templates.logind import *  # noqa: F401,F403  (the template's bus names and methods)


@dbus.service.method(logind.MAIN_IFACE, in_signature="ssss", out_signature="h")
def Inhibit(self, what, who, why, mode):
    if "handle-" in what:
        raise dbus.exceptions.DBusException("Permission denied",
                                            name="org.freedesktop.DBus.Error.AccessDenied")
    return logind.Inhibit(self, what, who, why, mode)
