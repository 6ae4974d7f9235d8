#!/usr/bin/python3
"""A stand-in for a desktop's notification service, on the session bus.

notifywatcher.py REPORT: owns org.freedesktop.Notifications and writes every notification it
is asked to show as JSON to REPORT, atomically, once per call."""

import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Service(dbus.service.Object):
    def __init__(self, bus, report):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.report = report
        self.shown = []

    @dbus.service.method(NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        # Markup read as markup: what the program sends must come escaped.
        return ["body", "body-markup"]

    @dbus.service.method(NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ["notifywatcher", "vigilorn-tests", "1.0", "1.2"]

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        nid = int(replaces_id) or len(self.shown) + 1
        self.shown.append({"app_name": str(app_name), "replaces_id": int(replaces_id),
                           "app_icon": str(app_icon), "summary": str(summary),
                           "body": str(body), "id": nid})
        tmp = self.report + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"notifications": self.shown}, f, indent=1)
        os.replace(tmp, self.report)
        return dbus.UInt32(nid)

    @dbus.service.method(NAME, in_signature="u", out_signature="")
    def CloseNotification(self, nid):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Service(bus, sys.argv[1])
    # Owned only once the object is there, so that whoever sees the name can use it.
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    try:
        loop.run()
    finally:
        del name, service


if __name__ == "__main__":
    main()
