#!/usr/bin/env bash
# How closely the reference service's emulated line keeps its rate, and how
# fast it serves unthrottled, on this machine (the tests only check that a
# line is never faster than its rate).
#
#   bench/refsvc/line_rate.sh [BUILD_DIR] [MBIT]     # defaults: build-bench, 50
#
# Each line: what moved, the seconds it took, the seconds the line allows,
# and the rate in Mbit/s.
set -euo pipefail
BUILD=${1:-build-bench}
MBIT=${2:-50}
REFSVC=$BUILD/out/quorvane-refsvc
[ -x "$REFSVC" ] || { echo "no $REFSVC: build the quorvane-refsvc target" >&2; exit 2; }
DIR=$(mktemp -d /tmp/qv-linerate-XXXXXX)
PID=
cleanup() {
  [ -n "$PID" ] && kill -TERM "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

"$REFSVC" --web none --update none --test-server 127.0.0.1:0 --download big.bin=1G --rate-mbit "$MBIT" --quiet \
  >"$DIR/out" &
PID=$!
for _ in $(seq 200); do grep -q ready "$DIR/out" && break; sleep 0.05; done
TEST=$(sed -n 's/.* test=\([^ ,]*\).*/\1/p' "$DIR/out")
[ -n "$TEST" ] || { echo "the service did not start" >&2; exit 1; }

now() { date +%s%N; }
report() { # what bytes started_ns
  awk -v w="$1" -v b="$2" -v ns=$(($(now) - $3)) -v m="$MBIT" 'BEGIN {
    s = ns / 1e9; printf "%-34s %8.3f s  (line: %6.3f s)  %8.2f Mbit/s\n", w, s, (m > 0 ? b * 8 / (m * 1e6) : 0), b * 8 / s / 1e6 }'
}

BYTES=12500000
t=$(now); curl -s -o /dev/null -r 0-$((BYTES - 1)) "http://$TEST/speed/big.bin"; report "download, one connection" $BYTES "$t"
t=$(now)
for _ in 1 2 3 4 5; do curl -s -o /dev/null -r 0-$((BYTES / 5 - 1)) "http://$TEST/speed/big.bin" & done
wait $(jobs -p | grep -v "^$PID\$") 2>/dev/null || true
report "download, five connections" $BYTES "$t"
head -c $BYTES /dev/zero >"$DIR/up.bin"
t=$(now); curl -s -o /dev/null --data-binary @"$DIR/up.bin" "http://$TEST/speed/doload.do"; report "upload, one connection" $BYTES "$t"

curl -s -o /dev/null -d '' "http://$TEST/__control/rate?down=0&up=0"
MBIT=0
BYTES=$((512 * 1024 * 1024))
t=$(now); curl -s -o /dev/null -r 0-$((BYTES - 1)) "http://$TEST/speed/big.bin"; report "unthrottled download" $BYTES "$t"
