#!/usr/bin/python3
"""A stand-in for a desktop's StatusNotifierWatcher and host, on the session bus.

sniwatcher.py REPORT: owns org.kde.StatusNotifierWatcher, says a host is registered, and when
an item registers, reads what a host would read (the item's properties and its menu's layout)
and writes all of it as JSON to REPORT, atomically, once per registration."""

import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPS = "org.freedesktop.DBus.Properties"

INTROSPECTION = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="v" direction="out"/></method>
    <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg type="s" direction="out"/></method>
  </interface>
</node>
"""


def plain(value):
    """D-Bus values as JSON ones; byte arrays (icon pixels) only by their length."""
    if isinstance(value, dbus.Array) and value.signature == "y":
        return {"bytes": len(value)}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Dictionary):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16,
                          dbus.UInt32, dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    return value


def menu_items(layout):
    """(id, properties) of each child of a GetLayout node, depth first."""
    out = []
    _id, props, children = layout
    for child in children:
        cid, cprops, _ = child
        out.append({"id": int(cid), "props": plain(cprops)})
        out.extend(menu_items(child))
    return out


class Watcher(dbus.service.Object):
    def __init__(self, bus, report):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.report = report
        self.items = []
        self.registrations = []

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        return INTROSPECTION

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # An item names its service, or only its object path on the caller's connection.
        if service.startswith("/"):
            name, path = sender, service
        else:
            name, path = service, "/StatusNotifierItem"
        self.items.append(name + path)
        self.StatusNotifierItemRegistered(name + path)
        GLib.idle_add(self.read_item, str(service), str(sender), str(name), str(path))

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != WATCHER:
            raise dbus.exceptions.DBusException("no such interface " + interface,
                                                name="org.freedesktop.DBus.Error.UnknownInterface")
        return {"RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0)}

    def read_item(self, service, sender, name, path):
        entry = {"service": service, "sender": sender, "name": name, "path": path}
        try:
            item = self.bus.get_object(name, path)
            props = plain(item.GetAll(ITEM, dbus_interface=PROPS))
            entry["properties"] = props
            menu_path = props.get("Menu")
            if menu_path and menu_path != "/NO_DBUSMENU":
                menu = self.bus.get_object(name, menu_path)
                menu.AboutToShow(0, dbus_interface=MENU)
                _rev, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"),
                                              dbus_interface=MENU)
                entry["menu"] = menu_items(layout)
        except dbus.exceptions.DBusException as e:
            entry["error"] = str(e)
        self.registrations.append(entry)
        tmp = self.report + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"registrations": self.registrations}, f, indent=1)
        os.replace(tmp, self.report)
        return False


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus, sys.argv[1])
    # Owned only once the object is there, so that whoever sees the name can use it.
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    try:
        loop.run()
    finally:
        del name, watcher


if __name__ == "__main__":
    main()
