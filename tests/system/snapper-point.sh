#!/bin/bash
# Snapper as the system points' engine, for real: a throw-away btrfs as snapper's root config,
# snapperd on a private bus at the system bus's own socket, APT with the package hooks. Run
# inside a throw-away copy of the system, so /etc, /run and the packages are its own:
#   in-overlay.sh snapper-point.sh
# with VIGILORN_HOOK, VIGILORN_SYSTEM, VIGILORN_HOOK_SNIPPETS and VIGILORN_LIBEXEC set.
# Status 77 when btrfs or snapper cannot be had here.
set -u
skip() { echo "SKIP: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || skip "needs root"
for tool in snapper mkfs.btrfs dbus-daemon dbus-send dpkg-deb apt-get truncate; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not installed"
done
[ -x /usr/bin/snapper ] && [ -x /usr/sbin/snapperd ] || skip "snapper is not at /usr/bin"
[ -e /dev/loop-control ] || skip "no loop devices"
[ -e /etc/snapper/configs/root ] && fail "this copy of the system already has a root config"

W=$(mktemp -d /tmp/snapper-point.XXXXXX) || exit 1
mount -t tmpfs -o mode=0700,size=700m tmpfs "$W" || skip "no tmpfs for the image"
BUS=/run/dbus/system_bus_socket
BUS_PID=

stop_bus() {
    local spid
    [ -n "$BUS_PID" ] || return 0
    spid=$(dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:org.opensuse.Snapper 2>/dev/null |
        awk '/uint32/{print $2}')
    if [ -n "$spid" ]; then
        kill "$spid" 2>/dev/null
        for _ in $(seq 100); do kill -0 "$spid" 2>/dev/null || break; sleep 0.05; done
    fi
    kill "$BUS_PID" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$BUS_PID" 2>/dev/null || break; sleep 0.05; done
    BUS_PID=
    rm -f "$BUS"
}
cleanup() {
    local rc=$?
    stop_bus
    mountpoint -q "$W/root" && umount "$W/root"
    umount "$W" 2>/dev/null
    rmdir "$W" 2>/dev/null
    exit "$rc"
}
trap cleanup EXIT

truncate -s 512M "$W/fs.img" || fail "no image"
mkfs.btrfs -q "$W/fs.img" >"$W/mkfs.log" 2>&1 || skip "mkfs.btrfs failed: $(head -1 "$W/mkfs.log")"
mkdir "$W/root"
mount -o loop "$W/fs.img" "$W/root" || skip "the btrfs cannot be mounted"

mkdir -p /run/dbus
cat >"$W/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$BUS</listen>
  <auth>EXTERNAL</auth>
  <servicedir>/usr/share/dbus-1/system-services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/><allow receive_type="method_return"/>
    <allow receive_type="error"/><allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
CONF
unset DBUS_SYSTEM_BUS_ADDRESS
dbus-daemon --config-file="$W/bus.conf" --fork --print-pid=3 3>"$W/bus.pid" || fail "no bus"
BUS_PID=$(tr -d ' \n' <"$W/bus.pid")
for _ in $(seq 100); do [ -S "$BUS" ] && break; sleep 0.05; done
[ -S "$BUS" ] || fail "the bus did not come up"

snapper -c root create-config "$W/root" || fail "snapper create-config"
snapper -c root set-config TIMELINE_CREATE=no NUMBER_CLEANUP=no || fail "snapper set-config"

# The hooks as the package installs them. The point maker is wrapped, so that the number it
# gave the hook is known even where the hook says nothing.
mkdir -p "$VIGILORN_LIBEXEC"
cp "$VIGILORN_HOOK" "$VIGILORN_LIBEXEC/qmvigilorn-hook"
cp "$VIGILORN_SYSTEM" "$W/qmvigilorn-system"
cat >"$VIGILORN_LIBEXEC/qmvigilorn-system" <<WRAP
#!/bin/bash
out=\$("$W/qmvigilorn-system" "\$@"); rc=\$?
printf '%s\n' "\$out" >>"$W/made"
printf '%s\n' "\$out"
exit \$rc
WRAP
chmod 755 "$VIGILORN_LIBEXEC/qmvigilorn-system"
cp "$VIGILORN_HOOK_SNIPPETS/80qmvigilorn" /etc/apt/apt.conf.d/80qmvigilorn
cp "$VIGILORN_HOOK_SNIPPETS/qmvigilorn" /etc/dpkg/dpkg.cfg.d/qmvigilorn
[ -f /etc/apt/apt.conf.d/80snapper ] || fail "snapper's own APT hook is missing"

mkdir -p "$W/pkg/DEBIAN" "$W/pkg/usr/share/doc/vigilorn-snapper-probe" "$W/lists/partial" \
    "$W/cache/archives/partial"
printf 'Package: vigilorn-snapper-probe\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@localhost>\nDescription: probe\n' \
    >"$W/pkg/DEBIAN/control"
echo probe >"$W/pkg/usr/share/doc/vigilorn-snapper-probe/README"
dpkg-deb --root-owner-group --build "$W/pkg" "$W/probe.deb" >/dev/null || fail "dpkg-deb"

# Nobody's program runs for uid 65534: every hooked run gets an automatic point.
apt_run() {
    SUDO_UID=65534 apt-get -y -o Dpkg::Use-Pty=0 -o "Dir::State::Lists=$W/lists" \
        -o "Dir::Cache=$W/cache" "$@" >"$W/apt.log" 2>&1 || { cat "$W/apt.log"; fail "apt-get $*"; }
    if grep '^Vigilorn:' "$W/apt.log"; then fail "the hook complained"; fi
}
# The snapshots as snapperd, the program's source, lists them.
snapshots() {
    snapper --machine-readable csv -c root list --columns number,type,pre-number,userdata,description |
        tail -n +3
}
apt_snapshots() {
    sed -i 's/^DISABLE_APT_SNAPSHOT=.*/DISABLE_APT_SNAPSHOT="'"$1"'"/' /etc/default/snapper
}
maker() { "$VIGILORN_LIBEXEC/qmvigilorn-system" "$@" </dev/null; }
last_made() { tail -n 1 "$W/made" 2>/dev/null; }

# 80snapper off: the point is a snapshot of its own, under snapper's number.
apt_snapshots yes
n=$(maker create --reason auto --frontend apt-get --description 'apt-get install x,y') ||
    fail "no point made"
snapshots | grep -qxF "$n,single,,\"vigilorn-event=100, vigilorn-frontend=apt-get, vigilorn-reason=auto, vigilorn-type=12\",\"apt-get install x,y\"" ||
    { snapshots; fail "point $n is not snapper's snapshot $n as described"; }
n=$(maker create --reason asked --frontend apt --description QMAutoResPnt \
    --change "apt install 'ä' \"q\" \\ \$x=1,2") || fail "no asked point made"
snapshots | grep -qxF "$n,single,,\"vigilorn-change=apt install 'ä' \"\"q\"\" \\ \$x 1 2, vigilorn-event=100, vigilorn-frontend=apt, vigilorn-reason=asked, vigilorn-type=12\",QMAutoResPnt" ||
    { snapshots; fail "the asked point $n is not snapper's snapshot $n as described"; }
echo "ok: points made directly are snapper's snapshots, as described"

before=$(snapshots | wc -l)
apt_run install "$W/probe.deb"
n=$(last_made)
[ "$(snapshots | wc -l)" = $((before + 1)) ] || { snapshots; fail "not one snapshot for the run"; }
# The command line in the point's own data, the packages in the description everyone reads.
snapshots | grep -q "^$n,single,,\"vigilorn-change=apt-get .*install .*probe.deb.*vigilorn-reason=auto.*,\"\?apt-get install vigilorn-snapper-probe\"\?$" ||
    { snapshots; fail "the hook's point $n is not the run's snapshot"; }
echo "ok: apt-get install with 80snapper off: the hook's point is snapshot $n"

# 80snapper on: its pre snapshot of the run is the point, and no second one is made.
apt_snapshots no
pre=$(snapper -c root create -t pre -d apt -c number -p) || fail "no pre snapshot"
before=$(snapshots | wc -l)
n=$(maker create --reason auto --frontend apt-get --description 'apt-get install probe') ||
    fail "no point"
[ "$n" = "$pre" ] || fail "the point is $n, not 80snapper's pre snapshot $pre"
[ "$(snapshots | wc -l)" = "$before" ] || { snapshots; fail "a second snapshot was made"; }
n=$(maker create --reason window --description 'from the window') || fail "no window point"
[ "$n" != "$pre" ] || fail "the window's point took the run's pre snapshot"
snapper -c root create -t post --pre-number "$pre" -d apt -c number >/dev/null
echo "ok: 80snapper's pre snapshot $pre stands for the run's point; the window's is $n"

before=$(snapshots | wc -l)
apt_run purge vigilorn-snapper-probe
n=$(last_made)
snapshots | grep -qxF "$n,pre,,,apt" || { snapshots; fail "the hook's point $n is not the run's pre"; }
snapshots | grep -qxF "$((n + 1)),post,$n,,apt" || { snapshots; fail "no post snapshot after $n"; }
[ "$(snapshots | wc -l)" = $((before + 2)) ] || { snapshots; fail "more than 80snapper's two"; }
echo "ok: apt-get purge with 80snapper on: the hook's point is 80snapper's pre snapshot $n"

# No system bus: root works on the config itself.
stop_bus
n=$(maker create --reason window --description 'no bus') || fail "no point without the bus"
snapper --no-dbus --machine-readable csv -c root list --columns number,description |
    grep -qxF "$n,no bus" || fail "point $n is not snapshot $n without the bus"
echo "ok: without the bus the point is snapshot $n"
