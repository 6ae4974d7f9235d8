#!/bin/bash
# Runs a command against a real snapper: a throw-away btrfs on a loop device and a private
# system bus, so the machine's own bus and snapper configs are never touched.
#   snapper-env.sh CONFIG COMMAND [ARGS...]
# Exit 77 (ctest SKIP_RETURN_CODE) when the machine can't host it: not root, no loop device,
# tools missing.
set -u

skip() { echo "SKIP: $*"; exit 77; }

[ $# -ge 2 ] || { echo "usage: $0 CONFIG COMMAND [ARGS...]" >&2; exit 2; }
CONFIG=$1
shift

[ "$(id -u)" = 0 ] || skip "needs root (loop device, mount, snapperd)"
for tool in snapper mkfs.btrfs losetup dbus-daemon mount umount truncate; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not installed"
done
[ -x /usr/sbin/snapperd ] || skip "snapperd not installed"
[ -e /dev/loop-control ] || skip "no loop device support (/dev/loop-control missing)"

DIR=$(mktemp -d /tmp/vigilorn-snapper.XXXXXX) || exit 1
# Other users must reach the bus socket, for the test that checks they are turned away.
chmod 711 "$DIR"
LOOP=
MOUNTED=
CONFIG_MADE=
BUS_PID=

snapperd_pids() {
    # Our bus started it (and it was re-parented): it carries our bus address, others don't.
    local pid
    for pid in $(pgrep -x snapperd 2>/dev/null); do
        if grep -qz "^DBUS_STARTER_ADDRESS=unix:path=$DIR/bus.sock" "/proc/$pid/environ" 2>/dev/null; then
            echo "$pid"
        fi
    done
}

teardown() {
    local rc=$?
    trap - EXIT INT TERM
    local pid
    for pid in $(snapperd_pids); do
        kill "$pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    done
    if [ -n "$BUS_PID" ]; then
        kill "$BUS_PID" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$BUS_PID" 2>/dev/null || break; sleep 0.1; done
    fi
    # With snapperd gone, snapper works on the config directly.
    if [ -n "$CONFIG_MADE" ]; then
        snapper --no-dbus -c "$CONFIG" delete-config >/dev/null 2>&1 ||
            echo "warning: could not delete snapper config $CONFIG" >&2
    fi
    if [ -n "$MOUNTED" ]; then
        umount "$DIR/mnt" 2>/dev/null || umount -l "$DIR/mnt"
    fi
    [ -n "$LOOP" ] && losetup -d "$LOOP"
    rm -rf "$DIR"
    exit "$rc"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -e "/etc/snapper/configs/$CONFIG" ]; then
    echo "snapper config $CONFIG already exists; refusing to touch it" >&2
    exit 1
fi

truncate -s 512M "$DIR/fs.img" || exit 1
mkfs.btrfs -q "$DIR/fs.img" >"$DIR/mkfs.log" 2>&1 || { cat "$DIR/mkfs.log" >&2; exit 1; }
LOOP=$(losetup --find --show "$DIR/fs.img" 2>/dev/null) || { LOOP=; skip "no free loop device"; }
mkdir "$DIR/mnt"
mount "$LOOP" "$DIR/mnt" || skip "cannot mount btrfs from $LOOP"
MOUNTED=1

cat >"$DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$DIR/bus.sock</listen>
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
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
CONF

export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$DIR/bus.sock"
dbus-daemon --config-file="$DIR/bus.conf" --fork --print-pid=3 3>"$DIR/bus.pid" || exit 1
BUS_PID=$(tr -d ' \n' <"$DIR/bus.pid")
for _ in $(seq 100); do [ -S "$DIR/bus.sock" ] && break; sleep 0.05; done
[ -S "$DIR/bus.sock" ] || { echo "private bus did not come up" >&2; exit 1; }

snapper -c "$CONFIG" create-config "$DIR/mnt" || exit 1
CONFIG_MADE=1
snapper -c "$CONFIG" set-config TIMELINE_CREATE=no NUMBER_CLEANUP=no || exit 1

export VIGILORN_SNAPPER_CONFIG="$CONFIG"
export VIGILORN_SNAPPER_MOUNT="$DIR/mnt"
"$@"
