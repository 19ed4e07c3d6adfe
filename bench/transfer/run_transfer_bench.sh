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
# the service's line rates in Mbit/s (0: unthrottled); PAIRS=2 how often each
# unthrottled case runs right after iperf3 in its direction.
#
# Each line: the case, the rate the bandwidth test would report (its 1-second
# samples 6 to 15 averaged), the true rate, and their ratio. The true rate is
# the server's own count of bytes over the window (nginx's log, the service's
# counters) or the service's throttle; iperf3 -P 5, run just before each
# unthrottled case (A B A B), shows what the loopback carries with large
# reads at that moment; the case's row gives the medians of its pairs and the
# median of the pairs' ratios. The "CPU s/Gbit" rows put the
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

# Upload file as the bandwidth test would use it.
head -c $((32 * 1024 * 1024)) /dev/urandom >"$DIR/upload.dat"
mkdir -p "$DIR/conf"

printf '%-40s %10s %10s %8s\n' "case (Mbit/s)" measured true ratio

# --- iperf3 -P 5, run right before each of our unthrottled cases -------------
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

# Pairs: iperf3 in the same direction, then the case, PAIRS times, so each
# ratio compares two neighbouring moments of a machine whose load drifts.
# Every pair's figures go to $DIR/pairs.txt ("LABEL ours true iperf cpu
# iperf_cpu"); summary() prints each pair and the medians.
: >"$DIR/pairs.txt"
pair_line() { echo "$1|$2|$3|$4|$5|$6" >>"$DIR/pairs.txt"; }
summary() {
  $PY - "$DIR/pairs.txt" "$1" <<'PYEOF'
import statistics, sys
label = sys.argv[2]
rows = [l.rstrip("\n").split("|") for l in open(sys.argv[1]) if l.startswith(label + "|")]
def num(x):
    return float(x) if x else None
pairs = [(num(r[1]), num(r[2]), num(r[3]), num(r[4]), num(r[5])) for r in rows]
fmt = "%-40s %10.1f %10.1f %8.4f"
cfmt = "%-40s %10.3f %10.3f %8.4f"
for i, (ours, true, peer, cpu, peer_cpu) in enumerate(pairs, 1):
    print(fmt % ("pair %d: %s against iperf3" % (i, label), ours, peer, ours / peer if peer else 0))
ratios = [p[0] / p[2] for p in pairs if p[2]]
trues = [p[0] / p[1] for p in pairs if p[1]]
cpus = [(p[3], p[4]) for p in pairs if p[3] and p[4]]
if trues:
    print(fmt % (label + ", sampled as the test does", statistics.median(p[0] for p in pairs),
                 statistics.median(p[1] for p in pairs), statistics.median(trues)))
if ratios:
    print(fmt % (label + " against iperf3", statistics.median(p[0] for p in pairs),
                 statistics.median(p[2] for p in pairs), statistics.median(ratios)))
if cpus:
    print(cfmt % (label + " CPU s/Gbit against iperf3", statistics.median(c[0] for c in cpus),
                  statistics.median(c[1] for c in cpus), statistics.median(c[0] / c[1] for c in cpus)))
else:
    print("%-40s %10s" % (label + " CPU s/Gbit against iperf3", "-"))
PYEOF
}
PAIRS=${PAIRS:-2}

# --- nginx, unthrottled --------------------------------------------------------
mkdir -p "$DIR/www" "$DIR/tmp"
# 4 GiB, read once before the first case: every case and every curl then
# reads it from memory, as iperf3 sends from memory. (A file larger than the
# page cache, read cold, made the first case of a run wait on the kernel's
# page allocation, not on the network.) A connection that reaches its end
# asks again, as the test does.
truncate -s 4G "$DIR/www/down.bin"
cat "$DIR/www/down.bin" >/dev/null
# start_nginx NAME WORKERS: an nginx of its own folder; sets NPORT and NLOG.
start_nginx() {
  local conf=$DIR/nginx-$1.conf
  NPORT=$(free_port)
  NLOG=$DIR/logs-$1/access.log
  mkdir -p "$DIR/logs-$1" "$DIR/tmp/$1"
  cat >"$conf" <<CONF
daemon off;
worker_processes $2;
pid $DIR/nginx-$1.pid;
error_log $DIR/logs-$1/error.log warn;
events { worker_connections 256; }
http {
  log_format counts '\$status \$body_bytes_sent \$request_length';
  access_log $NLOG counts;
  client_body_temp_path $DIR/tmp/$1/body; proxy_temp_path $DIR/tmp/$1/proxy;
  fastcgi_temp_path $DIR/tmp/$1/f; uwsgi_temp_path $DIR/tmp/$1/u; scgi_temp_path $DIR/tmp/$1/s;
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
  /usr/sbin/nginx -p "$DIR/" -c "$conf" &
  NGINX_PID=$!
  PIDS+=($!)
  wait_port "$NPORT"
}
nginx_bytes() { awk -v col="$1" '{ s += $col } END { printf "%.0f", s }' "$NLOG"; }
# Processor seconds (user + system) nginx's workers have used so far: a
# worker near one second per second of window is the server's limit.
nginx_cpu() {
  $PY - "$NGINX_PID" <<'PYEOF'
import os, sys
ticks = os.sysconf("SC_CLK_TCK")
total = 0
for pid in os.listdir("/proc"):
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        continue
    if fields[1] == sys.argv[1]:  # a worker of this master
        total += int(fields[11]) + int(fields[12])
print("%.2f" % (total / ticks))
PYEOF
}

# The same upload by curl: five processes posting the same file as multipart
# form data, each again and again until the window has passed; nginx's count
# of request bytes over the time that really passed. What holds both alike is
# the server's, not the test's.
curl_uploads() {
  : >"$NLOG"
  local start end pids=()
  start=$(date +%s%N)
  end=$((start + WINDOW * 1000000))
  for _ in 1 2 3 4 5; do
    (while [ "$(date +%s%N)" -lt "$end" ]; do
      curl -s -o /dev/null -H 'Expect:' -F "file=@$DIR/upload.dat" "http://127.0.0.1:$NPORT/speed/doload.do?r=1&key=k" || break
    done) &
    pids+=($!)
  done
  wait "${pids[@]}"
  local seconds
  seconds=$($PY -c "print(($(date +%s%N) - $start) / 1e9)")
  sleep 0.5
  $PY -c "print($(nginx_bytes 3)*8/1e6/$seconds)"
}

# The same download by curl: five processes fetching the file for the
# window's length, as nginx counted them over the time that really passed.
curl_downloads() {
  : >"$NLOG"
  local start seconds pids=()
  start=$(date +%s%N)
  for _ in 1 2 3 4 5; do
    curl -s -o /dev/null --max-time "$($PY -c "print($WINDOW / 1000)")" "http://127.0.0.1:$NPORT/down.bin?r=1&key=k" &
    pids+=($!)
  done
  wait "${pids[@]}" || true
  seconds=$($PY -c "print(($(date +%s%N) - $start) / 1e9)")
  sleep 0.5
  $PY -c "print($(nginx_bytes 2)*8/1e6/$seconds)"
}

# against_curl FILE LABEL: the medians of FILE's "ours curl" lines and of
# their ratios.
against_curl() {
  $PY -c 'import statistics, sys
rows = [tuple(map(float, l.split())) for l in open(sys.argv[1])]
print("%-40s %10.1f %10.1f %8.4f" % (sys.argv[2], statistics.median(r[0] for r in rows),
      statistics.median(r[1] for r in rows), statistics.median(r[0] / r[1] for r in rows if r[1])))' "$@"
}

start_nginx one 1
for pair in $(seq "$PAIRS"); do
  read -r IPERF IPERF_CPU < <(iperf -R)
  : >"$NLOG"
  CPU0=$(nginx_cpu)
  OUT=$("$BENCH" get "http://127.0.0.1:$NPORT/down.bin?r=1&key=k" --window "$WINDOW")
  CPU1=$(nginx_cpu)
  sleep 0.5
  echo "  pair $pair: iperf3 $IPERF Mbit/s; $OUT" >&2
  TRUE=$($PY -c "print($(nginx_bytes 2)*8/1e6/$(field seconds "$OUT"))")
  row "nginx download, counted over the window" "$(field window_mbit "$OUT")" "$TRUE"
  row "pair $pair: nginx worker CPU s per s, download" "$($PY -c "print(($CPU1 - $CPU0) / $(field seconds "$OUT"))")" 1
  pair_line "nginx download" "$(field sampled_mbit "$OUT")" "$TRUE" "$IPERF" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_CPU"
  CURL_DOWN=$(curl_downloads)
  row "pair $pair: nginx download against 5 curl downloads" "$(field sampled_mbit "$OUT")" "$CURL_DOWN"
  echo "$(field sampled_mbit "$OUT") $CURL_DOWN" >>"$DIR/curl-down.txt"
done
summary "nginx download"
against_curl "$DIR/curl-down.txt" "nginx download against 5 curl downloads"

# The upload to nginx, beside five curl uploads to the same nginx, with one
# worker and with four (one worker buffers every body on one core).
for workers in 1 4; do
  label="nginx upload"
  if [ "$workers" = 4 ]; then
    start_nginx four 4
    label="nginx with 4 workers upload"
  fi
  for pair in $(seq "$PAIRS"); do
    read -r IPERF IPERF_CPU < <(iperf)
    : >"$NLOG"
    CPU0=$(nginx_cpu)
    OUT=$("$BENCH" upload "http://127.0.0.1:$NPORT/speed/doload.do?r=1&key=k" "$DIR/upload.dat" --window "$WINDOW" --program-dir "$DIR")
    CPU1=$(nginx_cpu)
    sleep 0.5
    echo "  pair $pair: iperf3 $IPERF Mbit/s; $OUT" >&2
    TRUE=$($PY -c "print($(nginx_bytes 3)*8/1e6/$(field seconds "$OUT"))")
    row "$label, counted over the window" "$(field window_mbit "$OUT")" "$TRUE"
    row "pair $pair: nginx workers' CPU s per s, $label" "$($PY -c "print(($CPU1 - $CPU0) / $(field seconds "$OUT"))")" "$workers"
    pair_line "$label" "$(field sampled_mbit "$OUT")" "$TRUE" "$IPERF" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_CPU"
    CURL_UP=$(curl_uploads)
    row "pair $pair: $label against 5 curl uploads" "$(field sampled_mbit "$OUT")" "$CURL_UP"
    echo "$(field sampled_mbit "$OUT") $CURL_UP" >>"$DIR/curl-$workers.txt"
  done
  summary "$label"
  against_curl "$DIR/curl-$workers.txt" "$label against 5 curl uploads"
done

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

# One direction against the service at $RATE: the bench's figures beside what
# the service counted over the same seconds. DIRECTION, iperf3's direction
# flag ("" or -R), the service's counter, then the bench's arguments.
service_case() {
  local direction=$1 iperf_flag=$2 counter_name=$3 OUT MOVED
  shift 3
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    if [ "$RATE" = 0 ]; then read -r IPERF IPERF_CPU < <(iperf $iperf_flag); fi
    control reset
    OUT=$("$BENCH" "$@" --window "$WINDOW")
    sleep 0.5
    echo "  $OUT" >&2
    MOVED=$($PY -c "print($(counter "$counter_name")*8/1e6/$(field seconds "$OUT"))")
    row "$label $direction, counted" "$(field window_mbit "$OUT")" "$MOVED"
    if [ "$RATE" = 0 ]; then
      pair_line "$label $direction" "$(field sampled_mbit "$OUT")" "$MOVED" "$IPERF" "$(field cpu_s_per_gbit "$OUT")" "$IPERF_CPU"
      if [ "$direction" = upload ]; then
        # The test sends a file's bytes; iperf3 sends one buffer from memory
        # unless given a file too (the 4 GiB one nginx served, each of its
        # five streams reading it from the page cache).
        read -r IPERF IPERF_CPU < <(iperf -t 8 -F "$DIR/www/down.bin")
        pair_line "$label upload, iperf3 sending a file" "$(field sampled_mbit "$OUT")" "$MOVED" "$IPERF" \
          "$(field cpu_s_per_gbit "$OUT")" "$IPERF_CPU"
      fi
    else
      row "$label $direction, sampled" "$(field sampled_mbit "$OUT")" "$RATE"
    fi
  done
  if [ "$RATE" = 0 ]; then summary "$label $direction"; fi
  if [ "$RATE" = 0 ] && [ "$direction" = upload ]; then summary "$label upload, iperf3 sending a file"; fi
}

for RATE in ${SERVICE_RATES:-0 500 50}; do
  control "rate?down=$RATE&up=$RATE"
  label="service $([ "$RATE" = 0 ] && echo unthrottled || echo "at $RATE Mbit/s")"
  # Unthrottled, each case runs PAIRS times right after iperf3 in its
  # direction; throttled, once against the throttle.
  runs=1
  if [ "$RATE" = 0 ]; then runs=$PAIRS; fi

  service_case download -R download_bytes get "http://$TEST/speed/down.bin?r=1&key=k"
  service_case upload "" upload_body_bytes upload "http://$TEST/speed/doload.do?r=1&key=k" "$DIR/upload.dat" \
    --program-dir "$DIR"
done
