#!/usr/bin/env bash
# The root side's round trip, as root in a throw-away copy of the system (in-overlay.sh): a
# point; then an upgrade after the old version left the repository, a new package, a removal, a
# conffile edited, an /etc file added and one changed in mode; then `restore`. Afterwards
# dpkg-query shows the point's versions and /etc is as it was, in content, owner and mode.
# Packages replaced are kept by hard links and built later, every one of a many-package upgrade
# (files through /lib on a merged /usr too) coming back identical with APT's cache empty; then a
# file changed in place after staging, a pool on a file system of its own, a space budget with a
# pin, and a full file system under the store.
# Needs VIGILORN_SYSTEM, VIGILORN_HOOK, VIGILORN_HOOK_SNIPPETS and VIGILORN_LIBEXEC.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
roots=$(awk '$2 == "/" { t = $3 } END { print t }' /proc/self/mounts)
[ "$roots" = overlay ] || fail "not in a throw-away copy of the system"

# The copy shows the system as it is now: while something else changes its packages, wait for
# dpkg's database to be whole again before anything is copied up.
for _ in $(seq 600); do
    [ -n "$(dpkg --audit 2>/dev/null)" ] || break
    sleep 0.5
done
[ -z "$(dpkg --audit 2>/dev/null)" ] || { echo "SKIP: the system's packages are being changed" >&2; exit 77; }

work=$(mktemp -d /tmp/roundtrip.XXXXXX)
# APT reads the repository as its own sandbox user.
chmod 0755 "$work"
repo=$work/repo
mkdir -p "$repo"
store=/var/lib/qmvigilorn

# The package hook and the root side, where the package puts them.
mkdir -p "$VIGILORN_LIBEXEC"
install -m 0755 "$VIGILORN_SYSTEM" "$VIGILORN_LIBEXEC/qmvigilorn-system"
install -m 0755 "$VIGILORN_HOOK" "$VIGILORN_LIBEXEC/qmvigilorn-hook"
install -m 0644 "$VIGILORN_HOOK_SNIPPETS/80qmvigilorn" /etc/apt/apt.conf.d/80qmvigilorn
install -m 0644 "$VIGILORN_HOOK_SNIPPETS/qmvigilorn" /etc/dpkg/dpkg.cfg.d/qmvigilorn
system=$VIGILORN_LIBEXEC/qmvigilorn-system

# name version [conffile text]
build() {
    local d=$work/build/$1_$2
    mkdir -p "$d/DEBIAN" "$d/usr/share/doc/$1"
    printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: Test <test@localhost>\nDescription: round trip %s\n' \
        "$1" "$2" "$1" > "$d/DEBIAN/control"
    echo "$1 $2" > "$d/usr/share/doc/$1/version"
    if [ -n "${3:-}" ]; then
        mkdir -p "$d/etc"
        printf '%s\n' "$3" > "$d/etc/$1.conf"
        echo "/etc/$1.conf" > "$d/DEBIAN/conffiles"
    fi
    dpkg-deb --root-owner-group -Zgzip --build "$d" "$repo/$1_$2_all.deb" >/dev/null
}
# name version: a few files, one through /lib (a link on a merged /usr), a link, md5sums.
build_files() {
    local d=$work/build/$1_$2 size=${3:-0}
    rm -rf "$d"
    mkdir -p "$d/DEBIAN" "$d/usr/share/$1" "$d/lib/$1"
    printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: Test <test@localhost>\nDescription: kept %s\n' \
        "$1" "$2" "$1" > "$d/DEBIAN/control"
    for f in a b c; do echo "$1 $2 $f" > "$d/usr/share/$1/$f"; done
    echo "$1 $2 library" > "$d/lib/$1/lib.so"
    ln -s a "$d/usr/share/$1/link"
    [ "$size" -eq 0 ] || head -c "$size" /dev/urandom > "$d/usr/share/$1/data"
    if [ -n "${4:-}" ]; then printf '#!/bin/sh\n%s\n' "$4" > "$d/DEBIAN/preinst"; chmod 0755 "$d/DEBIAN/preinst"; fi
    (cd "$d" && find usr lib -type f -exec md5sum {} + > DEBIAN/md5sums)
    dpkg-deb --root-owner-group -Zgzip --build "$d" "$repo/$1_$2_all.deb" >/dev/null
}
# Each file of the packages: path and hash, through dpkg's own list.
files_of() {
    for p in "$@"; do dpkg -L "$p"; done | sort -u | while read -r f; do
        if [ -f "$f" ] && [ ! -L "$f" ]; then sha256sum "$f"; fi
    done
}
# Waits for the .debs of what was staged to be built.
built() { "$system" build --now > /dev/null || true; }
# Before the store goes: a builder a point started may still wait for its dpkg run, and would
# then write into the store being removed.
no_builders() {
    pkill -x -f 'qmvigilorn-system build' || true
    while pgrep -x -f 'qmvigilorn-system build' > /dev/null; do sleep 0.1; done
}
index() { (cd "$repo" && dpkg-scanpackages --multiversion . > Packages 2>/dev/null); }
apt_quiet() { apt-get -q -y -o Dpkg::Use-Pty=0 "$@" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get $*"; }; }
update() {
    apt-get -q update -o Dir::Etc::SourceList="$list" -o Dir::Etc::SourceParts=- \
        -o APT::Get::List-Cleanup=0 > "$work/update.log" 2>&1 || { cat "$work/update.log"; fail "apt-get update"; }
}
installed() { { dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}\n' rt-up rt-new rt-gone 2>/dev/null || true; } | awk '$3 ~ /^ii/ { print $1, $2 }' | sort; }
# Every /etc entry: type, mode, owner, group, link target, content hash.
etc_state() {
    find /etc -xdev -printf '%y %m %U %G %p -> %l\n' | sort > "$1"
    find /etc -xdev -type f -print0 | sort -z | xargs -0 sha256sum >> "$1"
}

build rt-up 1.0 "setting = one"
build rt-up 2.0 "setting = two"
build rt-gone 1.0
cp "$repo/rt-gone_1.0_all.deb" "$work/build-rt-gone.deb"
build rt-new 1.0
many="rt-m1 rt-m2 rt-m3 rt-m4 rt-m5 rt-m6 rt-m7 rt-m8"
for m in $many; do build_files "$m" 1.0; build_files "$m" 2.0; done
index
list=/etc/apt/sources.list.d/roundtrip.list
echo "deb [trusted=yes] file:$repo ./" > "$list"
update
apt_quiet install rt-up=1.0 rt-gone
for m in $many; do echo "$m=1.0"; done | xargs apt-get -q -y -o Dpkg::Use-Pty=0 install > "$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "install of the many"; }
echo "mode = 0644" > /etc/rt-mode.conf
chmod 0644 /etc/rt-mode.conf
rm -f "$store/unattended.stamp"

# The point, as the program's window makes it.
point=$("$system" create --reason window --description "round trip" < /dev/null)
echo "point $point"
etc_state "$work/etc-at-point"
want=$(installed)
# shellcheck disable=SC2086
files_of $many > "$work/many-at-point"

# The old version leaves the repository, as in Debian's archive after an upgrade.
rm "$repo/rt-up_1.0_all.deb"
for m in $many; do rm "$repo/${m}_1.0_all.deb"; done
index
update
# APT's cache: a true copy is linked into the pool, one under a false name is not taken.
cache=/var/cache/apt/archives
cp "$work/build-rt-gone.deb" "$cache/rt-gone_1.0_all.deb"
cp "$work/build-rt-gone.deb" "$cache/rt-up_1.0_all.deb"
# shellcheck disable=SC2086
apt_quiet install rt-up rt-new $many
apt_quiet remove rt-gone
# The .debs are built once APT is done; this waits for that.
built
for m in $many; do
    [ -f "$store/pool/${m}_1.0_all.deb" ] || fail "$m 1.0 was not kept: $(ls "$store/pool")"
done
echo "setting = edited" > /etc/rt-up.conf
echo "added since" > /etc/rt-added.conf
chmod 0600 /etc/rt-mode.conf
chown 1:1 /etc/rt-mode.conf
[ "$(installed)" != "$want" ] || fail "the change changed nothing"
ls "$store/pool" | grep -q '^rt-up_1.0_all.deb$' || fail "rt-up 1.0 was not kept: $(ls "$store/pool")"
ls "$store/pool" | grep -q '^rt-gone_1.0_all.deb$' || fail "rt-gone 1.0 was not kept"
[ "$(stat -c %i "$store/pool/rt-gone_1.0_all.deb")" = "$(stat -c %i "$cache/rt-gone_1.0_all.deb")" ] ||
    fail "rt-gone 1.0 was not linked from APT's cache"
[ "$(dpkg-deb -f "$store/pool/rt-up_1.0_all.deb" Package)" = rt-up ] ||
    fail "a cached file under a false name was kept as rt-up 1.0"

# A fake of every program the restore starts, first in $PATH: none of them may run.
fake=$work/fakebin
mkdir -p "$fake"
for p in apt-get apt-cache dpkg dpkg-deb dpkg-repack dpkg-query; do
    printf '#!/bin/sh\ntouch %s/fake-ran\nexit 1\n' "$work" > "$fake/$p"
    chmod 0755 "$fake/$p"
done
# A kept file no point names goes at the next point.
cp "$store/pool/rt-gone_1.0_all.deb" "$store/pool/rt-stray_9.9_all.deb"
rm -f "$store/unattended.stamp"
points_before=$(wc -l < "$store/points.list")
# Offline: the repository has only the new versions, APT's cache nothing.
apt-get clean
start=$(date +%s.%N)
printf 'go\n' | PATH="$fake:$PATH" "$system" restore --point "$point" > "$work/talk.txt" 2> "$work/err.txt" || true
end=$(date +%s.%N)
cat "$work/talk.txt"
# Everything it has to say goes to the program; a sanitizer's report would land here.
[ ! -s "$work/err.txt" ] || { cat "$work/err.txt"; fail "the restore wrote to standard error"; }
[ ! -e "$work/fake-ran" ] || fail "a program was found through \$PATH"
tail -1 "$work/talk.txt" | grep -q '^end ok' || fail "the restore did not end ok"
grep -q '^before [0-9]' "$work/talk.txt" || fail "no point was made before restoring"
# One point more: the one before restoring. The hook made none for the restore's own apt-get.
points_after=$(wc -l < "$store/points.list")
[ "$points_after" -eq $((points_before + 1)) ] ||
    fail "expected one new point, got $((points_after - points_before)): $(cat "$store/points.list")"

got=$(installed)
[ "$got" = "$want" ] || fail "packages: want [$want] got [$got]"
for m in $many; do [ "$(dpkg-query -W -f '${Version}' "$m")" = 1.0 ] || fail "$m is not back at 1.0"; done
# shellcheck disable=SC2086
files_of $many > "$work/many-after"
diff -u "$work/many-at-point" "$work/many-after" || fail "the many packages' files are not as at the point"
etc_state "$work/etc-after"
if ! diff -u "$work/etc-at-point" "$work/etc-after"; then
    fail "/etc is not as at the point"
fi
# The versions the restore replaced are kept for the point before it; the stray one went.
built
pool=$(ls "$store/pool" | grep '\.deb$' | grep -v '^rt-m' | sort | tr '\n' ' ')
[ "$pool" = "rt-gone_1.0_all.deb rt-new_1.0_all.deb rt-up_1.0_all.deb rt-up_2.0_all.deb " ] ||
    fail "pool after the restore: $pool"
[ "$(ls "$store/pool" | grep -c '^rt-m._2.0_all.deb$')" -eq 8 ] || fail "the many 2.0s were not kept: $(ls "$store/pool")"
awk -v s="$start" -v e="$end" 'BEGIN { printf "round trip: restore took %.2f s\n", e - s }'

# A version in neither the pool nor the repository is named first, and "stop" changes nothing.
build rt-lost 1.0
index
update
apt_quiet install rt-lost
lost_point=$("$system" create --reason window --description "lost" < /dev/null)
apt_quiet remove rt-lost
built
rm "$store/pool/rt-lost_1.0_all.deb" "$repo/rt-lost_1.0_all.deb"
index
update
points_before=$(wc -l < "$store/points.list")
printf 'stop\n' | "$system" restore --point "$lost_point" > "$work/talk2.txt" 2>&1 || true
cat "$work/talk2.txt"
grep -qx 'missing rt-lost 1.0 all' "$work/talk2.txt" || fail "rt-lost 1.0 was not named missing"
grep -qx 'ask' "$work/talk2.txt" || fail "the restore did not ask"
tail -1 "$work/talk2.txt" | grep -q '^end stopped' || fail "stop did not stop the restore"
[ "$(wc -l < "$store/points.list")" -eq "$points_before" ] || fail "a stopped restore made a point"
[ "$(installed)" = "$want" ] || fail "a stopped restore changed packages"
# dpkg on its own names no versions: the installed one is still kept before it is replaced.
build rt-dpkg 1.0
build rt-dpkg 2.0
dpkg -i "$repo/rt-dpkg_1.0_all.deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i 1.0"; }
dpkg -i "$repo/rt-dpkg_2.0_all.deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i 2.0"; }
built
[ "$(dpkg-deb -f "$store/pool/rt-dpkg_1.0_all.deb" Version 2>/dev/null)" = 1.0 ] ||
    fail "dpkg -i did not keep rt-dpkg 1.0: $(ls "$store/pool")"
# A package file named as its user pleased, given relative to dpkg's folder: the package in it
# is what the change replaces.
build rt-renamed 1.0
build rt-renamed 2.0
cp "$repo/rt-renamed_2.0_all.deb" "$work/setup.deb"
dpkg -i "$repo/rt-renamed_1.0_all.deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i rt-renamed 1.0"; }
(cd "$work" && dpkg -i setup.deb) > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i setup.deb"; }
built
[ "$(dpkg-deb -f "$store/pool/rt-renamed_1.0_all.deb" Version 2>/dev/null)" = 1.0 ] ||
    fail "dpkg -i setup.deb did not keep rt-renamed 1.0: $(ls "$store/pool")"
# At a root console: list, show, and restore on a terminal, answered n and then y.
# Runs a command on a pseudo-terminal, answers its y/N question with $1 once asked, and prints
# what it wrote; its exit status is the command's.
on_terminal() {
    python3 - "$@" <<'PY'
import os, pty, select, sys, time
answer = sys.argv[1].encode() + b"\n"
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
out, answered, until = b"", False, time.monotonic() + 240
while time.monotonic() < until:
    if not select.select([fd], [], [], 1)[0]:
        continue
    try:
        data = os.read(fd, 4096)
    except OSError:
        data = b""
    if not data:
        break
    out += data
    if not answered and b"[y/N] " in out:
        os.write(fd, answer)
        answered = True
sys.stdout.write(out.decode(errors="replace").replace("\r", ""))
if time.monotonic() >= until:
    os.kill(pid, 9)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
PY
}
everything() { dpkg-query -W -f '${db:Status-Abbrev} ${Package} ${Version}\n' 'rt-*' | awk '$1 ~ /^ii/' | sort; }
console_point=$("$system" create --reason window --description "console" < /dev/null)
"$system" pin "$console_point"
at_console_point=$(everything)
etc_state "$work/etc-at-console-point"
rm -f "$store/unattended.stamp"
apt_quiet install rt-new
echo "setting = at the console" > /etc/rt-up.conf
echo 'auth required pam_deny.so' > /etc/pam.d/rt-console
chmod 0644 /etc/pam.d/rt-console

on_terminal n "$system" list > "$work/list.txt" || fail "list: $(cat "$work/list.txt")"
cat "$work/list.txt"
grep -Eq "^ +$console_point  [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  console  \[pinned\]\$" \
    "$work/list.txt" || fail "list does not show the console's point, pinned"
grep -q "^       before: install rt-new 1.0" "$work/list.txt" ||
    fail "list does not show the change a point came before"

on_terminal n "$system" show "$console_point" > "$work/show.txt" || fail "show: $(cat "$work/show.txt")"
cat "$work/show.txt"
for line in "    removed     rt-new 1.0 (installed since)" "    put back    /etc/rt-up.conf" \
            "  ! removed     /etc/pam.d/rt-console"; do
    grep -qxF "$line" "$work/show.txt" || fail "show does not say: $line"
done

etc_state "$work/etc-changed"
changed=$(everything)
points_before=$(wc -l < "$store/points.list")
status=0
on_terminal n "$system" restore --point "$console_point" > "$work/no.txt" || status=$?
cat "$work/no.txt"
[ "$status" -eq 3 ] || fail "answered n, the restore ended $status"
grep -qxF "  ! removed     /etc/pam.d/rt-console" "$work/no.txt" || fail "the restore did not say what it would change"
grep -q "^Stopped: nothing was changed" "$work/no.txt" || fail "answered n, the restore did not say it stopped"
[ "$(everything)" = "$changed" ] || fail "answered n, the restore changed packages"
[ "$(wc -l < "$store/points.list")" -eq "$points_before" ] || fail "answered n, the restore made a point"
etc_state "$work/etc-after-no"
diff -u "$work/etc-changed" "$work/etc-after-no" || fail "answered n, the restore changed /etc"

status=0
on_terminal y "$system" restore --point "$console_point" > "$work/yes.txt" || status=$?
cat "$work/yes.txt"
[ "$status" -eq 0 ] || fail "answered y, the restore ended $status"
grep -q "^\[5/5\] /etc: " "$work/yes.txt" || fail "no progress in words"
grep -q "^Done: P$console_point restored" "$work/yes.txt" || fail "answered y, the restore did not end done"
[ "$(everything)" = "$at_console_point" ] || fail "packages after the console's restore: $(everything)"
etc_state "$work/etc-after-yes"
diff -u "$work/etc-at-console-point" "$work/etc-after-yes" || fail "/etc is not as at the console's point"

# The same version again replaces nothing: nothing of it stays kept.
dpkg -i "$repo/rt-dpkg_2.0_all.deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i 2.0 again"; }
built
! ls "$store/pool" | grep -q '^rt-dpkg_2.0' || fail "a reinstall of the same version kept it: $(ls "$store/pool")"

# A file the new version's preinst changes in place after it was staged: md5sums catch it, and
# nothing false is kept.
build_files rt-edit 1.0
build_files rt-edit 2.0 0 'echo changed >> /usr/share/rt-edit/b'
index
update
apt_quiet install rt-edit=1.0
apt-get clean
apt_quiet install rt-edit
built
grep -qx 'rt-edit_1.0_all.deb changed-in-place' "$store/not-kept.list" || fail "a file changed in place was not caught"
! ls "$store/pool" | grep -q '^rt-edit_1.0' || fail "rt-edit 1.0 was kept changed"

# A pool on a file system of its own: the files are copied, and still come back whole.
mount -t tmpfs -o mode=0700 tmpfs "$store/pool"
build_files rt-copy 1.0 65536
build_files rt-copy 2.0
index
update
apt_quiet install rt-copy=1.0
files_of rt-copy > "$work/copy-before"
apt-get clean
apt_quiet install rt-copy
built
[ -f "$store/pool/rt-copy_1.0_all.deb" ] || fail "rt-copy 1.0 was not kept on another file system"
dpkg -i "$store/pool/rt-copy_1.0_all.deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i of the copy"; }
files_of rt-copy > "$work/copy-after"
diff -u "$work/copy-before" "$work/copy-after" || fail "rt-copy 1.0 did not come back whole"
umount -l "$store/pool"

# A budget with room for two kept versions of 1 MiB beside the first point: the third point makes
# the first go; with the first pinned and the second the newest, nothing may go, and the point
# is made without its package; unpinned, the first goes for the fourth.
built
no_builders
rm -rf "$store"
for v in 1 2 3 4 5; do build_files rt-big "$v.0" 1048576; done
index
update
apt_quiet install rt-big=1.0
rm "$repo/rt-big_1.0_all.deb"
index
update
# A point of its own each time: nobody's program to ask, so no unattended point is reused.
upgrade() {
    SUDO_UID=65534 apt-get -q -y -o Dpkg::Use-Pty=0 install "rt-big=$1" > "$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; fail "rt-big $1"; }
    built
}
upgrade 2.0
first=$(tail -1 "$store/points.list" | cut -f1)
total=$(awk -F'\t' '$1 == "total" { print $2 }' "$store/sizes.list")
mkdir -p /etc/qmvigilorn
printf 'budget = %s\nfloor = 0\n' $((total + 5 * 1048576 / 2)) > /etc/qmvigilorn/system.conf
upgrade 3.0
"$system" pin "$first"
upgrade 4.0
grep -q 'no room for the replaced packages' "$work/apt.log" || { cat "$work/apt.log"; fail "a point without room did not say so"; }
! ls "$store/pool" | grep -q '^rt-big_3.0' || fail "rt-big 3.0 was kept past the budget"
"$system" unpin "$first"
upgrade 5.0
cut -f1 "$store/points.list" | grep -qx "$first" && fail "the first point did not go: $(cat "$store/points.list")"
pool=$(ls "$store/pool" | grep '\.deb$' | tr '\n' ' ')
[ "$pool" = "rt-big_2.0_all.deb rt-big_4.0_all.deb " ] || fail "pool within the budget: $pool"
grep -q "^$((first + 1))	" "$store/sizes.list" || fail "sizes.list: $(cat "$store/sizes.list")"

# A full file system under the store while a point is made: the change goes on, the store stays
# whole, and the list names the points the store has.
printf 'budget = 100%%\nfloor = 0\n' > /etc/qmvigilorn/system.conf
built
no_builders
rm -rf "$store"
mkdir -p "$store"
mount -t tmpfs -o size=64m,mode=0755 tmpfs "$store"
"$system" create --reason window --description "before full" < /dev/null > /dev/null
head -c 64m /dev/zero > "$store/filler" 2>/dev/null || true
build_files rt-big 6.0 1048576
index
update
apt-get -q -y -o Dpkg::Use-Pty=0 install rt-big=6.0 > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "a full store failed the change"; }
[ "$(dpkg-query -W -f '${Version}' rt-big)" = 6.0 ] || fail "the change did not go on"
grep -q 'no restore point' "$work/apt.log" || { cat "$work/apt.log"; fail "the store was not full"; }
rm "$store/filler"
"$system" create --reason window --description "after full" < /dev/null > /dev/null
git --git-dir="$store/points.git" fsck --no-dangling > "$work/fsck.txt" 2>&1 || { cat "$work/fsck.txt"; fail "git fsck"; }
listed=$(cut -f1 "$store/points.list" | tr '\n' ' ')
stored=$(git --git-dir="$store/points.git" log --format=%B restore-points | awk '/^Sequence-Number: / { print $2 }' | sort -n | tr '\n' ' ')
[ "$listed" = "$stored" ] || fail "points.list [$listed] is not the store [$stored]"
umount -l "$store"
echo PASS
