#!/usr/bin/env python3
"""Accepts the desktop's screen-cast dialog as a person would, through the accessibility bus: picks
the first monitor and presses Share. Exits 0 once pressed and the dialog is gone, 1 when no dialog came within 15 s."""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

STALE = object()  # the tree changed under the walk: look again


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def find(role, name_part=""):
    try:
        return find_once(role, name_part)
    except GLib.Error:
        return STALE


def find_once(role, name_part):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or "portal" not in (app.get_name() or ""):
            continue
        for node in walk(app):
            if node.get_role_name() == role and name_part in (node.get_name() or ""):
                return node
    return None


deadline = time.monotonic() + 15
while time.monotonic() < deadline:
    monitors, share = find("list"), find("push button", "Share")
    if monitors not in (None, STALE) and share not in (None, STALE):
        try:
            if monitors.get_child_count() > 0:
                monitors.select_child(0)
                time.sleep(0.2)  # the button becomes sensitive once a monitor is picked
                share.do_action(0)
                # Gone before the next dialog may come, so that one is not mistaken for this.
                while find("push button", "Share") is not None and time.monotonic() < deadline:
                    time.sleep(0.1)
                sys.exit(0)
        except GLib.Error:
            pass
    time.sleep(0.2)
print("no screen-cast dialog appeared", file=sys.stderr)
sys.exit(1)
