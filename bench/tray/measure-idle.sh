#!/usr/bin/env bash
# Idle CPU and peak memory of the program on a real X desktop with a tray (Xvfb, openbox,
# trayer), with extra idle processes, against the bare window with a tray icon in the same run.
# Usage: bench/tray/measure-idle.sh BUILD-FOLDER [seconds = 120] [idle processes = 1000]
# CPU is the time on a CPU of all the program's threads (/proc/PID/task/*/schedstat, in ns) over
# the measured span, after a settling minute: utime and stime count whole clock ticks, too coarse
# for a program that runs a few milliseconds at a time.
set -euo pipefail
build=$(cd "$1" && pwd)
span=${2:-120}
extra=${3:-1000}
work=$(mktemp -d "${TMPDIR:-/tmp}/vigilorn-idle.XXXXXX")
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -qx '[0-9]\+' "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME"
printf '[Options]\nShowSplashStartUP=0\nStartMinimised=1\n' >"$XDG_CONFIG_HOME/QMVigilornApp.ini"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
trayer --edge bottom --align right --widthtype request --height 32 >/dev/null 2>&1 &
pids+=($!)
sleep 2

for _ in $(seq "$extra"); do sleep 100000 & pids+=($!); done

cpu_ns() { cat "/proc/$1"/task/*/schedstat | awk '{s += $1} END {printf "%d", s}'; }
"$build/src/QMVigilornApp" >/dev/null 2>&1 &
app=$!
pids+=("$app")
"$build/bench/bench_bare_tray" $((span + 90)) >/dev/null 2>&1 &
bare=$!
pids+=("$bare")
sleep 60
t0=$(cpu_ns "$app")
sleep "$span"
t1=$(cpu_ns "$app")
awk -v a="$t0" -v b="$t1" -v s="$span" \
    'BEGIN{printf "program CPU over %d s: %.1f ms = %.4f%% of a core\n", s, (b-a)/1e6, 100*(b-a)/1e9/s}'
hwm() { awk '/^VmHWM/{print $2}' "/proc/$1/status"; }
printf 'peak RSS: program %s kB, bare window with tray icon %s kB\n' "$(hwm "$app")" "$(hwm "$bare")"
awk -v a="$(hwm "$app")" -v b="$(hwm "$bare")" 'BEGIN{printf "ratio %.3f (target <= 1.2)\n", a/b}'
cp "/proc/$app/smaps" "${SMAPS_OUT:-/dev/null}" 2>/dev/null || true
cp "/proc/$bare/smaps" "${SMAPS_BARE_OUT:-/dev/null}" 2>/dev/null || true
