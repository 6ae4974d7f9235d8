#!/bin/bash
# PackageKit's way to the package hook, for real: packagekitd with its apt backend on a private
# system bus, a user installing a local package with pkcon, the hook from the build. Run inside
# a throw-away copy of the system, so /etc, /run, the users and the packages are its own:
#   in-overlay.sh packagekit-hook.sh
# with VIGILORN_HOOK, VIGILORN_SYSTEM, VIGILORN_HOOK_SNIPPETS and VIGILORN_LIBEXEC set. The
# user's program is stood in for by a listener that asks for a point and notes what it was
# asked, what dpkg said at that moment, and the point's number it was told.
# Status 77 when PackageKit, polkit or D-Bus cannot be had here.
set -u
skip() { echo "SKIP: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || skip "needs root"
for tool in pkcon dbus-daemon python3 useradd runuser dpkg-deb dpkg-query git; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not installed"
done
[ -x /usr/libexec/packagekitd ] || skip "packagekitd not installed"
[ -x /usr/lib/polkit-1/polkitd ] || skip "polkitd not installed"
ls /usr/lib/*/packagekit-backend/libpk_backend_apt.so >/dev/null 2>&1 ||
    skip "PackageKit's apt backend not installed"

W=$(mktemp -d /tmp/packagekit-hook.XXXXXX) || exit 1
chmod 755 "$W"
BUS=/run/dbus/system_bus_socket
BUS_PID=
LISTENER=
cleanup() {
    local rc=$?
    [ -n "$LISTENER" ] && kill "$LISTENER" 2>/dev/null
    [ -n "$BUS_PID" ] && kill "$BUS_PID" 2>/dev/null
    rm -rf "$W"
    exit "$rc"
}
trap cleanup EXIT

# An open bus: what is checked here is PackageKit and the hook, not the bus's policy.
mkdir -p /run/dbus
cat >"$W/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$BUS</listen>
  <auth>EXTERNAL</auth>
  <servicedir>/usr/share/dbus-1/system-services</servicedir>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/><allow receive_type="method_return"/>
    <allow receive_type="error"/><allow receive_type="signal"/>
  </policy>
</busconfig>
CONF
unset DBUS_SYSTEM_BUS_ADDRESS
dbus-daemon --config-file="$W/bus.conf" --fork --print-pid=3 3>"$W/bus.pid" || fail "no bus"
BUS_PID=$(tr -d ' \n' <"$W/bus.pid")
for _ in $(seq 100); do [ -S "$BUS" ] && break; sleep 0.05; done
[ -S "$BUS" ] || fail "the bus did not come up"

# A desktop user whom polkit lets install, in an active graphical session at the machine's
# seat as logind keeps it. packagekitd's apt backend (1.2.6) gives the hook no
# PACKAGEKIT_CALLER_UID and has no login uid: the session is how the hook finds whom to ask,
# and from the sessions only an administrator (adm) at a seat is asked.
useradd -M -G adm vigilorn-pk || fail "useradd"
U=$(id -u vigilorn-pk)
mkdir -p /etc/polkit-1/rules.d
cat >/etc/polkit-1/rules.d/00-vigilorn-pk.rules <<'RULES'
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.packagekit.") == 0 && subject.user == "vigilorn-pk")
        return polkit.Result.YES;
});
RULES
mkdir -p /run/systemd/sessions
printf 'UID=%s\nUSER=vigilorn-pk\nACTIVE=1\nSTATE=active\nTYPE=x11\nCLASS=user\nSEAT=seat0\nREMOTE=0\n' "$U" \
    >/run/systemd/sessions/c1

mkdir -p "$VIGILORN_LIBEXEC"
cp "$VIGILORN_HOOK" "$VIGILORN_LIBEXEC/qmvigilorn-hook"
cp "$VIGILORN_SYSTEM" "$VIGILORN_LIBEXEC/qmvigilorn-system"
cp "$VIGILORN_HOOK_SNIPPETS/80qmvigilorn" /etc/apt/apt.conf.d/80qmvigilorn

mkdir -p "$W/pkg/DEBIAN" "$W/pkg/usr/share/doc/vigilorn-pk-probe"
printf 'Package: vigilorn-pk-probe\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@localhost>\nDescription: probe\n' \
    >"$W/pkg/DEBIAN/control"
echo probe >"$W/pkg/usr/share/doc/vigilorn-pk-probe/README"
dpkg-deb --root-owner-group --build "$W/pkg" "$W/probe.deb" >/dev/null || fail "dpkg-deb"
chmod 644 "$W/probe.deb"

# The stand-in for the user's program, as the user, where the hook looks for it.
install -d -m 700 -o vigilorn-pk "/run/user/$U"
install -d -m 700 -o vigilorn-pk "$W/heard"
cat >"$W/listener.py" <<'PY'
import socket, subprocess, sys
sock, out = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind(sock)
s.listen(1)
open(out + "/ready", "w").close()
c, _ = s.accept()
line = c.recv(64)
r = subprocess.run(["/usr/bin/dpkg-query", "-W", "-f=${db:Status-Status}", "vigilorn-pk-probe"],
                   capture_output=True)
state = r.stdout if r.returncode == 0 else b"not-installed" if b"no packages found" in r.stderr else b""
open(out + "/line", "wb").write(line)
open(out + "/state", "wb").write(state or b"unknown")
c.sendall(b"point\n")
c.settimeout(150)
open(out + "/told", "wb").write(c.recv(64))
c.close()
PY
runuser -u vigilorn-pk -- python3 "$W/listener.py" "/run/user/$U/QMVigilornApp-xcb-0.socket" \
    "$W/heard" &
LISTENER=$!
for _ in $(seq 200); do [ -e "$W/heard/ready" ] && break; sleep 0.05; done
[ -e "$W/heard/ready" ] || fail "the listener did not start"

timeout 150 runuser -u vigilorn-pk -- pkcon -y -p install-local "$W/probe.deb" >"$W/pkcon.log" 2>&1 ||
    { cat "$W/pkcon.log"; fail "pkcon install-local"; }
[ "$(dpkg-query -W -f='${db:Status-Status}' vigilorn-pk-probe 2>/dev/null)" = installed ] ||
    fail "the package is not installed"
[ "$(cat "$W/heard/line" 2>/dev/null)" = "hold packagekitd" ] ||
    fail "the user's program was asked '$(cat "$W/heard/line" 2>/dev/null)', not for packagekitd"
[ "$(cat "$W/heard/state")" = "not-installed" ] ||
    fail "dpkg had the package as '$(cat "$W/heard/state")' while the user was asked"
told=$(cat "$W/heard/told" 2>/dev/null)
n=${told#made }
[ "$told" = "made $n" ] && [ -n "$n" ] || fail "the program was told '$told', not a point's number"
grep -qP "^$n\t[^\t]*\tQMAutoResPnt\tvigilorn-pk-probe:->1\.0:install$" /var/lib/qmvigilorn/points.list ||
    { cat /var/lib/qmvigilorn/points.list; fail "point $n is not listed with the change"; }
# PackageKit's command line names only its role: the change is told by the packages.
git --git-dir=/var/lib/qmvigilorn/points.git show HEAD:change.txt >"$W/change.txt" ||
    fail "point $n has no change record"
grep -qxF "change	packagekitd install vigilorn-pk-probe" "$W/change.txt" ||
    { cat "$W/change.txt"; fail "point $n does not name PackageKit's change"; }
echo "ok: pkcon install-local: the session's user was asked for packagekitd before dpkg ran;"
echo "ok: the point the user asked for is $n"
