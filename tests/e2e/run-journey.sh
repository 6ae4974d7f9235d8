#!/usr/bin/env bash
# Runs one journey. As root it runs in a PID namespace of its own: the program then sees only
# the journey's processes, killing by name cannot reach the machine's, and nothing outlives
# the journey.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export VIGILORN_SCREENSHOTS=${VIGILORN_SCREENSHOTS:-${VIGILORN_SCREENSHOTS_DEFAULT:-}}
py=/usr/bin/python3  # Debian's, which has pyatspi
# The hook journeys put the hook into /usr and /etc and install packages, the polkit journey
# adds users, polkit rules and a system bus: only ever in a throw-away copy of the system, which
# has its own PID namespace too.
case "${1:-}" in
hook_*|polkit) exec "$here/in-overlay.sh" "$py" "$here/journeys.py" "$@" ;;
esac
if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc "$py" "$here/journeys.py" "$@"
fi
exec "$py" "$here/journeys.py" "$@"
