#!/usr/bin/env bash
# in-overlay.sh CMD...: runs CMD as root in a throw-away copy of the whole system, so that it
# may install packages and put files into /usr and /etc: an overlay of / whose writes land on a
# tmpfs, in private mount and PID namespaces, chrooted, with a fresh /run. The screenshot
# folder is the one place written through. Status 77 when the copy cannot be made.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: a throw-away copy of the system needs root" >&2
    exit 77
fi
# The mount point is made outside, so that it can be removed again once the namespace is gone.
mnt=$(mktemp -d)
trap 'rmdir "$mnt" 2>/dev/null || true' EXIT
set +e
unshare --mount --propagation private --pid --fork --kill-child bash -s "$mnt" "$@" <<'INNER'
set -uo pipefail
skip() { echo "SKIP: no throw-away copy of the system: $1" >&2; exit 77; }
T=$1
shift
mount -t tmpfs -o mode=0700 tmpfs "$T" || skip "tmpfs cannot be mounted"
mkdir "$T/u" "$T/w" "$T/m"
if [ -n "${VIGILORN_SCREENSHOTS:-}" ]; then mkdir -p "$VIGILORN_SCREENSHOTS"; fi
mount -t overlay overlay -o "lowerdir=/,upperdir=$T/u,workdir=$T/w" "$T/m" ||
    skip "overlayfs cannot stack on /"
mount -t proc proc "$T/m/proc" || skip "no /proc of its own"
mount --rbind /dev "$T/m/dev" || skip "/dev cannot be bound"
mount --rbind /sys "$T/m/sys" || skip "/sys cannot be bound"
mount -t tmpfs -o mode=0755 tmpfs "$T/m/run" || skip "no fresh /run"
if [ -n "${VIGILORN_SCREENSHOTS:-}" ]; then
    mount --bind "$VIGILORN_SCREENSHOTS" "$T/m$VIGILORN_SCREENSHOTS" || skip "screenshot folder"
fi
exec chroot "$T/m" "$@"
INNER
rc=$?
exit $rc
