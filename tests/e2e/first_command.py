"""scripts/run.sh from a fresh clone, started as `sudo scripts/run.sh` starts it, on a desktop: the
package is installed through APT, its hooks are in /etc, and the installed program runs as the
user who asked, where the hook finds it.

The script packages this suite's build (VIGILORN_PACKAGE_BUILD) instead of building the release
preset: that would be a second full build. Everything after the build (cpack, APT, the start)
runs as it does for a newcomer. Runs as root in a throw-away copy of the system (in-overlay.sh).
"""

import glob
import grp
import os
import pwd
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vigharness as h  # noqa: E402
from vigharness import expect, expect_equal, log, wait_for  # noqa: E402

USER = "vigil-newcomer"
EXE = "/usr/bin/QMVigilornApp"
HOOK = "/usr/libexec/qmvigilorn/qmvigilorn-hook"
SNIPPETS = ("/etc/apt/apt.conf.d/80qmvigilorn", "/etc/dpkg/dpkg.cfg.d/qmvigilorn")


def in_throwaway_system():
    with open("/proc/self/mounts") as f:
        roots = [line.split()[2] for line in f if line.split()[1] == "/"]
    return bool(roots) and roots[-1] == "overlay"


def installed():
    r = h.run(["dpkg-query", "-W", "-f=${Status}", "qmvigilorn"], check=False)
    return r.returncode == 0 and r.stdout == "install ok installed"


def programs_of(uid):
    """PIDs of the installed program run by uid."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) == EXE and os.stat("/proc/" + pid).st_uid == uid:
                found.append(int(pid))
        except OSError:
            pass
    return found


def environ_of(pid):
    with open("/proc/%d/environ" % pid, "rb") as f:
        return dict(e.decode().split("=", 1) for e in f.read().split(b"\0") if b"=" in e)


def journey(s, _exe, xsel):
    expect(in_throwaway_system(), "not in a throw-away copy of the system: nothing is installed")
    if installed():
        h.run(["dpkg", "--purge", "qmvigilorn"], timeout=120)
    for f in SNIPPETS:
        expect(not os.path.exists(f), "%s is there before the package" % f)

    h.run(["useradd", "--create-home", "--shell", "/bin/bash", USER])
    user = pwd.getpwnam(USER)
    # What logind makes at login: the hook looks for the program's socket here.
    runtime = "/run/user/%d" % user.pw_uid
    os.makedirs(runtime)
    os.chown(runtime, user.pw_uid, user.pw_gid)
    os.chmod(runtime, 0o700)
    clone = os.path.join(user.pw_dir, "qmvigilorn")
    h.run(["git", "clone", "-q", "--no-hardlinks", os.environ["VIGILORN_SOURCE"], clone], timeout=120)
    h.run(["chown", "-R", "%s:%s" % (USER, grp.getgrgid(user.pw_gid).gr_name), clone])

    s.start_desktop(xsel)
    # What sudo leaves of the user's environment.
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
           "HOME": "/root", "USER": "root", "LOGNAME": "root", "SHELL": "/bin/bash",
           "LANG": "C.UTF-8", "TERM": "dumb", "DISPLAY": s.env["DISPLAY"],
           "SUDO_USER": USER, "SUDO_UID": str(user.pw_uid), "SUDO_GID": str(user.pw_gid),
           "SUDO_COMMAND": os.path.join(clone, "scripts/run.sh"),
           "VIGILORN_PACKAGE_BUILD": os.environ["VIGILORN_PACKAGE_BUILD"]}
    out = os.path.join(s.tmp, "run.log")
    with open(out, "w") as f:
        script = s.spawn([os.path.join(clone, "scripts/run.sh")], env=env, stdout=f,
                         stderr=subprocess.STDOUT, cwd=user.pw_dir)
    log("scripts/run.sh started")

    def said():
        with open(out) as f:
            return f.read()

    def program():
        if script.poll() is not None:
            raise h.CheckFailed("scripts/run.sh ended (%d) with no program:\n%s" % (
                script.returncode, said()))
        return programs_of(user.pw_uid)

    pids = wait_for("the installed program, run by " + USER, program, timeout=420)
    log("scripts/run.sh said:\n" + said())
    expect(installed(), "qmvigilorn is not installed")
    expect("Installing qmvigilorn_" in said() and "Starting %s as %s." % (EXE, USER) in said(),
           "scripts/run.sh did not say what it installs and whom it starts the program for")
    for f in SNIPPETS:
        with open(f) as snippet:
            expect('"%s ' % HOOK in snippet.read(), "%s does not start %s" % (f, HOOK))
    st = os.stat(HOOK)
    expect(st.st_uid == 0 and st.st_mode & 0o022 == 0, "%s is not root's alone" % HOOK)

    env = environ_of(pids[0])
    for k, v in {"HOME": user.pw_dir, "USER": USER, "XDG_RUNTIME_DIR": runtime,
                 "DISPLAY": s.env["DISPLAY"]}.items():
        expect_equal(env.get(k), v, "the program's " + k)
    expect("SUDO_USER" not in env, "the program runs with sudo's environment")
    wait_for("the program's socket in " + runtime,
             lambda: glob.glob(os.path.join(runtime, h.PROGRAM_CLASS + "-*.socket")))
    wait_for("the program's window or tray icon",
             lambda: s.program_windows() or s.tray_icon())
    s.screenshot("first-command")

    # Taken away as README says. apt-get remove keeps the snippets (conffiles), which then name a
    # hook that is gone: APT and dpkg must go on working. Purge takes them; the points stay.
    s.end(script)
    h.run(["apt-get", "remove", "-y", "qmvigilorn"], timeout=300)
    expect(not os.path.exists(HOOK) and all(map(os.path.exists, SNIPPETS)),
           "apt-get remove did not leave the snippets without their hook")
    probe = os.path.join(s.tmp, "probe")
    os.makedirs(os.path.join(probe, "DEBIAN"))
    with open(os.path.join(probe, "DEBIAN", "control"), "w") as f:
        f.write("Package: vigilorn-leftover-probe\nVersion: 1.0\nArchitecture: all\n"
                "Maintainer: Quillmere <vigilorn@quillmere.com>\nDescription: probe\n")
    h.run(["dpkg-deb", "--build", probe, probe + ".deb"])
    h.run(["apt-get", "install", "-y", probe + ".deb"], timeout=300)
    h.run(["dpkg", "--remove", "vigilorn-leftover-probe"], timeout=120)
    h.run(["apt-get", "purge", "-y", "qmvigilorn"], timeout=300)
    for f in SNIPPETS:
        expect(not os.path.exists(f), "%s is left after purge" % f)
    expect(os.path.exists("/var/lib/qmvigilorn/points.list"),
           "the point made before the removal went with the purge")


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("SKIP: installing the package needs root")
        sys.exit(77)
    os.environ.setdefault("VIGILORN_EXE", EXE)
    h.main(journey, "first_command")
