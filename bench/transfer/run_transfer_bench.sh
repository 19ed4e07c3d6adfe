#!/usr/bin/env bash
# Accuracy and speed of the bandwidth test's transfers on loopback.
#
#   bench/transfer/run_transfer_bench.sh [BUILD_DIR]
#
# BUILD_DIR is a build tree with transfer_bench (and quorvane-refsvc, when it
# is there); a Release build gives the true figures:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-bench --target transfer_bench quorvane-refsvc
# WINDOW=ms shortens the 18-second window; SERVICE_RATES="0 500 50" chooses
# the service's line rates in Mbit/s (0: unthrottled).
#
# Each line: the case, the rate the bandwidth test would report (its 1-second
# samples 6 to 15 averaged), the true rate, and their ratio. The true rate is
# the server's own count of bytes over the window (nginx's log, the service's
# counters) or the service's throttle; iperf3 -P 5 in the same run shows what
# the loopback carries with large reads. The "CPU s/Gbit" rows put the
# client's processor seconds per gigabit moved (user + system) beside those of
# iperf3's client in the same direction (its own cpu_utilization over its
# test), a ratio above 1 meaning the test spends more than iperf3.
set -euo pipefail
BUILD=${1:-build-bench}
BENCH=$BUILD/bench/bin/transfer_bench
REFSVC=$BUILD/out/quorvane-refsvc
WINDOW=${WINDOW:-18000}
PY=/usr/bin/python3
[ -x "$BENCH" ] || { echo "no $BENCH: build the transfer_bench target" >&2; exit 2; }

DIR=$(mktemp -d /tmp/qv-transfer-XXXXXX)
chmod 755 "$DIR"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$DIR"
}
trap cleanup EXIT

free_port() { $PY -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    $PY -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1',$1)))" && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2; exit 1
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
row() { $PY -c "import sys; m,t=float(sys.argv[2]),float(sys.argv[3]); print('%-40s %10.1f %10.1f %8.4f' % (sys.argv[1], m, t, m/t if t else 0))" "$@"; }
cpu_row() { [ -n "$2" ] || { printf '%-40s %10s\n' "$1" "-"; return 0; }
  $PY -c "import sys; m,t=float(sys.argv[2]),float(sys.argv[3]); print('%-40s %10.3f %10.3f %8.4f' % (sys.argv[1], m, t, m/t if t else 0))" "$@"; }
window_s=$($PY -c "print($WINDOW/1000)")

# Upload file as the bandwidth test would use it.
head -c $((32 * 1024 * 1024)) /dev/urandom >"$DIR/upload.dat"
mkdir -p "$DIR/conf"

printf '%-40s %10s %10s %8s\n' "case (Mbit/s)" measured true ratio

# --- iperf3 -P 5, both directions --------------------------------------------
IPORT=$(free_port)
iperf3 -s -B 127.0.0.1 -p "$IPORT" >/dev/null 2>&1 &
PIDS+=($!)
wait_port "$IPORT"
# "Mbit/s CPU-s-per-Gbit": the rate received, and the client's processor
# seconds (its cpu_utilization over its test's length) per gigabit moved.
iperf() {
  iperf3 -c 127.0.0.1 -p "$IPORT" -P 5 -t 10 -J "$@" | $PY -c 'import json,sys
e = json.load(sys.stdin)["end"]; r = e["sum_received"]
print("%f %f" % (r["bits_per_second"] / 1e6, e["cpu_utilization_percent"]["host_total"] / 100 * r["seconds"] / (r["bytes"] * 8 / 1e9)))'
}
read -r IPERF_DOWN IPERF_DOWN_CPU < <(iperf -R)
read -r IPERF_UP IPERF_UP_CPU < <(iperf)
printf '%-40s %10.1f   CPU s/Gbit %.3f\n' "iperf3 -P 5 server->client" "$IPERF_DOWN" "$IPERF_DOWN_CPU" \
  "iperf3 -P 5 client->server" "$IPERF_UP" "$IPERF_UP_CPU"

# --- nginx, unthrottled --------------------------------------------------------
mkdir -p "$DIR/www" "$DIR/logs" "$DIR/tmp"
truncate -s 256G "$DIR/www/down.bin"
NPORT=$(free_port)
cat >"$DIR/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $DIR/nginx.pid;
error_log $DIR/logs/error.log warn;
events { worker_connections 256; }
http {
  log_format counts '\$status \$body_bytes_sent \$request_length';
  access_log $DIR/logs/access.log counts;
  client_body_temp_path $DIR/tmp/body; proxy_temp_path $DIR/tmp/proxy;
  fastcgi_temp_path $DIR/tmp/f; uwsgi_temp_path $DIR/tmp/u; scgi_temp_path $DIR/tmp/s;
  sendfile on;
  server {
    listen 127.0.0.1:$NPORT;
    root $DIR/www;
    location = /speed/doload.do {
      client_max_body_size 0; client_body_buffer_size 64m;
      proxy_request_buffering on; proxy_pass_request_body off;
      proxy_set_header Content-Length ""; proxy_set_header Expect "";
      proxy_pass http://127.0.0.1:$NPORT/__sink_ok;
    }
    location = /__sink_ok { allow 127.0.0.1; deny all; access_log off; return 200 "ok\n"; }
  }
}
CONF
/usr/sbin/nginx -p "$DIR/" -c "$DIR/nginx.conf" &
PIDS+=($!)
wait_port "$NPORT"
nginx_bytes() { awk -v col="$1" '{ s += $col } END { printf "%.0f", s }' "$DIR/logs/access.log"; }

: >"$DIR/logs/access.log"
OUT=$("$BENCH" get "http://127.0.0.1:$NPORT/down.bin?r=1&key=k" --window "$WINDOW")
sleep 0.5
echo "  $OUT" >&2
TRUE=$($PY -c "print($(nginx_bytes 2)*8/1e6/$(field seconds "$OUT"))")
row "nginx download, counted over the window" "$(field window_mbit "$OUT")" "$TRUE"
row "nginx download, sampled as the test does" "$(field sampled_mbit "$OUT")" "$TRUE"
row "nginx download against iperf3" "$(field sampled_mbit "$OUT")" "$IPERF_DOWN"
cpu_row "nginx download CPU s/Gbit against iperf3" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_DOWN_CPU"

: >"$DIR/logs/access.log"
OUT=$("$BENCH" upload "http://127.0.0.1:$NPORT/speed/doload.do?r=1&key=k" "$DIR/upload.dat" --window "$WINDOW" --program-dir "$DIR")
sleep 0.5
echo "  $OUT" >&2
TRUE=$($PY -c "print($(nginx_bytes 3)*8/1e6/$(field seconds "$OUT"))")
row "nginx upload, counted over the window" "$(field window_mbit "$OUT")" "$TRUE"
row "nginx upload, sampled as the test does" "$(field sampled_mbit "$OUT")" "$TRUE"
row "nginx upload against iperf3" "$(field sampled_mbit "$OUT")" "$IPERF_UP"
cpu_row "nginx upload CPU s/Gbit against iperf3" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_UP_CPU"

# The same upload by curl: five processes posting the same file as multipart
# form data, each again and again until the window has passed; nginx's count
# of request bytes over the time that really passed. What holds both alike is
# the server's, not the test's.
: >"$DIR/logs/access.log"
CURL_START=$(date +%s%N)
CURL_END=$((CURL_START + WINDOW * 1000000))
CURL_PIDS=()
for _ in 1 2 3 4 5; do
  (while [ "$(date +%s%N)" -lt "$CURL_END" ]; do
    curl -s -o /dev/null -H 'Expect:' -F "file=@$DIR/upload.dat" "http://127.0.0.1:$NPORT/speed/doload.do?r=1&key=k" || break
  done) &
  CURL_PIDS+=($!)
done
wait "${CURL_PIDS[@]}"
CURL_SECONDS=$($PY -c "print(($(date +%s%N) - $CURL_START) / 1e9)")
sleep 0.5
CURL_UP=$($PY -c "print($(nginx_bytes 3)*8/1e6/$CURL_SECONDS)")
row "nginx upload against 5 curl uploads" "$(field sampled_mbit "$OUT")" "$CURL_UP"

# --- the reference service: unthrottled, then its line at 500 and 50 Mbit/s --
if [ ! -x "$REFSVC" ]; then
  echo "no $REFSVC: build the quorvane-refsvc target for the service's figures" >&2
  exit 0
fi
"$REFSVC" --web none --update none --test-server 127.0.0.1:0 --download down.bin=64G --quiet >"$DIR/refsvc.out" &
PIDS+=($!)
for _ in $(seq 100); do grep -q ready "$DIR/refsvc.out" && break; sleep 0.05; done
TEST=$(sed -n 's/.* test=\([^ ,]*\).*/\1/p' "$DIR/refsvc.out")
[ -n "$TEST" ] || { echo "the service did not start" >&2; exit 1; }
control() { curl -s -o /dev/null -w '%{http_code}' -d '' "http://$TEST/__control/$1" | grep -q 200; }
counter() { curl -s "http://$TEST/__control/stats" | sed -n "s/^$1=//p"; }

for RATE in ${SERVICE_RATES:-0 500 50}; do
  control "rate?down=$RATE&up=$RATE"
  label="service $([ "$RATE" = 0 ] && echo unthrottled || echo "at $RATE Mbit/s")"

  control reset
  OUT=$("$BENCH" get "http://$TEST/speed/down.bin?r=1&key=k" --window "$WINDOW")
  sleep 0.5
  echo "  $OUT" >&2
  SERVED=$($PY -c "print($(counter download_bytes)*8/1e6/$(field seconds "$OUT"))")
  row "$label download, counted" "$(field window_mbit "$OUT")" "$SERVED"
  if [ "$RATE" = 0 ]; then
    row "$label download, sampled" "$(field sampled_mbit "$OUT")" "$SERVED"
    row "$label download against iperf3" "$(field sampled_mbit "$OUT")" "$IPERF_DOWN"
    cpu_row "$label download CPU s/Gbit against iperf3" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_DOWN_CPU"
  else
    row "$label download, sampled" "$(field sampled_mbit "$OUT")" "$RATE"
  fi

  control reset
  OUT=$("$BENCH" upload "http://$TEST/speed/doload.do?r=1&key=k" "$DIR/upload.dat" --window "$WINDOW" --program-dir "$DIR")
  sleep 0.5
  echo "  $OUT" >&2
  RECEIVED=$($PY -c "print($(counter upload_body_bytes)*8/1e6/$(field seconds "$OUT"))")
  row "$label upload, counted" "$(field window_mbit "$OUT")" "$RECEIVED"
  if [ "$RATE" = 0 ]; then
    row "$label upload, sampled" "$(field sampled_mbit "$OUT")" "$RECEIVED"
    row "$label upload against iperf3" "$(field sampled_mbit "$OUT")" "$IPERF_UP"
    cpu_row "$label upload CPU s/Gbit against iperf3" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_UP_CPU"
  else
    row "$label upload, sampled" "$(field sampled_mbit "$OUT")" "$RATE"
  fi
done
