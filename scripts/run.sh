#!/usr/bin/env bash
# Builds the Debian package (release), installs it through APT (the program, the package hooks,
# the root side and the polkit actions) and starts the installed program as the user who ran
# this, also through sudo.
#
#   scripts/run.sh               as above
#   scripts/run.sh --from-build  builds the release and starts it from the build folder;
#                                installs only what the build needs
#
# VIGILORN_PACKAGE_BUILD=DIR packages the build already in DIR (configured for /usr) instead of
# building the release.
set -euo pipefail
cd "$(dirname "$0")/.."

from_build=0
for arg in "$@"; do
    case "$arg" in
    --from-build) from_build=1 ;;
    -h | --help)
        sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run.sh: unknown option $arg (scripts/run.sh --help)" >&2
        exit 2
        ;;
    esac
done
die() {
    echo "run.sh: $*" >&2
    exit 1
}

# Through sudo the program is the user's, and so is the build in their checkout.
user=
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    user=$SUDO_USER
fi
# as_owner DIR CMD...: CMD as the user when DIR is theirs, so that what it writes stays theirs.
as_owner() {
    local dir=$1
    shift
    if [ -n "$user" ] && [ "$(stat -c %U "$dir")" = "$user" ]; then
        runuser -u "$user" -- "$@"
    else
        "$@"
    fi
}

# start EXE: the program as the user who ran this, in their session's environment.
start() {
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        echo "No display here: start Quillmere Vigilorn from your desktop's menu (System)."
        exit 0
    fi
    if [ -z "$user" ]; then
        [ "$(id -u)" -ne 0 ] ||
            echo "Starting it as root; run scripts/run.sh as yourself or through sudo to have it run as you."
        exec "$1"
    fi
    local uid home shell runtime env
    uid=$(id -u "$user")
    home=$(getent passwd "$user" | cut -d: -f6)
    shell=$(getent passwd "$user" | cut -d: -f7)
    env=(HOME="$home" USER="$user" LOGNAME="$user" SHELL="${shell:-/bin/sh}"
        PATH=/usr/local/bin:/usr/bin:/bin LANG="${LANG:-C.UTF-8}")
    local v
    for v in DISPLAY WAYLAND_DISPLAY XAUTHORITY XDG_SESSION_TYPE XDG_CURRENT_DESKTOP \
        XDG_SESSION_DESKTOP DESKTOP_SESSION LANGUAGE LC_ALL; do
        if [ -n "${!v:-}" ]; then env+=("$v=${!v}"); fi
    done
    if [ -z "${XAUTHORITY:-}" ] && [ -f "$home/.Xauthority" ]; then
        env+=(XAUTHORITY="$home/.Xauthority")
    fi
    # Where logind keeps the session's runtime folder and bus; sudo passes on neither.
    runtime=/run/user/$uid
    if [ -d "$runtime" ]; then
        env+=(XDG_RUNTIME_DIR="$runtime")
        if [ -S "$runtime/bus" ]; then env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"); fi
    fi
    echo "Starting $1 as $user."
    cd /
    exec runuser -u "$user" -- env -i "${env[@]}" "$1"
}

scripts/install-deps.sh packages-build.txt

if [ "$from_build" -eq 1 ]; then
    as_owner . cmake --preset release >/dev/null
    as_owner . cmake --build --preset release -j"$(nproc)"
    start "$PWD/build/release/src/QMVigilornApp"
fi

if [ -n "${VIGILORN_PACKAGE_BUILD:-}" ]; then
    build=$VIGILORN_PACKAGE_BUILD
    echo "Packaging the build in $build."
else
    build=build/release
    as_owner . cmake --preset release >/dev/null
    as_owner . cmake --build --preset release -j"$(nproc)"
fi
[ -f "$build/CPackConfig.cmake" ] || die "$build is not a configured build (no CPackConfig.cmake)"
out=$(as_owner "$build" mktemp -d "${TMPDIR:-/tmp}/qmvigilorn-package.XXXXXX")
trap 'rm -rf "$out"' EXIT
# APT reads a local package as its own unprivileged user.
chmod 755 "$out"
as_owner "$build" cpack --config "$build/CPackConfig.cmake" -B "$out" || die "cpack could not make the package"
debs=("$out"/qmvigilorn_*.deb)
[ -f "${debs[0]}" ] || die "cpack made no qmvigilorn_*.deb"

echo "Installing $(basename "${debs[0]}") through APT: the program, the package hooks in" \
    "/etc/apt/apt.conf.d and /etc/dpkg/dpkg.cfg.d, the root side in /usr/libexec/qmvigilorn" \
    "and the polkit actions. To remove it: apt-get purge qmvigilorn."
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "installing needs root, and sudo is not installed: run scripts/run.sh as root"
    echo "sudo asks for your password to install it."
    sudo=(sudo)
fi
# The same version again is a rebuilt program: --reinstall puts it in place.
"${sudo[@]}" apt-get install -y --reinstall "${debs[0]}"
rm -rf "$out"

exe=/usr/bin/QMVigilornApp
[ -x "$exe" ] || die "the package is installed, but there is no $exe"
start "$exe"
