#!/usr/bin/env bash
# Who may steer the system points, as root in a throw-away copy of the system (in-overlay.sh),
# with no package built: the point maker reached as a user reaches it through pkexec, under the
# installed polkit policy; then two restores started together.
# Needs VIGILORN_SYSTEM, VIGILORN_POLICY and VIGILORN_LIBEXEC.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
roots=$(awk '$2 == "/" { t = $3 } END { print t }' /proc/self/mounts)
[ "$roots" = overlay ] || fail "not in a throw-away copy of the system"
command -v python3 > /dev/null || { echo "SKIP: python3 reads the polkit policy" >&2; exit 77; }

work=$(mktemp -d /tmp/attacks.XXXXXX)
store=/var/lib/qmvigilorn
rm -rf "$store"
mkdir -p "$VIGILORN_LIBEXEC"
system=$VIGILORN_LIBEXEC/qmvigilorn-system
install -m 0755 "$VIGILORN_SYSTEM" "$system"
user=$(id -u nobody)

# What polkit answers an active local user for `pkexec $system ARGV1 ...`: the matching action's
# allow_active; pkexec's own action (auth_admin) when none matches.
python3 - "$VIGILORN_POLICY" "$system" > "$work/policy" <<'PY'
import sys, xml.etree.ElementTree as ET
for action in ET.parse(sys.argv[1]).getroot().iter("action"):
    notes = {a.get("key"): a.text for a in action.iter("annotate")}
    if notes.get("org.freedesktop.policykit.exec.path") == sys.argv[2]:
        print(notes.get("org.freedesktop.policykit.exec.argv1", "*"),
              action.find("defaults/allow_active").text)
PY
[ -s "$work/policy" ] || fail "the policy names no action for $system"
without_password() {
    awk -v a="$1" '($1 == a || $1 == "*") && $2 == "yes" { found = 1 } END { exit !found }' \
        "$work/policy"
}

# pkexec runs the program as root with its own few variables and the caller's standard input.
as_pkexec() {
    env -i PKEXEC_UID="$user" PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root USER=root \
        LOGNAME=root SHELL=/bin/sh "$system" "$@"
}
lines() { if [ -f "$store/points.list" ]; then wc -l < "$store/points.list"; else echo 0; fi; }

# expected | standard input | the arguments after pkexec's path, one word each
#   admin: polkit asks for an administrator's password; refused: the maker says no and makes
#   nothing; made: one point from the window, naming no package.
while IFS='|' read -r want input args; do
    [ -n "$want" ] || continue
    read -r -a argv <<< "$args"
    before=$(lines)
    if ! without_password "${argv[0]}"; then
        [ "$want" = admin ] || fail "[$args] needs an administrator, but should be $want"
        echo "attack: [$args] needs an administrator"
        continue
    fi
    [ "$want" != admin ] || fail "[$args] is let through without a password"
    status=0
    printf '%b' "$input" | as_pkexec "${argv[@]}" > "$work/out" 2> "$work/err" || status=$?
    after=$(lines)
    echo "attack: [$args] status $status: $(cat "$work/out" "$work/err")"
    case $want in
    refused)
        [ "$status" -ne 0 ] || fail "[$args] was taken"
        [ "$after" -eq "$before" ] || fail "[$args] made a point" ;;
    made)
        [ "$status" -eq 0 ] || fail "[$args] failed"
        [ "$after" -eq $((before + 1)) ] || fail "[$args] did not make one point"
        tail -1 "$store/points.list" | awk -F'\t' -v n="$(cat "$work/out")" \
            '$1 == n && $3 == "asked-from-the-window" && $4 == "" { ok = 1 } END { exit !ok }' ||
            fail "[$args] point is not the window's: $(tail -1 "$store/points.list")" ;;
    esac
done <<'TABLE'
admin|hello - 1.0 install\nbash 5.2 - remove\n|create --reason auto --frontend apt --description erase
admin||create --reason unattended --description erase
admin||create --reason asked --description QMAutoResPnt --change erase
admin||create --reason window --description erase
admin|go\n|restore --point 1
refused||window-point --description
refused||window-point --description x --reason auto
refused|hello - 1.0 install\n|window-point --description x --frontend apt
refused||window-point --reason auto --description x
made|hello - 1.0 install\nbash 5.2 - remove\n|window-point --description asked-from-the-window
refused||window-point --description again
TABLE
# The one point made named no package, however many the caller wrote; nothing was kept for it.
[ -z "$(ls -A "$store/pool" 2>/dev/null)" ] || fail "packages were kept: $(ls "$store/pool")"
[ "$(stat -c '%u %a' "$store/window.stamp")" = "0 600" ] || fail "the window's stamp is not root's"

# Something mounted under /etc is a file system of its own: a point leaves it out, and a
# restore neither writes into it nor removes what was added there since.
mkdir /etc/rt-mounted
mount -t tmpfs -o mode=0755 tmpfs /etc/rt-mounted || { echo "SKIP: no tmpfs under /etc" >&2; exit 77; }
echo "at the point" > /etc/rt-mounted/kept
echo "at the point" > /etc/rt-beside.conf
point=$("$system" create --reason window --description "a mount under /etc" < /dev/null)
echo "changed since" > /etc/rt-mounted/kept
echo "added since" > /etc/rt-mounted/added
echo "changed since" > /etc/rt-beside.conf
printf 'go\n' | "$system" restore --point "$point" > "$work/mounted.txt" 2>&1 || true
cat "$work/mounted.txt"
tail -1 "$work/mounted.txt" | grep -q '^end ok' || fail "the restore beside a mount did not end ok"
[ "$(cat /etc/rt-beside.conf)" = "at the point" ] || fail "/etc itself was not restored"
[ "$(cat /etc/rt-mounted/kept)" = "changed since" ] || fail "a restore wrote into a mount under /etc"
[ -e /etc/rt-mounted/added ] || fail "a restore removed a file from a mount under /etc"
umount /etc/rt-mounted

# The maker's own bounds: ended (SIGTERM, as the hook's runner ends it at its bound) while a
# stand-in dpkg-repack that never ends rebuilds a package, it takes the rebuild with it; given
# --within, it stops rebuilding in time and still makes the point.
waitfor() { for _ in $(seq 600); do [ -e "$1" ] && return 0; sleep 0.1; done; fail "no $1"; }
alive() { [ -r "/proc/$1/stat" ] && awk '{ exit ($3 == "Z") }' "/proc/$1/stat"; }
# With its file list out of reach bash cannot be staged by links, so a rebuild is what keeps it.
mv /var/lib/dpkg/info/bash.list "$work/bash.list"
printf '#!/bin/sh\necho $$ >> %s/repack.pids\nexec sleep 600\n' "$work" > /usr/bin/dpkg-repack
chmod 0755 /usr/bin/dpkg-repack
rm -f /var/cache/apt/archives/bash_*.deb
change="bash $(dpkg-query -W -f '${Version}' bash) - remove"
echo "$change" | "$system" create --reason auto --description repack > "$work/repack.out" 2>&1 &
maker=$!
waitfor "$work/repack.pids"
kill -TERM "$maker"
wait "$maker" || true
for pid in $(cat "$work/repack.pids"); do
    ! alive "$pid" || fail "dpkg-repack $pid outlived the maker"
done
rm "$work/repack.pids"
start=$(date +%s)
echo "$change" | "$system" create --reason auto --description bounded --within 8 > "$work/bounded.out" 2>&1 ||
    fail "no point within 8 s: $(cat "$work/bounded.out")"
took=$(( $(date +%s) - start ))
echo "a point with a rebuild cut short took $took s"
grep -q 'could not be kept' "$work/bounded.out" || fail "the rebuild was not cut short: $(cat "$work/bounded.out")"
for pid in $(cat "$work/repack.pids"); do ! alive "$pid" || fail "dpkg-repack $pid was left running"; done
mv "$work/bash.list" /var/lib/dpkg/info/bash.list
# Well inside the hook's bound, on a busy machine too.
[ "$took" -lt 60 ] || fail "took $took s"

# Two restores started together, and a point asked for meanwhile: the first holds the lock to
# its end, through a stand-in of apt-get that waits to be let go; the others wait for it, and
# /etc ends as at the point.
etc_state() {
    find /etc -xdev -printf '%y %m %U %G %p -> %l\n' | sort > "$1"
    find /etc -xdev -type f -print0 | sort -z | xargs -0 sha256sum >> "$1"
}
mkdir /etc/rt-many
for i in $(seq 200); do echo "$i" > "/etc/rt-many/f$i"; done
point=$("$system" create --reason window --description "two restores" < /dev/null)
etc_state "$work/etc-at-point"
for i in $(seq 200); do echo "changed $i" > "/etc/rt-many/f$i"; echo new > "/etc/rt-many/n$i"; done
# A package the point does not have, in dpkg's status only, so that the restore runs apt-get.
printf '\nPackage: rt-ghost\nStatus: install ok installed\nVersion: 1.0\nArchitecture: all\nMaintainer: T <t@localhost>\nDescription: ghost\n\n' >> /var/lib/dpkg/status
printf '#!/bin/sh\ntouch %s/apt-started\nwhile [ ! -e %s/apt-release ]; do sleep 0.1; done\n%s\n' \
    "$work" "$work" "sed -i '/^Package: rt-ghost\$/,/^\$/d' /var/lib/dpkg/status" > /usr/bin/apt-get
printf 'go\n' | "$system" restore --point "$point" > "$work/restore1.txt" 2>&1 &
waitfor "$work/apt-started"
! flock -n "$store/lock" true || fail "the store is not locked while a restore runs apt-get"
printf 'go\n' | "$system" restore --point "$point" > "$work/restore2.txt" 2>&1 &
"$system" create --reason auto --description meanwhile < /dev/null > "$work/meanwhile" 2>&1 &
touch "$work/apt-release"
wait
for k in 1 2; do
    cat "$work/restore$k.txt"
    tail -1 "$work/restore$k.txt" | grep -q '^end ok' || fail "restore $k did not end ok"
    ! grep -q '^warn' "$work/restore$k.txt" || fail "restore $k warned"
done
grep -qx '[0-9]*' "$work/meanwhile" || fail "no point meanwhile: $(cat "$work/meanwhile")"
etc_state "$work/etc-after"
diff -u "$work/etc-at-point" "$work/etc-after" > /dev/null || fail "/etc is not as at the point"
echo PASS
