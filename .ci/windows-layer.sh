#!/usr/bin/env bash
# Cross-builds the Windows platform layer with mingw-w64 and runs its tests under Wine, in a Wine
# prefix of its own that is removed afterwards, together with every Wine process that used it.
# Usage: .ci/windows-layer.sh [build-folder]     (default: build/windows)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# --- packages: only the missing ones -----------------------------------------------------------
packages=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev wine64 googletest cmake ninja-build)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Debian's wine64 package keeps its loader in /usr/lib/wine unless the "wine" wrapper is installed.
wine=
for candidate in "$(command -v wine64 || true)" /usr/lib/wine/wine64 "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        wine=$candidate
        break
    fi
done
[ -n "$wine" ] || { echo "no Wine loader found" >&2; exit 1; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# --- a Wine prefix of our own ------------------------------------------------------------------
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vigilorn-wine.XXXXXX")
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would wait for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# The Wine processes of this prefix only: a Wine executable whose environment names our prefix.
prefix_pids() {
    local dir pid exe
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        exe=$(readlink "$dir/exe" 2>/dev/null) || continue
        case "${exe##*/}" in wine*) ;; *) continue ;; esac
        tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
}

services_up() {
    local pid
    for pid in $(prefix_pids); do
        tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n1 | grep -qi 'services\.exe$' && return 0
    done
    return 1
}

alive() { # a zombie has ended; only its parent's wait is missing
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ "$state" != Z ]
}

keeper=
cleanup() {
    local rc=$? pid i
    trap - EXIT INT TERM
    if [ -n "$keeper" ]; then
        kill "$keeper" 2>/dev/null || true
        wait "$keeper" 2>/dev/null || true
    fi
    "$wineserver" -k >/dev/null 2>&1 || true
    for pid in $(prefix_pids); do
        for i in $(seq 50); do
            alive "$pid" || break
            sleep 0.1
        done
        if alive "$pid"; then
            echo "Wine process $pid of the test prefix did not end; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$WINEPREFIX"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "Creating the Wine prefix"
"$wine" wineboot -i >/dev/null 2>&1
# Let the start-up's server and services end, so the tests begin from a settled prefix.
timeout 60 "$wineserver" -w || true

# --- build and test ----------------------------------------------------------------------------
cmake -S "$root/src/platform/windows/standalone" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVIGILORN_WERROR=ON -DVIGILORN_WINE="$wine"
cmake --build "$build" -j2

# One Wine program kept running for the whole test run keeps the server and Wine's services up;
# otherwise every test program would start them afresh, ten times slower.
# The first program of a session starts Wine's services, and they inherit its output: were that a
# test program, ctest would wait on the pipe they hold until its time-out. So the keeper goes first
# and the tests wait until it has brought the services up.
"$wine" "$build/vigilorn_idle.exe" 3600 </dev/null >/dev/null 2>&1 &
keeper=$!
for i in $(seq 300); do
    services_up && break
    sleep 0.2
done
services_up || { echo "Wine's services did not start" >&2; exit 1; }
ctest --test-dir "$build" --output-on-failure --timeout 120
