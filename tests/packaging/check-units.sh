#!/usr/bin/env bash
# Every systemd unit the package installs: sandboxed to an exposure of 3.0 or less and clean
# for systemd-analyze verify. ExecStart points at the built qst-cli so that verify also checks
# that the command exists.
#   check-units.sh PACKAGING_DIR QST_CLI
set -euo pipefail
packaging=$1
cli=$(realpath "$2")
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
units=("$packaging"/*.service)
[ -e "${units[0]}" ] || { echo "no units in $packaging"; exit 1; }
for unit in "${units[@]}"; do
    name=$(basename "$unit")
    sed "s#^ExecStart=/usr/bin/qst-cli #ExecStart=$cli #" "$unit" >"$work/$name"
    grep -q "^ExecStart=$cli " "$work/$name" || { echo "$name: ExecStart is not /usr/bin/qst-cli"; status=1; }
    if ! systemd-analyze security --offline=yes --threshold=30 "$work/$name" >"$work/security.txt" 2>&1; then
        grep -E '✗|Overall' "$work/security.txt" || cat "$work/security.txt"
        echo "$name: exposure above 3.0"
        status=1
    else
        grep Overall "$work/security.txt"
    fi
    if ! verify=$(systemd-analyze verify --man=no "$work/$name" 2>&1) || [ -n "$verify" ]; then
        echo "$verify"
        echo "$name: systemd-analyze verify reported problems"
        status=1
    fi
done
exit $status
