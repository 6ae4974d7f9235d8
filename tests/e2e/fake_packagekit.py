#!/usr/bin/python3
"""A stand-in for the PackageKit daemon on a private system bus.

    fake_packagekit.py DIR [--silent]

DIR/transactions holds one transaction a line, "ROLE FLAGS" (PackageKit's numbers), and is
read again for every question, so a test changes what the daemon reports by rewriting it.
Each GetTransactionList is logged to DIR/calls as "<monotonic time> <count>". With --silent
the daemon owns its name but never answers. DIR/ready appears once the name is owned."""

import os
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.PackageKit"
IFACE = "org.freedesktop.PackageKit"
TRANSACTION = "org.freedesktop.PackageKit.Transaction"
PROPS = "org.freedesktop.DBus.Properties"


def read_transactions(folder):
    try:
        with open(os.path.join(folder, "transactions")) as f:
            lines = [line.split() for line in f if line.strip()]
    except OSError:
        return []
    return [(int(role), int(flags)) for role, flags in lines]


class Transaction(dbus.service.Object):
    def __init__(self, bus, path, folder, index):
        super().__init__(bus, path)
        self.folder, self.index = folder, index

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        items = read_transactions(self.folder)
        if interface != TRANSACTION or self.index >= len(items):
            raise dbus.exceptions.DBusException("gone", name="org.freedesktop.DBus.Error.UnknownObject")
        role, flags = items[self.index]
        return {"Role": dbus.UInt32(role), "TransactionFlags": dbus.UInt64(flags),
                "Status": dbus.UInt32(3)}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]


class Daemon(dbus.service.Object):
    def __init__(self, bus, folder, silent):
        super().__init__(bus, "/org/freedesktop/PackageKit")
        self.bus, self.folder, self.silent = bus, folder, silent
        self.objects = {}

    @dbus.service.method(IFACE, in_signature="", out_signature="ao",
                         async_callbacks=("reply", "error"))
    def GetTransactionList(self, reply, error):
        items = read_transactions(self.folder)
        with open(os.path.join(self.folder, "calls"), "a") as f:
            f.write("%.3f %d\n" % (time.monotonic(), len(items)))
        if self.silent:
            return  # never answers
        paths = []
        for i in range(len(items)):
            path = "/%d_vigilorn" % (i + 1)
            if path not in self.objects:
                self.objects[path] = Transaction(self.bus, path, self.folder, i)
            paths.append(dbus.ObjectPath(path))
        reply(dbus.Array(paths, signature="o"))


def main():
    folder = sys.argv[1]
    silent = "--silent" in sys.argv[2:]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    daemon = Daemon(bus, folder, silent)
    open(os.path.join(folder, "ready"), "w").close()
    GLib.MainLoop().run()
    del name, daemon


if __name__ == "__main__":
    main()
