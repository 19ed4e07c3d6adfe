#!/usr/bin/env bash
# The built-in video player's figures beside curl's on the same stream: the
# reference service's sample clip over its emulated line at a few rates.
#
#   bench/video/player_rate.sh [BUILD_DIR]      # default: build-bench
#
# Each line: the line rate, the player's average speed and curl's
# speed_download (both KB/s, 1 KB = 1024 bytes), their ratio, and the
# player's time to first byte beside curl's time_starttransfer (ms).
set -euo pipefail
BUILD=${1:-build-bench}
REFSVC=$BUILD/out/quorvane-refsvc
CLI=$BUILD/out/quorvane-cli
for p in "$REFSVC" "$CLI"; do
  [ -x "$p" ] || { echo "no $p: build the quorvane-refsvc and quorvane-cli targets" >&2; exit 2; }
done
DIR=$(mktemp -d /tmp/qv-videorate-XXXXXX)
PID=
cleanup() {
  [ -n "$PID" ] && kill -TERM "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

printf "%8s %12s %12s %7s %10s %10s\n" "Mbit/s" "player KB/s" "curl KB/s" "ratio" "player ms" "curl ms"
for MBIT in 2 10 50; do
  "$REFSVC" --web 127.0.0.1:0 --update none --test-server 127.0.0.1:0 --video-dispatch none --rate-mbit "$MBIT" \
    --quiet >"$DIR/out" 2>&1 &
  PID=$!
  for _ in $(seq 200); do grep -q ready "$DIR/out" && break; sleep 0.05; done
  PORT=$(sed -n 's/.*ready web=[0-9.]*:\([0-9]*\).*/\1/p' "$DIR/out")
  URL="http://127.0.0.1:$PORT/video/sample.mp4"
  JSON=$("$CLI" video "$URL" --stream --json 2>/dev/null)
  SPEED=$(sed -n 's/.*"speedKBps":\([0-9.]*\).*/\1/p' <<<"$JSON")
  TTFB=$(sed -n 's/.*"loadingTimeMs":\([0-9]*\).*/\1/p' <<<"$JSON")
  read -r CURL_BPS CURL_START < <(curl -s -o /dev/null -w '%{speed_download} %{time_starttransfer}\n' "$URL")
  awk -v m="$MBIT" -v p="$SPEED" -v c="$CURL_BPS" -v t="$TTFB" -v cs="$CURL_START" 'BEGIN {
    printf "%8s %12.2f %12.2f %7.3f %10d %10.1f\n", m, p, c / 1024, (c > 0 ? p * 1024 / c : 0), t, cs * 1000 }'
  kill -TERM "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  PID=
done
