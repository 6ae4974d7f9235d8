"""Real package managers and a stand-in PackageKit daemon for the journeys.

The package managers run as root only, each in a PID and mount namespace of its own, and the
probe package is purged again whatever happens."""

import os
import shutil
import subprocess
import time

import vigharness as h
from vigharness import CheckFailed, log, wait_for

PROBE = "vigilorn-e2e-probe"
HERE = os.path.dirname(os.path.abspath(__file__))


class Probe:
    """A small package whose preinst waits until the journey releases it."""

    def __init__(self, session):
        self.s = session
        self.folder = os.path.join(session.tmp, "probe")
        self.started = os.path.join(self.folder, "started")
        self.release_mark = os.path.join(self.folder, "release")
        self.deb = os.path.join(self.folder, PROBE + ".deb")
        self.run = None

    def build(self, version="1.0"):
        """The probe at `version`; any version but the first goes to a file of its own."""
        root = os.path.join(self.folder, "root-" + version)
        debian = os.path.join(root, "DEBIAN")
        os.makedirs(debian)
        with open(os.path.join(debian, "control"), "w") as f:
            f.write("Package: %s\nVersion: %s\nArchitecture: all\n"
                    "Maintainer: Vigilorn tests <tests@example.invalid>\n"
                    "Description: waits in its preinst until the test lets it go\n" % (
                        PROBE, version))
        preinst = os.path.join(debian, "preinst")
        # Bounded, so that a journey that died cannot leave it waiting for ever.
        with open(preinst, "w") as f:
            f.write("#!/bin/sh\n: > '%s'\ni=0\n"
                    "while [ ! -e '%s' ] && [ $i -lt 1500 ]; do sleep 0.1; i=$((i+1)); done\n"
                    "exit 0\n" % (self.started, self.release_mark))
        os.chmod(preinst, 0o755)
        deb = self.deb if version == "1.0" else os.path.join(
            self.folder, "%s_%s.deb" % (PROBE, version))
        h.run(["dpkg-deb", "--root-owner-group", "--build", root, deb], timeout=60)
        return deb

    def version(self):
        r = h.run(["dpkg-query", "-W", "-f=${Version}", PROBE], check=False)
        return r.stdout.strip() if r.returncode == 0 else None

    @staticmethod
    def env():
        # Nothing of the desktop, and no system bus: apt's hooks find no snapper to call.
        return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
                "DEBIAN_FRONTEND": "noninteractive",
                "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/vigilorn-e2e-bus"}

    def isolated(self, args):
        return ["unshare", "--pid", "--fork", "--kill-child", "--mount"] + args

    def installed(self):
        r = h.run(["dpkg-query", "-W", "-f=${Status}", PROBE], check=False)
        return r.returncode == 0 and "installed" in r.stdout.split()

    def purge(self):
        r = h.run(self.isolated(["dpkg", "--purge", PROBE]), env=self.env(), timeout=120,
                  check=False)
        if self.installed():
            raise CheckFailed("the probe package is still installed: " + r.stderr.strip())

    def start(self, args):
        """Starts the package manager on the probe; returns once its preinst runs."""
        if self.installed():
            self.purge()  # left by an earlier run that was killed
        log("running", " ".join(args))
        self.run = self.s.spawn(self.isolated(args), env=self.env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        wait_for("the probe's preinst to run",
                 lambda: os.path.exists(self.started) or self.run.poll() is not None, timeout=90)
        if not os.path.exists(self.started):
            raise CheckFailed("%s ended (%s) before the preinst ran: %s" % (
                args[0], self.run.returncode, self.run.stderr.read().decode(errors="replace")))
        return time.monotonic()

    def finish(self):
        """Lets the preinst end and waits for the package manager; returns its exit code."""
        open(self.release_mark, "w").close()
        wait_for("%s to end" % PROBE, lambda: self.run.poll() is not None, timeout=120)
        code = self.run.returncode
        self.s.started.remove(self.run)
        return code

    def close(self):
        if not os.path.exists(self.release_mark):
            open(self.release_mark, "w").close()
        if self.run is not None and self.run.poll() is None:
            try:
                self.run.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.s.end(self.run)
        self.purge()


class PrivateSystemBus:
    """A bus of the system type on a socket of the session's, with a stand-in PackageKit."""

    def __init__(self, session, silent=False):
        self.s = session
        self.folder = os.path.join(session.tmp, "packagekit")
        os.makedirs(self.folder)
        self.socket = os.path.join(self.folder, "bus.sock")
        self.address = "unix:path=" + self.socket
        with open(os.path.join(HERE, "system-bus.conf.in")) as f:
            conf = f.read().replace("@SOCKET@", self.socket)
        self.conf = os.path.join(self.folder, "bus.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.set_transactions([])
        session.spawn(["dbus-daemon", "--config-file=" + self.conf, "--nofork", "--nopidfile"])
        wait_for("the private system bus", lambda: os.path.exists(self.socket))
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        args = ["/usr/bin/python3", os.path.join(HERE, "fake_packagekit.py"), self.folder]
        session.spawn(args + (["--silent"] if silent else []), env=env)
        wait_for("the stand-in PackageKit on the bus",
                 lambda: os.path.exists(os.path.join(self.folder, "ready")))

    def set_transactions(self, items):
        """items: (role, flags) pairs; written whole, so no reader sees half a list."""
        tmp = os.path.join(self.folder, "transactions.new")
        with open(tmp, "w") as f:
            for role, flags in items:
                f.write("%d %d\n" % (role, flags))
        os.replace(tmp, os.path.join(self.folder, "transactions"))

    def calls(self):
        """(time, transactions listed) for every GetTransactionList so far."""
        try:
            with open(os.path.join(self.folder, "calls")) as f:
                return [(float(t), int(n)) for t, n in (line.split() for line in f)]
        except OSError:
            return []


def have_tools(*names):
    return all(shutil.which(n) for n in names)
