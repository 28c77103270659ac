"""An AT-SPI client, as a screen reader is one: finds an application on
the accessibility bus and reads the label in its status bar by its name.
status_line_atspi_test.py runs it with the interpreter that has Debian's
python3-gi.

    atspi_probe.py APPLICATION

It asks the session bus (DBUS_SESSION_BUS_ADDRESS) for the accessibility
bus, which starts it as a desktop session does. Answers are JSON objects,
one a line on stdout:
- {"unavailable": WHY} when there is no accessibility bus; it then ends;
- {"ready": BUS ADDRESS} once it listens for name changes;
- {"changed": NAME, "role": ROLE} for each accessible-name change that
  APPLICATION announces, with the name that the object has when the
  announcement is handled;
- to each line "read" on stdin: {"name": NAME, "path": [...]} for the first
  label inside a status bar, read afresh from the application (no cache),
  with the roles and names that lead to it; or {"missing": WHAT} when it is
  not found within 20 seconds.
It ends when stdin ends."""

import json
import os
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
gi.require_version("Gio", "2.0")
from gi.repository import Atspi, Gio, GLib  # noqa: E402

FIND_SECONDS = 20


def say(answer):
    print(json.dumps(answer), flush=True)


def application(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def find(node, roles, path, limit=12):
    """The first descendant of node (depth first) whose role is one of
    roles, with the path to it; None when there is none."""
    if limit == 0:
        return None
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is None:
            continue
        step = path + ["%s %r" % (child.get_role_name(), child.get_name())]
        if child.get_role() in roles:
            return child, step
        found = find(child, roles, step, limit - 1)
        if found is not None:
            return found
    return None


def read(name):
    deadline = time.monotonic() + FIND_SECONDS
    while True:
        missing = "application %r" % name
        try:
            app = application(name)
            if app is not None:
                missing = "status bar"
                bar = find(app, (Atspi.Role.STATUS_BAR,), ["application %r" % name])
                if bar is not None:
                    missing = "label in the status bar"
                    label = find(bar[0], (Atspi.Role.LABEL,), bar[1])
                    if label is not None:
                        return {"name": label[0].get_name(), "path": label[1]}
        except GLib.Error as error:
            # The application may still be putting its tree up.
            missing += " (%s)" % error.message
        if time.monotonic() > deadline:
            return {"missing": missing}
        time.sleep(0.1)


def accessibility_bus():
    """The accessibility bus's address, from the launcher that the session
    bus starts on demand; None when there is none."""
    try:
        session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                  None, GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE,
                                  FIND_SECONDS * 1000, None)
    except GLib.Error as error:
        say({"unavailable": error.message})
        return None
    return reply.unpack()[0]


def main():
    name = sys.argv[1]
    bus = accessibility_bus()
    if bus is None:
        return
    # The library takes this bus rather than looking it up again.
    os.environ["AT_SPI_BUS_ADDRESS"] = bus
    Atspi.init()
    # Every read asks the application itself, never a copy kept here.
    Atspi.get_desktop(0).set_cache_mask(Atspi.Cache.NONE)

    def changed(event):
        try:
            if event.source.get_application().get_name() != name:
                return
            # Qt sends the object, not the text, as the event's value: a
            # screen reader reads the name from the object, as here.
            say({"changed": event.source.get_name(), "role": event.source.get_role_name()})
        except GLib.Error:
            pass  # the application has gone

    listener = Atspi.EventListener.new(changed)
    listener.register("object:property-change:accessible-name")
    say({"ready": bus})

    def command(channel, condition):
        line = sys.stdin.readline()
        if not line:
            Atspi.event_quit()
            return False
        if line.strip() == "read":
            say(read(name))
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                      GLib.IO_IN | GLib.IO_HUP, command)
    Atspi.event_main()


if __name__ == "__main__":
    main()
