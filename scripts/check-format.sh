#!/usr/bin/env bash
# Fails when a C++ file differs from .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format || command -v clang-format-14)
bad=0
while IFS= read -r -d '' f; do
    if ! "$fmt" --dry-run --Werror "$f" >/dev/null 2>&1; then
        echo "not formatted: $f"
        bad=1
    fi
done < <(git ls-files -z -- '*.cpp' '*.h')
exit $bad
