#!/usr/bin/python3
"""A polkit authentication agent for one process, answering as the journey tells it.

polkit_agent.py PID FOLDER registers, on the system bus, as the agent of process PID (the
program: pkexec's subject is its parent). Each time polkit asks it to authenticate it reads
FOLDER/answer: "password USER SECRET" runs polkit's own helper as USER and gives it SECRET,
"dismiss" answers as a person who closes the password box does. It appends one line to
FOLDER/asked for each request: the action, the identities offered and what came of it. It
creates FOLDER/ready once registered."""

import os
import pwd
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

HELPER = "/usr/lib/polkit-1/polkit-agent-helper-1"
AGENT_PATH = "/com/quillmere/vigilorn/tests/PolkitAgent"
AGENT_IFACE = "org.freedesktop.PolicyKit1.AuthenticationAgent"
# What the helper is given before polkit gives up on it.
HELPER_TIMEOUT = 60


class Cancelled(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.PolicyKit1.Error.Cancelled"


def start_time(pid):
    with open("/proc/%d/stat" % pid) as f:
        data = f.read()
    # The name may hold spaces and parentheses; the start time is field 22.
    return int(data[data.rfind(")") + 2:].split()[19])


def identity_names(identities):
    names = []
    for kind, details in identities:
        if kind == "unix-user":
            uid = int(details["uid"])
            try:
                names.append(pwd.getpwuid(uid).pw_name)
            except KeyError:
                names.append("uid %d" % uid)
        else:
            names.append(str(kind))
    return names


def run_helper(user, secret, cookie):
    """polkit-agent-helper-1's conversation: the cookie, then an answer to each prompt.
    Returns the helper's last word (SUCCESS or FAILURE)."""
    p = subprocess.Popen([HELPER, user], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
    last = "no answer"
    try:
        p.stdin.write(cookie + "\n")
        p.stdin.flush()
        for line in p.stdout:
            line = line.rstrip("\n")
            if line.startswith("PAM_PROMPT_ECHO_OFF") or line.startswith("PAM_PROMPT_ECHO_ON"):
                p.stdin.write(secret + "\n")
                p.stdin.flush()
            elif line in ("SUCCESS", "FAILURE"):
                last = line
                break
        p.wait(timeout=HELPER_TIMEOUT)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    return last


class Agent(dbus.service.Object):
    def __init__(self, bus, folder):
        super().__init__(bus, AGENT_PATH)
        self.folder = folder

    def note(self, line):
        with open(os.path.join(self.folder, "asked"), "a") as f:
            f.write(line + "\n")

    @dbus.service.method(AGENT_IFACE, in_signature="sssa{ss}sa(sa{sv})", out_signature="")
    def BeginAuthentication(self, action_id, message, icon_name, details, cookie, identities):
        offered = identity_names(identities)
        with open(os.path.join(self.folder, "answer")) as f:
            answer = f.read().split()
        if answer and answer[0] == "password" and len(answer) == 3:
            said = run_helper(answer[1], answer[2], str(cookie))
            self.note("%s\t%s\tpassword of %s: %s" % (action_id, ",".join(offered), answer[1],
                                                      said))
            return
        self.note("%s\t%s\tdismissed" % (action_id, ",".join(offered)))
        raise Cancelled("The journey dismissed the request.")

    @dbus.service.method(AGENT_IFACE, in_signature="s", out_signature="")
    def CancelAuthentication(self, cookie):
        self.note("cancelled by polkit")


def main():
    pid, folder = int(sys.argv[1]), sys.argv[2]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    agent = Agent(bus, folder)
    authority = bus.get_object("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority")
    subject = ("unix-process", {"pid": dbus.UInt32(pid), "start-time": dbus.UInt64(start_time(pid))})
    authority.RegisterAuthenticationAgent(subject, "C.UTF-8", AGENT_PATH,
                                          dbus_interface="org.freedesktop.PolicyKit1.Authority")
    open(os.path.join(folder, "ready"), "w").close()
    GLib.MainLoop().run()
    return agent


if __name__ == "__main__":
    main()
