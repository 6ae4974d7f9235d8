#!/usr/bin/env bash
# Installs what the tests need, builds with the given preset (default: ci, warnings are errors)
# and runs the whole test suite: the ctest suite (unit, widget, real-engine and end-to-end
# tests), and with the default preset also the Windows layer under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-ci}
scripts/install-deps.sh packages-build.txt packages-test.txt
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
if [ "$preset" = ci ]; then
    .ci/windows-layer.sh build/windows
fi
