#!/usr/bin/env bash
# Installs what the program needs, builds it (release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh packages-build.txt
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
exec build/release/src/QMVigilornApp
