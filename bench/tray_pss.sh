#!/usr/bin/env bash
# The memory of Quorvane idle in the tray after an automatic round of all four
# tests (the web page test among them): PSS summed over the program and every
# helper process below it, in MB. One line on standard output,
# "tray_pss_mb N"; the round itself and each process's figure go to standard
# error.
#
#   sudo bench/tray_pss.sh BUILD_DIR      # about 2 minutes; needs what bench/unattended needs
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
LOG=$(mktemp /tmp/qv-tray-pss-XXXXXX.log)
trap 'rm -f "$LOG"' EXIT
ROUNDS=1 "$HERE/unattended/run.sh" "${1:-build-bench}" 2>&1 | tee "$LOG" >&2
pss=$(sed -n 's/^memory in the tray after round 1: .*PSS \([0-9.]*\) MB.*/\1/p' "$LOG" | tail -1)
[ -n "$pss" ] || { echo "no memory figure: the round did not run" >&2; exit 1; }
echo "tray_pss_mb $pss"
