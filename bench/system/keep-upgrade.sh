#!/usr/bin/env bash
# What keeping the replaced packages costs an upgrade: the same upgrade of N packages (a few
# small files each, plus one of 64 MiB) from 1.0 to 2.0, from a local repository this builds,
# with and without the package hooks, alternating which goes first; the median ratio. Then the
# keeping alone, on the change's path (a point with the packages' actions against one without)
# and off it (the .debs built afterwards), per package and per MiB.
# Root, in a throw-away copy of the system only:
#   tests/e2e/in-overlay.sh $PWD/bench/system/keep-upgrade.sh $PWD/build/release [rounds] [N...]
set -euo pipefail
fail() { echo "keep-upgrade: $*" >&2; exit 1; }
[ "$(awk '$2 == "/" { t = $3 } END { print t }' /proc/self/mounts)" = overlay ] ||
    fail "not in a throw-away copy of the system (tests/e2e/in-overlay.sh)"
build=${1:?build folder}
rounds=${2:-3}
shift 2 || true
sizes=("${@:-60 150}")
# shellcheck disable=SC2206
sizes=(${sizes[*]})

libexec=/usr/libexec/qmvigilorn
mkdir -p "$libexec"
install -m 0755 "$build/src/system/qmvigilorn-system" "$libexec/qmvigilorn-system"
install -m 0755 "$build/src/system/qmvigilorn-hook" "$libexec/qmvigilorn-hook"
system=$libexec/qmvigilorn-system
store=/var/lib/qmvigilorn
hooks() {
    if [ "$1" = on ]; then
        install -m 0644 "$build/src/system/hooks/80qmvigilorn" /etc/apt/apt.conf.d/80qmvigilorn
        install -m 0644 "$build/src/system/hooks/qmvigilorn" /etc/dpkg/dpkg.cfg.d/qmvigilorn
    else
        rm -f /etc/apt/apt.conf.d/80qmvigilorn /etc/dpkg/dpkg.cfg.d/qmvigilorn
    fi
}
hooks off

# dpkg's database of its own: the machine's, the lower layer, may change under the copy meanwhile.
cp -a /var/lib/dpkg /var/lib/dpkg.copy && rm -rf /var/lib/dpkg && mv /var/lib/dpkg.copy /var/lib/dpkg
work=$(mktemp -d /tmp/keep-upgrade.XXXXXX)
chmod 0755 "$work"
repo=$work/repo
mkdir -p "$repo" "$work/lists/partial" "$work/cache/archives/partial"
echo "deb [trusted=yes] file:$repo ./" > "$work/sources.list"
# No program of a user runs here: every hooked run makes an automatic point without waiting.
export SUDO_UID=65534 DEBIAN_FRONTEND=noninteractive
apt=(apt-get -q -y -o Dpkg::Use-Pty=0 -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
     -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=- --allow-downgrades)

# name version [bytes]: four small files, or one of that size.
package() {
    local d=$work/tree/$1_$2
    mkdir -p "$d/DEBIAN" "$d/usr/share/$1"
    printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: Bench <bench@localhost>\nDescription: bench\n' \
        "$1" "$2" > "$d/DEBIAN/control"
    if [ -n "${3:-}" ]; then
        head -c "$3" /dev/urandom > "$d/usr/share/$1/data"
    else
        for f in a b c d; do echo "$1 $2 $f" > "$d/usr/share/$1/$f"; done
    fi
    (cd "$d" && find usr -type f -exec md5sum {} + > DEBIAN/md5sums)
    dpkg-deb --root-owner-group -Zgzip -z1 --build "$d" "$repo/$1_$2_all.deb" > /dev/null
    rm -rf "$d"
}
largest=${sizes[-1]}
for i in $(seq "$largest"); do package "kb$i" 1.0; package "kb$i" 2.0; done
package kbbig 1.0 $((64 << 20))
package kbbig 2.0 $((64 << 20))
(cd "$repo" && dpkg-scanpackages --multiversion . > Packages 2> /dev/null)
"${apt[@]}" update > "$work/log" 2>&1 || { cat "$work/log"; fail "apt-get update"; }

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
# CPU time of a command and of all it waited for (APT, dpkg, the hook, the maker; not the
# detached builder) into $work/cpu: what the change costs, which other load on the machine
# shakes far less than the elapsed time.
cpu() {
    local rc=0
    /usr/bin/time -f '%U %S' -o "$work/time" "$@" || rc=$?
    tail -n 1 "$work/time" | awk '{ printf "%.2f", $1 + $2 }' > "$work/cpu"
    return $rc
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
names() { for i in $(seq "$1"); do echo "kb$i$2"; done; echo "kbbig$2"; }
at() { # N version: the set at that version, hooks off
    hooks off
    # shellcheck disable=SC2046
    "${apt[@]}" install $(names "$1" "=$2") > "$work/log" 2>&1 || { cat "$work/log"; fail "install $2"; }
}
# Keeping starts afresh each time: nothing of a run before is already kept.
clear_pool() { "$system" build --now > /dev/null 2>&1 || true; rm -rf "${store:?}/pool"; }

echo "upgrade of N packages of four small files plus one of 64 MiB, 1.0 -> 2.0, $rounds rounds each way"
for n in "${sizes[@]}"; do
    plain=() hooked=() builds=() plaincpu=() hookedcpu=()
    for r in $(seq "$rounds"); do
        for order in $([ $((r % 2)) -eq 1 ] && echo "off on" || echo "on off"); do
            at "$n" 1.0
            clear_pool
            hooks "$order"
            t0=$(now)
            # shellcheck disable=SC2046
            cpu "${apt[@]}" install $(names "$n" "=2.0") > "$work/log" 2>&1 || { cat "$work/log"; fail "upgrade"; }
            t1=$(now)
            hooks off
            if [ "$order" = on ]; then
                hooked+=("$(calc "$t1 - $t0")")
                hookedcpu+=("$(cat "$work/cpu")")
                b0=$(now)
                "$system" build --now > "$work/built" 2>&1 || true
                builds+=("$(calc "$(now) - $b0")")
                kept=$(ls "$store/pool" | grep -c '_1.0_all.deb$' || true)
                [ "$kept" -eq $((n + 1)) ] || { ls "$store/pool"; cat "$work/built"; fail "kept $kept of $((n + 1))"; }
            else
                plain+=("$(calc "$t1 - $t0")")
                plaincpu+=("$(cat "$work/cpu")")
            fi
        done
    done
    p=$(printf '%s\n' "${plain[@]}" | median)
    h=$(printf '%s\n' "${hooked[@]}" | median)
    b=$(printf '%s\n' "${builds[@]}" | median)
    printf 'N = %3d: without %6.2f s, with %6.2f s (x%.3f), all %d replaced kept; built afterwards in %.2f s\n' \
        "$n" "$p" "$h" "$(calc "$h / $p")" $((n + 1)) "$b"
    pc=$(printf '%s\n' "${plaincpu[@]}" | median)
    hc=$(printf '%s\n' "${hookedcpu[@]}" | median)
    printf '         CPU time without %6.2f s, with %6.2f s (x%.3f)\n' "$pc" "$hc" "$(calc "$hc / $pc")"
    echo "  runs without: ${plain[*]}"
    echo "  runs with:    ${hooked[*]}"
    echo "  CPU without:  ${plaincpu[*]}"
    echo "  CPU with:     ${hookedcpu[*]}"
done

# Keeping alone, on the change's path: a point with N packages' actions against one without,
# the same /etc and package list; and the 64 MiB package on its own.
n=$largest
at "$n" 1.0
actions() { for i in $(seq "$n"); do echo "kb$i 1.0 2.0 upgrade"; done; }
point() { # actions...: seconds to make the point
    local t0
    clear_pool
    t0=$(now)
    printf '%s' "$1" | "$system" create --reason auto --description bench > /dev/null
    calc "$(now) - $t0"
}
bare=() small=() big=()
for _ in $(seq $((rounds * 2))); do
    bare+=("$(point "")")
    small+=("$(point "$(actions)")")
    big+=("$(point "kbbig 1.0 2.0 upgrade")")
done
tb=$(printf '%s\n' "${bare[@]}" | median)
ts=$(printf '%s\n' "${small[@]}" | median)
tg=$(printf '%s\n' "${big[@]}" | median)
printf 'keeping on the change'"'"'s path: %.2f ms a package (%d of four files), %.3f ms a MiB (64 MiB in one package)\n' \
    "$(calc "($ts - $tb) * 1000 / $n")" "$n" "$(calc "($tg - $tb) * 1000 / 64")"
# Off the path: the .debs built once the packages were replaced.
at "$n" 1.0
clear_pool
hooks on
# shellcheck disable=SC2046
"${apt[@]}" install $(names "$n" "=2.0" | grep -v kbbig) > "$work/log" 2>&1 || fail "upgrade"
hooks off
b0=$(now); "$system" build --now > /dev/null 2>&1 || true; bs=$(calc "$(now) - $b0")
"${apt[@]}" install kbbig=2.0 > /dev/null 2>&1 || true
at "$n" 1.0
clear_pool
hooks on
"${apt[@]}" install kbbig=2.0 > "$work/log" 2>&1 || fail "upgrade"
hooks off
b0=$(now); "$system" build --now > /dev/null 2>&1 || true; bg=$(calc "$(now) - $b0")
printf 'building afterwards, at the lowest priority: %.1f ms a package, %.1f ms a MiB\n' \
    "$(calc "$bs * 1000 / $n")" "$(calc "$bg * 1000 / 64")"
rm -rf "$work"
