"""The program as the accessibility bus shows it (pyatspi)."""

import time

import pyatspi
from gi.repository import GLib

from vigharness import CheckFailed, DEFAULT_TIMEOUT, PROGRAM_CLASS, wait_for

ROLE = pyatspi


def pump():
    # Events (focus changes) arrive through the GLib main context.
    ctx = GLib.MainContext.default()
    for _ in range(50):
        if not ctx.iteration(False):
            break


def name_of(acc):
    try:
        return acc.name or ""
    except Exception:
        return ""


def role_of(acc):
    try:
        return acc.getRoleName()
    except Exception:
        return ""


def children(acc):
    try:
        return [acc.getChildAtIndex(i) for i in range(acc.childCount)]
    except Exception:
        return []


def states(acc):
    try:
        return acc.getState()
    except Exception:
        return None


def showing(acc):
    s = states(acc)
    return bool(s) and s.contains(pyatspi.STATE_SHOWING) and s.contains(pyatspi.STATE_VISIBLE)


def enabled(acc):
    s = states(acc)
    return bool(s) and s.contains(pyatspi.STATE_ENABLED)


def focused(acc):
    s = states(acc)
    return bool(s) and s.contains(pyatspi.STATE_FOCUSED)


def extents(acc):
    e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return (e.x, e.y, e.width, e.height)


def walk(acc, depth=0, limit=12):
    yield acc, depth
    if depth < limit:
        for c in children(acc):
            if c is not None:
                yield from walk(c, depth + 1, limit)


def text_of(acc):
    """A label's or text box's text: the Text interface, else the name."""
    try:
        t = acc.queryText()
        return t.getText(0, t.characterCount)
    except Exception:
        return name_of(acc)


def dump(acc, limit=12):
    lines = []
    for a, d in walk(acc, 0, limit):
        lines.append("%s%s %r%s" % ("  " * d, role_of(a), name_of(a),
                                     "" if showing(a) else " (hidden)"))
    return "\n".join(lines)


class Bus:
    def __init__(self, session):
        self.session = session
        self.focus_log = []
        pyatspi.Registry.registerEventListener(self._on_focus, "object:state-changed:focused")

    def _on_focus(self, event):
        if event.detail1:
            try:
                self.focus_log.append((role_of(event.source), name_of(event.source),
                                       name_of(event.source.parent)))
            except Exception:
                pass

    def app(self, timeout=DEFAULT_TIMEOUT):
        def find():
            desktop = pyatspi.Registry.getDesktop(0)
            for a in children(desktop):
                if a is not None and name_of(a) == PROGRAM_CLASS:
                    return a
            return None
        return wait_for("the program on the accessibility bus", find, timeout, pump=pump)

    def windows(self):
        app = self.app()
        try:
            app.clearCache()
        except Exception:
            pass
        return [w for w in children(app) if w is not None]

    def window(self, name, role=None, timeout=DEFAULT_TIMEOUT, visible=True):
        """A top-level window by its title (and role), waiting until it is showing."""
        def find():
            for w in self.windows():
                if name_of(w) == name and (role is None or role_of(w) == role):
                    if not visible or showing(w):
                        return w
            return None
        return wait_for("window %r%s" % (name, " (%s)" % role if role else ""), find, timeout,
                        pump=pump)

    def window_gone(self, name, role=None, timeout=DEFAULT_TIMEOUT):
        def gone():
            for w in self.windows():
                if name_of(w) == name and (role is None or role_of(w) == role) and showing(w):
                    return False
            return True
        wait_for("window %r to close" % name, gone, timeout, pump=pump)

    def visible_windows(self):
        return [(name_of(w), role_of(w)) for w in self.windows() if showing(w)]

    def find(self, root, name=None, role=None, pred=None, timeout=DEFAULT_TIMEOUT, visible=True):
        def look():
            for a, _ in walk(root):
                if a is root:
                    continue
                if name is not None and name_of(a) != name:
                    continue
                if role is not None and role_of(a) != role:
                    continue
                if visible and not showing(a):
                    continue
                if pred and not pred(a):
                    continue
                return a
            return None
        return wait_for("%s %r in %r" % (role or "control", name, name_of(root)), look, timeout,
                        pump=pump)

    def find_all(self, root, role=None, visible=True):
        return [a for a, _ in walk(root) if a is not root and (role is None or role_of(a) == role)
                and (not visible or showing(a))]

    def press(self, acc):
        """Presses a control through its own action, as assistive technology does."""
        action = acc.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        for wanted in ("Press", "press", "click", "Click"):
            if wanted in names:
                action.doAction(names.index(wanted))
                return
        if names:
            action.doAction(0)
            return
        raise CheckFailed("%r has no action" % name_of(acc))

    def click(self, acc, button=1, repeat=1):
        """A real pointer click at the middle of the control's screen extents."""
        x, y, w, h = extents(acc)
        if w <= 0 or h <= 0:
            raise CheckFailed("%r has no extents" % name_of(acc))
        self.session.click_at(x + w // 2, y + h // 2, button, repeat)

    def focused_control(self, root):
        for a, _ in walk(root):
            if a is not root and focused(a):
                return a
        return None

    def wait_focus_event(self, since, timeout=DEFAULT_TIMEOUT):
        """The first focus event logged after index since."""
        return wait_for("a focus change", lambda: self.focus_log[since:] and
                        self.focus_log[since], timeout, interval=0.05, pump=pump)
