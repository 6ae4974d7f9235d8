#!/usr/bin/env bash
# Installs the Debian packages listed in the given files that are not installed yet.
set -euo pipefail
cd "$(dirname "$0")"
want=()
for list in "$@"; do
    while read -r pkg _; do
        case "$pkg" in ''|'#'*) continue ;; esac
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            want+=("$pkg")
        fi
    done <"$list"
done
[ ${#want[@]} -eq 0 ] && exit 0
SUDO=
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Installing ${want[*]} needs root, and sudo is not installed: run this as root." >&2; exit 1; }
    echo "Installing ${want[*]} with sudo, which may ask for your password."
    SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y --no-install-recommends "${want[@]}"
