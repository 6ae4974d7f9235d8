#!/usr/bin/env bash
# Runs bench_detect with a stand-in PackageKit that owns its name on a private system bus but
# never answers: the figure printed last is what such a daemon costs one detection pass.
#   bench/detect/packagekit-silent.sh BUILD_DIR [processes] [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
e2e="$here/../../tests/e2e"
build=${1:?build folder}
shift
dir=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
sed "s|@SOCKET@|$dir/bus.sock|" "$e2e/system-bus.conf.in" > "$dir/bus.conf"
dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile &
pids+=($!)
for _ in $(seq 100); do [ -S "$dir/bus.sock" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus.sock"
/usr/bin/python3 "$e2e/fake_packagekit.py" "$dir" --silent &
pids+=($!)
for _ in $(seq 300); do [ -e "$dir/ready" ] && break; sleep 0.1; done
[ -e "$dir/ready" ] || { echo "the stand-in daemon did not start" >&2; exit 1; }
"$build/bench/bench_detect" "$@"
