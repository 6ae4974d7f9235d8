#!/usr/bin/env bash
# What keeping the replaced packages costs this machine's own pending upgrade: `apt-get upgrade`
# from the configured archive, the packages downloaded once beforehand so that the network is
# not timed, then the same upgrade with and without the package hooks, alternating which goes
# first, each in a throw-away copy of its own of the copy that holds the download. Then what
# each hooked run kept, and what hard-linking the replaced files costs here, where a link to a
# file of the lower layer copies it up first (on the machine itself a link is a link).
# Root, in a throw-away copy of the system only:
#   tests/e2e/in-overlay.sh $PWD/bench/system/real-upgrade.sh $PWD/build/release [rounds]
set -euo pipefail
fail() { echo "real-upgrade: $*" >&2; exit 1; }
[ "$(awk '$2 == "/" { t = $3 } END { print t }' /proc/self/mounts)" = overlay ] ||
    fail "not in a throw-away copy of the system (tests/e2e/in-overlay.sh)"
here=$(cd "$(dirname "$0")" && pwd)
self=$here/$(basename "$0")
overlay=$here/../../tests/e2e/in-overlay.sh
libexec=/usr/libexec/qmvigilorn
system=$libexec/qmvigilorn-system
store=/var/lib/qmvigilorn
export DEBIAN_FRONTEND=noninteractive SUDO_UID=65534
apt=(apt-get -q -y -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-confdef
     -o Dpkg::Options::=--force-confold)
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One timed upgrade, in a copy of its own: "RESULT seconds cpu [kept not-kept built-seconds]".
if [ "${1:-}" = --one ]; then
    build=$2
    if [ "$3" = on ]; then
        install -m 0644 "$build/src/system/hooks/80qmvigilorn" /etc/apt/apt.conf.d/80qmvigilorn
        install -m 0644 "$build/src/system/hooks/qmvigilorn" /etc/dpkg/dpkg.cfg.d/qmvigilorn
    fi
    log=$(mktemp)
    t0=$(now)
    /usr/bin/time -f '%U %S' -o "$log.time" "${apt[@]}" upgrade > "$log" 2>&1 ||
        { tail -n 30 "$log"; fail "upgrade"; }
    t1=$(now)
    cpu=$(tail -n 1 "$log.time" | awk '{ printf "%.2f", $1 + $2 }')
    if [ "$3" = on ]; then
        b0=$(now)
        "$system" build --now > "$log.built" 2>&1 || true
        built=$(calc "$(now) - $b0")
        notes=$(git --git-dir="$store/points.git" show restore-points:kept-packages.txt 2> /dev/null || true)
        echo "  kept by way: $(printf '%s\n' "$notes" | awk '{ print $1 "/" $5 }' | sort | uniq -c | tr -s ' \n' '  ')" >&2
        echo "  pool: $(find "$store/pool" -maxdepth 1 -name '*.deb' | wc -l) .debs, $(du -sm "$store/pool" | cut -f1) MiB;" \
            "not-kept.list: $(cat "$store/not-kept.list" 2> /dev/null | wc -l) lines;" \
            "sizes.list total: $(awk '$1 == "total" { printf "%d MiB", $2 / 1048576 }' "$store/sizes.list" 2> /dev/null)" >&2
        { printf '%s\n' "$notes" | grep -v ' staged$'; grep -h . "$store/not-kept.list"; } 2> /dev/null |
            head -n 10 | sed 's/^/    /' >&2 || true
        echo "RESULT $(calc "$t1 - $t0") $cpu $(printf '%s\n' "$notes" | grep -c '^kept ' || true)" \
            "$(printf '%s\n' "$notes" | grep -c '^not-kept ' || true) $built"
    else
        echo "RESULT $(calc "$t1 - $t0") $cpu"
    fi
    exit 0
fi

# The replaced packages' regular files hard-linked twice into a scratch folder: the first time
# copies each up out of the lower layer, the second only links.
if [ "${1:-}" = --links ]; then
    list=$(mktemp)
    apt-get -s upgrade | awk '$1 == "Inst" { print $2 }' | while read -r p; do
        dpkg -L "$p" 2> /dev/null || true
    done | sort -u | while read -r f; do
        if [ -f "$f" ] && [ ! -L "$f" ]; then echo "$f"; fi
    done > "$list"
    files=$(wc -l < "$list")
    mib=$(tr '\n' '\0' < "$list" | du -cm --files0-from=- | tail -n 1 | cut -f1)
    link() {
        local d t0
        d=$(mktemp -d /var/tmp/links.XXXXXX)
        t0=$(now)
        i=0
        while read -r f; do ln "$f" "$d/$((i++))" 2> /dev/null || true; done < "$list"
        calc "$(now) - $t0"
        rm -rf "$d"
    }
    first=$(link)
    second=$(link)
    echo "hard links to the $files regular files ($mib MiB) the upgrade replaces: first $first s" \
        "(copied up out of the lower layer), again $second s (links only)"
    exit 0
fi

build=${1:?build folder}
rounds=${2:-2}
mkdir -p "$libexec"
install -m 0755 "$build/src/system/qmvigilorn-system" "$system"
install -m 0755 "$build/src/system/qmvigilorn-hook" "$libexec/qmvigilorn-hook"
rm -f /etc/apt/apt.conf.d/80qmvigilorn /etc/dpkg/dpkg.cfg.d/qmvigilorn
# dpkg's database of its own: the machine's, the lower layer, may change under the copy meanwhile.
cp -a /var/lib/dpkg /var/lib/dpkg.copy && rm -rf /var/lib/dpkg && mv /var/lib/dpkg.copy /var/lib/dpkg
count=$(apt-get -s upgrade | grep -c '^Inst ' || true)
[ "$count" -gt 0 ] || fail "nothing to upgrade"
for try in 1 2 3; do
    "${apt[@]}" --download-only upgrade > /tmp/real-upgrade.log 2>&1 && break
    cat /tmp/real-upgrade.log >&2
    [ "$try" -lt 3 ] || fail "download"
done
echo "apt-get upgrade of this machine's $count pending packages, downloaded beforehand; $rounds rounds each way"
plain=() hooked=() plaincpu=() hookedcpu=() kept=() notkept=() builds=()
for r in $(seq "$rounds"); do
    for order in $([ $((r % 2)) -eq 1 ] && echo "off on" || echo "on off"); do
        line=$("$overlay" "$self" --one "$build" "$order" | grep '^RESULT ') || fail "run $order"
        read -r _ t c k nk b <<< "$line"
        if [ "$order" = on ]; then
            hooked+=("$t") hookedcpu+=("$c") kept+=("$k") notkept+=("$nk") builds+=("$b")
        else
            plain+=("$t") plaincpu+=("$c")
        fi
    done
done
p=$(printf '%s\n' "${plain[@]}" | median)
h=$(printf '%s\n' "${hooked[@]}" | median)
pc=$(printf '%s\n' "${plaincpu[@]}" | median)
hc=$(printf '%s\n' "${hookedcpu[@]}" | median)
printf 'without %.2f s, with %.2f s (x%.3f, %.2f s added); CPU %.2f s and %.2f s (x%.3f)\n' \
    "$p" "$h" "$(calc "$h / $p")" "$(calc "$h - $p")" "$pc" "$hc" "$(calc "$hc / $pc")"
echo "  runs without: ${plain[*]}; CPU ${plaincpu[*]}"
echo "  runs with:    ${hooked[*]}; CPU ${hookedcpu[*]}"
echo "  replaced packages kept: ${kept[*]}, not kept: ${notkept[*]}; built afterwards in ${builds[*]} s"
"$overlay" "$self" --links
