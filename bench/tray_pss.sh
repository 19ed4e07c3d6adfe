#!/usr/bin/env bash
# The memory of Quorvane idle in the tray after an automatic round of all four
# tests (the web page test among them): PSS summed over the program and every
# helper process below it, in MB: "tray_pss_mb N" on standard output, then
# "tray_resident_once_mb N", the tree's resident pages each counted once; the
# round itself and each process's figure go to standard error.
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
# The tree's resident pages, each counted once (as root): the PSS sum's
# ceiling, whatever else on the machine maps the same libraries.
once=$(sed -n 's/^  resident in the tree, each page once: \([0-9.]*\) MB$/\1/p' "$LOG" | tail -1)
if [ -n "$once" ]; then echo "tray_resident_once_mb $once"; fi
