#!/usr/bin/env bash
# Runs the ctest suite several times in a row while two CPU hogs keep a two-core machine busy,
# to show that no test leans on timing it cannot count on.
# Usage: tests/stress-loop.sh [preset] [rounds] [ctest arguments...]
#   preset  a configure preset already built (default: dev)
#   rounds  how many times in a row (default: 3)
#   e.g. tests/stress-loop.sh dev 3 -L e2e
# Exits 0 only when every round passed; the hogs are ended by PID however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
rounds=${2:-3}
shift $(($# < 2 ? $# : 2))

hogs=()
end_hogs() {
    for pid in "${hogs[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${hogs[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    hogs=()
}
trap end_hogs EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for _ in 1 2; do
    yes >/dev/null &
    hogs+=("$!")
done
echo "CPU hogs: ${hogs[*]}"

failed=0
for round in $(seq 1 "$rounds"); do
    start=$(date +%s)
    if ctest --preset "$preset" "$@"; then
        result=passed
    else
        result=FAILED
        failed=$((failed + 1))
    fi
    echo "round $round of $rounds: $result in $(($(date +%s) - start)) s"
done
echo "$((rounds - failed)) of $rounds rounds passed under load"
[ "$failed" -eq 0 ]
