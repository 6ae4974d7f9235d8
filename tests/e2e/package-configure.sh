#!/usr/bin/env bash
# A plain configure of the sources (no preset, no prefix given) packages the files APT, dpkg and
# polkit read where they read them; a build configured for somewhere else is refused by cpack,
# which says what to do instead.
# The compiled files are taken from BUILD_DIR, a build of the same sources for the same prefix:
# compiling them again would cost a full release build and test the compiler, not the package.
# usage: package-configure.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vigilorn-configure.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
plain=$work/plain
cache() { sed -n "s/^$1:[A-Z]*=//p" "$plain/CMakeCache.txt"; }

# What a newcomer types, with Ninja: cpack then packages the files as they are, where make's
# preinstall would first build everything.
(cd "$work" && cmake -S "$src" -B plain -G Ninja -DCMAKE_BUILD_TYPE=Release) >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "plain configure"; }
prefix=$(cache CMAKE_INSTALL_PREFIX)
echo "a plain configure builds for $prefix"
[ "$prefix" = "$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")" ] ||
    fail "$build is not built for $prefix: its files would not stand for this build's"

# Every built file the install rules name, from the build of the same sources.
find "$plain" -name cmake_install.cmake -exec grep -ho "FILES \"$plain/[^\"]*\"" {} + |
    sed "s|^FILES \"$plain/||; s|\"\$||" | sort -u >"$work/built"
while read -r f; do
    # A link the configure made (the root side's name in sbin) is there, though it points nowhere yet.
    { [ -e "$plain/$f" ] || [ -L "$plain/$f" ]; } && continue
    [ -e "$build/$f" ] || fail "$build has no $f"
    mkdir -p "$(dirname "$plain/$f")"
    cp -p "$build/$f" "$plain/$f"
done <"$work/built"

cpack --config "$plain/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack refused a plain configure"; }
debs=("$work"/out/qmvigilorn_*.deb)
[ -f "${debs[0]}" ] || fail "no qmvigilorn_*.deb in $(ls "$work/out")"
dpkg-deb -c "${debs[0]}" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
hook=/usr/libexec/qmvigilorn/qmvigilorn-hook
maker=/usr/libexec/qmvigilorn/qmvigilorn-system
for f in /etc/apt/apt.conf.d/80qmvigilorn /etc/dpkg/dpkg.cfg.d/qmvigilorn \
    /usr/share/polkit-1/actions/com.quillmere.vigilorn.policy /usr/bin/QMVigilornApp "$hook" "$maker"; do
    grep -qxF "$f" "$work/contents" || fail "the package has no $f"
done
! grep -q '^/usr/local/' "$work/contents" || fail "the package puts files under /usr/local"
# The snippets and the actions start what the package holds.
dpkg-deb -x "${debs[0]}" "$work/root"
grep -qF "{ \"$hook apt " "$work/root/etc/apt/apt.conf.d/80qmvigilorn" || fail "the APT snippet does not start $hook"
grep -qF "pre-invoke \"$hook dpkg " "$work/root/etc/dpkg/dpkg.cfg.d/qmvigilorn" || fail "the dpkg snippet does not start $hook"
grep -qF ">$maker<" "$work/root/usr/share/polkit-1/actions/com.quillmere.vigilorn.policy" ||
    fail "the polkit actions do not run $maker"
echo "plain configure: $(basename "${debs[0]}") with the hooks in /etc and polkit in /usr/share: ok"

# Built for elsewhere: no package, and a message that says how to get one.
while IFS='|' read -r what options; do
    rm -rf "$work/out"
    # shellcheck disable=SC2086 # the options are words of this table
    cmake -S "$src" -B "$plain" $options >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; fail "configure $what"; }
    if cpack --config "$plain/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
        fail "cpack packaged a build $what"
    fi
    tr -s ' \n' ' ' <"$work/cpack.log" >"$work/said"
    for words in "a Debian package installs under /usr, with its configuration in /etc" \
        "-DCMAKE_INSTALL_PREFIX=/usr"; do
        grep -qF -- "$words" "$work/said" ||
            { cat "$work/cpack.log"; fail "cpack did not say why it refused a build $what"; }
    done
    ! compgen -G "$work/out/*.deb" >/dev/null || fail "a package was left for a build $what"
    echo "a build $what: refused"
done <<'TABLE'
for /usr/local|-DCMAKE_INSTALL_PREFIX=/usr/local
with its configuration in /usr/etc|-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/usr/etc
TABLE
