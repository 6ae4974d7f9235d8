#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root and checks what lands where; then
# runs the unpacked program, with the unpacked tree seen at its own prefix, far enough to open
# its help document.
# usage: package.sh files|lint|help BUILD_DIR PREFIX
set -euo pipefail
mode=$1 build=$2 prefix=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vigilorn-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/qmvigilorn_*.deb)
[ -f "${debs[0]}" ] || fail "no qmvigilorn_*.deb in $(ls "$work/out")"
deb=${debs[0]}
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qmvigilorn ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")" ] ||
    fail "Version: $(field Version)"
[ "$(field Maintainer)" = "Quillmere Computer Services and Software <vigilorn@quillmere.com>" ] ||
    fail "Maintainer: $(field Maintainer)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
depends=$(field Depends)
echo "Depends: $depends"
for d in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins pkexec polkitd; do
    case ", $depends," in *", $d"[\ ,]*) ;; *) fail "Depends lacks $d" ;; esac
done
# The built-in store's module is loaded at run time; its libraries are found all the same.
case ", $depends" in *", libgit2-"*) ;; *) fail "Depends lacks libgit2" ;; esac

root=$work/root
dpkg -x "$deb" "$root"
p=${prefix#/}
want=("$p/bin/QMVigilornApp" "$p/share/applications/qmvigilorn.desktop"
      "$p/share/qmvigilorn/help_and_license.rtf" "$p/share/metainfo/com.quillmere.vigilorn.metainfo.xml"
      "$p/share/man/man1/QMVigilornApp.1.gz" "$p/share/man/man8/qmvigilorn-system.8.gz"
      "$p/share/doc/qmvigilorn/copyright"
      "$p/share/doc/qmvigilorn/changelog.gz"
      "$p/$(sed -n 's/^CMAKE_INSTALL_LIBEXECDIR:PATH=//p' "$build/CMakeCache.txt")/qmvigilorn/qmvigilorn-system" "$p/share/polkit-1/actions/com.quillmere.vigilorn.policy"
      "$p/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")/qmvigilorn/vigilorn-gitstore.so")
for s in 16 32 48 64 128 256; do want+=("$p/share/icons/hicolor/${s}x${s}/apps/qmvigilorn.png"); done
# The package hook and the two snippets that start it; /usr keeps its configuration in /etc.
hook=$p/$(sed -n 's/^CMAKE_INSTALL_LIBEXECDIR:PATH=//p' "$build/CMakeCache.txt")/qmvigilorn/qmvigilorn-hook
etc=$p/etc; [ "$prefix" = /usr ] && etc=etc
want+=("$hook" "$etc/apt/apt.conf.d/80qmvigilorn" "$etc/dpkg/dpkg.cfg.d/qmvigilorn")
for f in "${want[@]}"; do [ -f "$root/$f" ] || fail "missing /$f"; done
[ -x "$root/$p/bin/QMVigilornApp" ] || fail "the program is not executable"
[ -x "$root/$hook" ] || fail "the hook is not executable"
grep -qxF "DPkg::Pre-Install-Pkgs { \"/$hook apt || ! [ -e /$hook ]\"; };" "$root/$etc/apt/apt.conf.d/80qmvigilorn" ||
    fail "the APT snippet does not start /$hook"
grep -qxF "DPkg::Tools::Options::/$hook::Version \"3\";" "$root/$etc/apt/apt.conf.d/80qmvigilorn" ||
    fail "the APT snippet does not ask for version 3"
grep -qxF "pre-invoke \"/$hook dpkg || ! [ -e /$hook ]\"" "$root/$etc/dpkg/dpkg.cfg.d/qmvigilorn" ||
    fail "the dpkg snippet does not start /$hook"
dpkg-deb -e "$deb" "$work/control"
[ "$(sort "$work/control/conffiles")" = "$(printf '/%s\n' "$etc/apt/apt.conf.d/80qmvigilorn" "$etc/dpkg/dpkg.cfg.d/qmvigilorn" | sort)" ] ||
    fail "conffiles: $(cat "$work/control/conffiles")"
# Nothing but what is wanted: no test, benchmark or tool binary.
extra=$(cd "$root" && find . -type f | sed 's|^\./||' | sort | grep -vxF -f <(printf '%s\n' "${want[@]}") || true)
[ -z "$extra" ] || fail "unexpected files in the package: $extra"

/usr/bin/python3 - "$root/$p" <<'PY'
import struct, sys, configparser
base = sys.argv[1]
for s in (16, 32, 48, 64, 128, 256):
    with open("%s/share/icons/hicolor/%dx%d/apps/qmvigilorn.png" % (base, s, s), "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG at %d" % s
    w, h = struct.unpack(">II", head[16:24])
    assert (w, h) == (s, s), "icon %d is %dx%d" % (s, w, h)
c = configparser.ConfigParser(interpolation=None)
c.optionxform = str
c.read("%s/share/applications/qmvigilorn.desktop" % base)
e = c["Desktop Entry"]
for k, v in {"Type": "Application", "Name": "Quillmere Vigilorn", "Exec": "QMVigilornApp",
             "Icon": "qmvigilorn", "Categories": "System;Monitor;"}.items():
    assert e.get(k) == v, "desktop entry %s=%r" % (k, e.get(k))
assert e.get("Comment"), "desktop entry without a Comment"
print("icons and desktop entry: ok")
PY

[ "$mode" = files ] && exit 0

if [ "$mode" = lint ]; then
    [ "$prefix" = /usr ] || { echo "SKIP: a package for $prefix is not one for Debian (the ci preset builds for /usr)"; exit 77; }
    # Errors fail; warnings and notes are shown for whoever reads the log.
    lintian --fail-on error --no-tag-display-limit "$deb" || fail "lintian reports errors"
    appstreamcli validate --no-net "$root/$p/share/metainfo/com.quillmere.vigilorn.metainfo.xml" ||
        fail "appstreamcli rejects the metainfo file"
    id=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' \
        "$root/$p/share/metainfo/com.quillmere.vigilorn.metainfo.xml")
    [ -f "$root/$p/share/applications/$id" ] || fail "the metainfo launches $id, which is not installed"
    page=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/$p/share/man/man1/QMVigilornApp.1.gz" 2>"$work/man.err")
    [ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "the manual page has faults"; }
    case "$page" in *"QMVigilornApp - "*) ;; *) fail "the manual page has no NAME line" ;; esac
    echo "lintian, appstream and the manual page: ok"
    exit 0
fi
# The unpacked share/ is laid over the prefix's own, in a mount namespace of this test alone
# (the prefix may be /usr, whose share/ the desktop itself needs).
[ "$(id -u)" -eq 0 ] || { echo "SKIP: seeing the package at its prefix needs root"; exit 77; }
[ -d "$prefix/share" ] || fail "no $prefix/share to lay the package over"
export VIGILORN_EXE=$root/$p/bin/QMVigilornApp VIGILORN_HELP_FILE=$root/$p/share/qmvigilorn/help_and_license.rtf
exec unshare --mount --pid --fork --mount-proc bash -c \
    'mount -t overlay overlay -o "lowerdir=$1/share:$0/share" "$0/share" && exec /usr/bin/python3 "$2/journeys.py" installed_help' \
    "$prefix" "$root/$p" "$here"
