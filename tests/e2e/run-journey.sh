#!/usr/bin/env bash
# Runs one journey. As root it runs in a PID namespace of its own: the program then sees only
# the journey's processes, killing by name cannot reach the machine's, and nothing outlives
# the journey.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export VIGILORN_SCREENSHOTS=${VIGILORN_SCREENSHOTS:-${VIGILORN_SCREENSHOTS_DEFAULT:-}}
py=/usr/bin/python3  # Debian's, which has pyatspi
if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc "$py" "$here/journeys.py" "$@"
fi
exec "$py" "$here/journeys.py" "$@"
