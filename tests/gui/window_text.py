#!/usr/bin/python3
"""Reads the program's window as assistive technology does (AT-SPI), for the GUI tests.

Usage: window_text.py PID labels          the text of every label shown, one a line
       window_text.py PID wrapped TEXT    exit 0 when the pane shows TEXT wholly inside the
                                          pane, over more than one row (wrapped, not cut)
       window_text.py PID sensitive ROLE  "yes" or "no" for the first widget of ROLE shown
                                          (e.g. "progress bar")
PID is the program's process id.
"""
import sys
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

# The interface getters this reads through are deprecated in newer AT-SPI, not gone.
warnings.simplefilter("ignore", DeprecationWarning)


def application(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    sys.exit(f"window_text: process {pid} is not on the accessibility bus")


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def showing(node):
    return node.get_state_set().contains(Atspi.StateType.SHOWING)


def labels(app):
    for node in walk(app):
        if node.get_role_name() == "label" and showing(node) and node.get_name():
            print(node.get_name())


def box(node, offset):
    text = node.get_text_iface()
    return text.get_character_extents(offset, Atspi.CoordType.SCREEN)


def wrapped(app, wanted):
    for node in walk(app):
        text = node.get_text_iface() if node.get_role_name() == "text" else None
        if text is None:
            continue
        content = text.get_text(0, text.get_character_count())
        at = content.find(wanted)
        if at < 0:
            continue
        pane = node.get_component_iface().get_extents(Atspi.CoordType.SCREEN)
        first, last = box(node, at), box(node, at + len(wanted) - 1)
        inside = last.x + last.width <= pane.x + pane.width
        print(f"pane x {pane.x} width {pane.width}; first char at ({first.x},{first.y}), "
              f"last at ({last.x},{last.y}) width {last.width}")
        return 0 if inside and last.y > first.y else 1
    print("window_text: the pane does not hold that text")
    return 1


def sensitive(app, role):
    for node in walk(app):
        if node.get_role_name() == role and showing(node):
            print("yes" if node.get_state_set().contains(Atspi.StateType.SENSITIVE) else "no")
            return 0
    print(f"window_text: no {role} shown")
    return 1


def main():
    if len(sys.argv) < 3 or not sys.argv[1].isdigit():
        sys.exit(__doc__)
    app, command, rest = application(int(sys.argv[1])), sys.argv[2], sys.argv[3:]
    if command == "labels" and not rest:
        labels(app)
        return 0
    if command == "wrapped" and len(rest) == 1:
        return wrapped(app, rest[0])
    if command == "sensitive" and len(rest) == 1:
        return sensitive(app, rest[0])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
