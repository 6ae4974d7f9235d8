"""Helpers for driving the real program on a private X server.

A Session owns every process it starts (Xvfb, openbox, trayer, the session bus, the
accessibility bus, the program and any helper process) and ends each of them, and whatever
they spawned, by PID when it closes, also when a check fails or the harness is signalled.
"""

import ctypes
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

PROGRAM_CLASS = "QMVigilornApp"
# A deadline only bounds how long a failure takes to show; a passing wait ends as soon as its
# condition holds. Generous, for a busy two-core machine.
DEFAULT_TIMEOUT = 30.0

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # A harness killed with SIGKILL leaves nothing behind.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class CheckFailed(AssertionError):
    pass


class Skipped(Exception):
    """What the journey needs cannot be had here; the message says what."""


def log(*parts):
    print("[%7.2f]" % (time.monotonic() - _T0), *parts, flush=True)


_T0 = time.monotonic()


def wait_for(what, predicate, timeout=DEFAULT_TIMEOUT, interval=0.1, pump=None):
    """Polls predicate until it returns something truthy; returns that value."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        if pump:
            pump()
        try:
            value = predicate()
            if value:
                return value
        except Exception as e:  # a window may vanish between two looks
            last_error = e
        if time.monotonic() >= deadline:
            extra = " (last error: %r)" % last_error if last_error else ""
            raise CheckFailed("timed out after %.1f s waiting for %s%s" % (timeout, what, extra))
        time.sleep(interval)


def hold(what, predicate, duration, interval=0.2, pump=None):
    """Checks that predicate stays true for the whole duration."""
    deadline = time.monotonic() + duration
    while time.monotonic() < deadline:
        if pump:
            pump()
        if not predicate():
            raise CheckFailed("%s stopped holding after %.1f s" %
                              (what, duration - (deadline - time.monotonic())))
        time.sleep(interval)


def expect(cond, message):
    if not cond:
        raise CheckFailed(message)


def expect_equal(actual, wanted, what):
    if actual != wanted:
        raise CheckFailed("%s: got %r, wanted %r" % (what, actual, wanted))


# ---- processes -------------------------------------------------------------------------------

def _proc_state(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            data = f.read()
    except OSError:
        return None
    # The name may hold spaces and parentheses: the state follows the last ')'.
    rest = data[data.rfind(")") + 2:].split()
    return rest[0], int(rest[1])


def alive(pid):
    """A zombie counts as gone."""
    st = _proc_state(pid)
    return st is not None and st[0] not in ("Z", "X")


def _children_map():
    kids = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = _proc_state(int(name))
            if st:
                kids.setdefault(st[1], []).append(int(name))
    return kids


def descendants(pid):
    kids = _children_map()
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        for c in kids.get(p, []):
            out.append(c)
            todo.append(c)
    return out


def pids_named(comm):
    out = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % name) as f:
                if f.read().rstrip("\n") == comm and alive(int(name)):
                    out.append(int(name))
        except OSError:
            pass
    return out


def end_pids(pids, grace=5.0):
    """SIGTERM each PID, then SIGKILL what is still there after the grace period."""
    for p in pids:
        try:
            os.kill(p, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and any(alive(p) for p in pids):
        _reap()
        time.sleep(0.05)
    for p in pids:
        if alive(p):
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass
    _reap()


def _reap():
    # Inside a PID namespace the harness is init: it reaps orphans too.
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def run(args, env=None, timeout=10.0, check=True):
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise CheckFailed("%s failed (%d): %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    return r


# ---- the session -----------------------------------------------------------------------------

class Session:
    def __init__(self, name, screenshots=None, width=1024, height=768):
        self.name = name
        self.width, self.height = width, height
        self.tmp = tempfile.mkdtemp(prefix="vigilorn-e2e-%s-" % name)
        self.screenshots = screenshots or os.environ.get("VIGILORN_SCREENSHOTS")
        if self.screenshots:
            os.makedirs(self.screenshots, exist_ok=True)
            stale = os.path.join(self.screenshots, "failure-%s.png" % name)
            if os.path.exists(stale):
                os.remove(stale)
        self.started = []  # Popen objects, in start order
        self.env = {}
        self.user = None  # the ordinary user the desktop runs as, or None for root
        self.desktop = None
        self.app = None
        self._atspi = None
        self.home = os.path.join(self.tmp, "home")
        self.config = os.path.join(self.tmp, "config")
        self.data = os.path.join(self.tmp, "data")
        self.config_dirs = os.path.join(self.tmp, "xdg")
        self.runtime = os.path.join(self.tmp, "runtime")
        for d in (self.home, self.config, self.data, self.config_dirs, self.runtime):
            os.makedirs(d)
        os.chmod(self.runtime, stat.S_IRWXU)

    def run_as(self, name):
        """The session bus, the accessibility bus and the program run as the user `name`, with
        folders of their own and /run/user/UID, as after a login; the rest stays root's."""
        import pwd
        self.user = pwd.getpwnam(name)
        uid, gid = self.user.pw_uid, self.user.pw_gid
        os.chmod(self.tmp, 0o711)
        cache = os.path.join(self.tmp, "cache")
        os.makedirs(cache, exist_ok=True)
        for d in (self.home, self.config, self.data, self.config_dirs, cache):
            os.chown(d, uid, gid)
        self.runtime = "/run/user/%d" % uid
        os.makedirs(self.runtime, exist_ok=True)
        os.chown(self.runtime, uid, gid)
        os.chmod(self.runtime, stat.S_IRWXU)

    # Processes -------------------------------------------------------------------------------
    def spawn(self, args, env=None, as_user=False, **kw):
        """as_user: run as the session's user (see run_as), when there is one."""
        if as_user and self.user:
            kw.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        p = subprocess.Popen(args, env=env or self.env, stdin=subprocess.DEVNULL,
                             preexec_fn=_die_with_parent, **kw)
        self.started.append(p)
        return p

    def end(self, proc, grace=5.0):
        """Ends one started process and everything it spawned."""
        end_pids([proc.pid] + descendants(proc.pid), grace)
        try:
            proc.wait(timeout=1)
        except subprocess.TimeoutExpired:
            pass
        if proc in self.started:
            self.started.remove(proc)

    def close(self):
        # The program first, then the desktop in reverse start order.
        for p in reversed(list(self.started)):
            self.end(p)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # The desktop -----------------------------------------------------------------------------
    def start_desktop(self, xselwait, tray=True, desktop=None):
        """desktop: "xvfb" (Xvfb and openbox) or "weston" (a headless Wayland compositor with
        Xwayland, as on a Wayland desktop); VIGILORN_E2E_DESKTOP picks it for every journey."""
        self.desktop = desktop or os.environ.get("VIGILORN_E2E_DESKTOP", "xvfb")
        base = {k: v for k, v in os.environ.items()
                if k not in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME",
                             "DISPLAY", "AT_SPI_BUS_ADDRESS", "SESSION_MANAGER", "XAUTHORITY",
                             "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORM")}
        base.update(HOME=self.home, XDG_CONFIG_HOME=self.config, XDG_DATA_HOME=self.data,
                    XDG_CONFIG_DIRS=self.config_dirs, XDG_RUNTIME_DIR=self.runtime,
                    XDG_DATA_DIRS="/usr/local/share:/usr/share", XDG_CACHE_HOME=os.path.join(self.tmp, "cache"),
                    LANG="C.UTF-8", LC_ALL="C.UTF-8",
                    # No system bus: the built-in restore point store, never the machine's.
                    DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + os.path.join(self.tmp, "no-system-bus"))
        self.env = base

        if self.desktop == "weston":
            self._start_weston()
        else:
            r, w = os.pipe()
            self.xvfb = self.spawn(["Xvfb", "-displayfd", str(w), "-screen", "0",
                                    "%dx%dx24" % (self.width, self.height), "-nolisten", "tcp",
                                    "-noreset"], pass_fds=[w], stderr=subprocess.DEVNULL)
            os.close(w)
            display = self._read_line(r, 15.0, "Xvfb to pick a display")
            os.close(r)
            self.env["DISPLAY"] = ":" + display
            log("Xvfb on", self.env["DISPLAY"])
        os.environ.update(self.env)
        for k in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME",
                  "AT_SPI_BUS_ADDRESS"):
            os.environ.pop(k, None)

        if self.desktop != "weston":
            self.spawn(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
            wait_for("openbox to manage the screen",
                     lambda: "window id" in self.xprop_root("_NET_SUPPORTING_WM_CHECK"))

        # The session bus, then the accessibility bus on it.
        r, w = os.pipe()
        bus = ["--session"]
        if self.user:
            # The user's own bus, which the harness, as root, still reads.
            conf = os.path.join(self.tmp, "session-bus.conf")
            with open(conf, "w") as f:
                f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration '
                        '1.0//EN"\n "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                        '<busconfig>\n  <include>/usr/share/dbus-1/session.conf</include>\n'
                        '  <policy context="default"><allow user="root"/></policy>\n'
                        '</busconfig>\n')
            os.chmod(conf, 0o644)
            bus = ["--config-file=" + conf]
        self.spawn(["dbus-daemon"] + bus + ["--nofork", "--nopidfile", "--print-address=%d" % w],
                   pass_fds=[w], as_user=True)
        os.close(w)
        address = self._read_line(r, 10.0, "the session bus address")
        os.close(r)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
        self.spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                   stderr=subprocess.DEVNULL, as_user=True)
        if self.desktop == "weston":
            # Under Wayland the launcher announces the bus on the session bus only.
            wait_for("the accessibility bus", lambda: "unix:" in run(
                ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                 "org.a11y.Bus.GetAddress"], env=self.env, check=False).stdout)
        else:
            wait_for("the accessibility bus", lambda: "unix:" in self.xprop_root("AT_SPI_BUS"))
        # The focus listener is registered before any program starts, as a screen reader that
        # runs from login is. Qt's bridge reads the registry's listeners once and only then asks
        # to hear of new ones: a listener registered in between is never sent a focus event.
        self.a11y  # making the view of the bus registers the listener
        wait_for("the registry to list the focus listener",
                 lambda: "statechanged:focused" in self.registered_events().lower())

        if tray:
            self.start_tray(xselwait)
        log("desktop ready")

    def registered_events(self):
        """What the accessibility registry tells a starting program is listened for."""
        m = re.search(r'string "(unix:[^"]*)"', run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
             "org.a11y.Bus.GetAddress"], env=self.env, check=False).stdout)
        if not m:
            return ""
        return run(["dbus-send", "--bus=" + m.group(1), "--print-reply",
                    "--dest=org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                    "org.a11y.atspi.Registry.GetRegisteredEvents"], env=self.env,
                   check=False).stdout

    def start_tray(self, xselwait):
        """The XEmbed tray panel; returns once it owns the tray selection."""
        panel = self.spawn(["trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                            "request", "--height", "24", "--SetDockType", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run([xselwait, "_NET_SYSTEM_TRAY_S0", "15000"], env=self.env, timeout=20)
        return panel

    def _start_weston(self):
        # Xwayland binds its socket in the X socket folder, which a machine without any X
        # server may not have yet.
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        os.chmod("/tmp/.X11-unix", 0o1777)
        weston_log = os.path.join(self.tmp, "weston.log")
        socket = "wayland-vigilorn"
        self.spawn(["weston", "--backend=headless-backend.so", "--xwayland", "--use-pixman",
                    "--socket=" + socket, "--width=%d" % self.width, "--height=%d" % self.height,
                    "--log=" + weston_log], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def x_display():
            with open(weston_log) as f:
                m = re.search(r"xserver listening on display (:\d+)", f.read())
            return m and m.group(1)
        self.env["DISPLAY"] = wait_for("weston's Xwayland display", x_display, timeout=20)
        self.env["WAYLAND_DISPLAY"] = socket
        self.env["XDG_SESSION_TYPE"] = "wayland"
        # Xwayland starts with its first client.
        wait_for("Xwayland to answer", lambda: run(["xprop", "-root", "-len", "1", "_XKB_RULES_NAMES"],
                                                   env=self.env, check=False).returncode == 0,
                 timeout=20)
        log("weston with Xwayland on", self.env["DISPLAY"])

    @staticmethod
    def _read_line(fd, timeout, what):
        deadline = time.monotonic() + timeout
        buf = b""
        while b"\n" not in buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise CheckFailed("timed out waiting for " + what)
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 256)
                if not chunk:
                    break
                buf += chunk
        text = buf.decode().strip()
        if not text:
            raise CheckFailed("no answer while waiting for " + what)
        return text.splitlines()[0]

    # The program -----------------------------------------------------------------------------
    def write_ini(self, **options):
        path = os.path.join(self.config, PROGRAM_CLASS + ".ini")
        with open(path, "w") as f:
            f.write("[Options]\n")
            for k, v in options.items():
                f.write("%s=%s\n" % (k, v))
        if self.user:
            os.chown(path, self.user.pw_uid, self.user.pw_gid)
        return path

    def read_ini(self):
        path = os.path.join(self.config, PROGRAM_CLASS + ".ini")
        values, section = {}, None
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line.startswith("["):
                    section = line[1:-1]
                elif "=" in line:
                    k, v = line.split("=", 1)
                    values["%s/%s" % (section, k)] = v
        return values

    def start_program(self, exe, extra_env=None):
        self.app = self.spawn([exe], env=self.program_env(extra_env), as_user=True)
        log("program started, pid", self.app.pid)
        return self.app

    def program_env(self, extra_env=None):
        env = dict(self.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        # Under weston the program picks its platform itself, as on a Wayland desktop.
        if self.desktop != "weston":
            env["QT_QPA_PLATFORM"] = "xcb"
        env.update(extra_env or {})
        return env

    def start_again(self, exe, extra_env=None):
        """Another start of the program beside the one in self.app, which stays the program."""
        p = self.spawn([exe], env=self.program_env(extra_env), as_user=True)
        log("another start, pid", p.pid)
        return p

    def program_alive(self):
        return self.app is not None and self.app.poll() is None and alive(self.app.pid)

    def start_named_process(self, name, seconds=600):
        """A sleeper under the given name: a copy of sleep, so /proc shows that name."""
        folder = os.path.join(self.tmp, "bin")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            shutil.copy(shutil.which("sleep") or "/bin/sleep", path)
        return self.spawn([path, str(seconds)])

    # X -----------------------------------------------------------------------------------------
    def xprop_root(self, prop):
        return run(["xprop", "-root", prop], env=self.env, check=False).stdout

    def xprop(self, win, *props):
        return run(["xprop", "-id", str(win)] + list(props), env=self.env, check=False).stdout

    def xdotool(self, *args, check=True):
        return run(["xdotool"] + [str(a) for a in args], env=self.env, check=check).stdout

    def program_windows(self):
        """Visible top-level X windows of the program, with title, type and geometry."""
        out = self.xdotool("search", "--all", "--onlyvisible", "--class", "^%s$" % PROGRAM_CLASS,
                           check=False)
        wins = []
        for line in out.split():
            wid = int(line)
            props = self.xprop(wid, "_NET_WM_NAME", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE",
                               "WM_NAME")
            geo = run(["xwininfo", "-id", str(wid)], env=self.env, check=False).stdout
            m = {k: int(v) for k, v in re.findall(
                r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", geo)}
            if not m:
                continue
            wins.append({
                "id": wid,
                "name": _prop_string(props, "_NET_WM_NAME"),
                "wm_name": _prop_string(props, "WM_NAME"),
                "type": _prop_string(props, "_NET_WM_WINDOW_TYPE") or "",
                "state": _prop_string(props, "_NET_WM_STATE") or "",
                "geometry": (m.get("Absolute upper-left X"), m.get("Absolute upper-left Y"),
                             m.get("Width"), m.get("Height")),
                "override": "Override Redirect State: yes" in geo,
                "mapped": "Map State: IsViewable" in geo,
            })
        return [w for w in wins if w["mapped"]]

    def window_at(self, extents):
        """The program's X window whose geometry matches accessible extents."""
        ex, ey, ew, eh = extents
        for w in self.program_windows():
            x, y, width, height = w["geometry"]
            if not w["override"] and abs(x - ex) <= 2 and abs(y - ey) <= 2 and \
                    abs(width - ew) <= 2 and abs(height - eh) <= 2:
                return w
        return None

    def viewable(self, win):
        geo = run(["xwininfo", "-id", str(win)], env=self.env, check=False)
        return geo.returncode == 0 and "Map State: IsViewable" in geo.stdout

    def frame_extents(self, win):
        m = re.search(r"_NET_FRAME_EXTENTS\(CARDINAL\) = ([\d, ]+)",
                      self.xprop(win, "_NET_FRAME_EXTENTS"))
        return tuple(int(v) for v in m.group(1).split(",")) if m else None

    def popup_menus(self):
        # A menu popped up from code carries no menu type, only NORMAL: anything
        # override-redirect that is neither a tooltip nor the tray icon.
        icon = self.tray_icon()
        return [w for w in self.program_windows()
                if w["override"] and "_NET_WM_WINDOW_TYPE_TOOLTIP" not in w["type"]
                and w["id"] != icon]

    def tray_icon(self):
        """The program's icon window inside the tray panel, or None."""
        out = self.xdotool("search", "--onlyvisible", "--class", "^trayer$", check=False).split()
        for panel in out:
            tree = run(["xwininfo", "-tree", "-id", panel], env=self.env, check=False).stdout
            for line in tree.splitlines():
                m = re.match(r'\s*(0x[0-9a-f]+) .*\("%s" "%s"\)\s+(\d+)x(\d+)' %
                             (PROGRAM_CLASS, PROGRAM_CLASS), line)
                if m and int(m.group(2)) > 1:
                    return int(m.group(1), 16)
        return None

    def click_at(self, x, y, button=1, repeat=1):
        # No --sync: it waits forever when the pointer is already there.
        self.xdotool("mousemove", int(x), int(y))
        if repeat > 1:
            self.xdotool("click", "--repeat", repeat, "--delay", 80, button)
        else:
            self.xdotool("click", button)

    def click_window(self, win, x, y, button=1, repeat=1):
        self.xdotool("mousemove", "--window", win, x, y)
        if repeat > 1:
            self.xdotool("click", "--repeat", repeat, "--delay", 80, button)
        else:
            self.xdotool("click", button)

    def key(self, *keys):
        self.xdotool("key", "--delay", 60, *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", 30, text)

    def screenshot(self, name):
        if not self.screenshots:
            return None
        if self.desktop == "weston":
            # A rootless Xwayland has no root window image to take.
            log("no screenshot %s under weston" % name)
            return None
        path = os.path.join(self.screenshots, name + ".png")
        run(["/usr/bin/import", "-window", "root", path], env=self.env, timeout=20)
        log("screenshot", os.path.basename(path))
        return path

    # Accessibility -----------------------------------------------------------------------------
    @property
    def a11y(self):
        if self._atspi is None:
            import a11y  # imported once the buses exist: pyatspi binds to them on import
            self._atspi = a11y.Bus(self)
        return self._atspi


def _prop_string(props, name):
    m = re.search(r"^%s\([A-Z0-9_]+\) = (.*)$" % name, props, re.M)
    if not m:
        return None
    value = m.group(1).strip()
    if value.startswith('"') and value.endswith('"'):
        return value[1:-1]
    return value


def main(journey, name):
    """Runs one journey in its own session; signals end the session cleanly."""
    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGHUP, stop)
    exe = os.environ["VIGILORN_EXE"]
    xselwait = os.environ["VIGILORN_XSELWAIT"]
    code = 1
    session = Session(name)
    try:
        if journey(session, exe, xselwait) == 77:
            log("SKIP", name, "(a window it needs is not in this build)")
            code = 77
        else:
            log("PASS", name)
            code = 0
    except Skipped as e:
        print("skipped: %s: %s" % (name, e), flush=True)
        code = 77
    except Exception as e:
        if not isinstance(e, CheckFailed):
            import traceback
            traceback.print_exc()
        log("FAIL", name + ":", e)
        try:
            session.screenshot("failure-" + name)
        except Exception:
            pass
    finally:
        session.close()
    sys.exit(code)
