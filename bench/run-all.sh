#!/usr/bin/env bash
# Every bench in one command, and one table of where the program stands:
# each figure beside its peer or limit measured in the same run, their ratio,
# the target and whether it is met.
#
#   sudo nice -n -20 bench/run-all.sh BUILD_DIR
#
# The niceness, inherited by every process of the run, lets the timed
# programs have the cores before whatever else the machine runs.
#
# BUILD_DIR is a Release build with the benches' targets:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-rel --target transfer_bench bench_download bench_update \
#     quorvane-refsvc quorvane-cli quorvane_dist
# The accuracy runs need root (network namespaces, tc); without root they are
# left out and say so. The fuzz runs build build-fuzz with Clang when needed.
#
# SKIP="accuracy fuzz" leaves parts out (transfer, download, update,
# accuracy, memory, fuzz). RATES="20 100 500 1000 2500" are the shaped lines
# of the accuracy part; FUZZ_RUNS=10000000 executions per fuzz target, for
# FUZZ_TARGETS (the four slowest by default). KEEP=1 keeps the work folder
# with every bench's own output.
#
# PAIRS=2 runs each unthrottled transfer case that often, each right after
# iperf3 in its direction.
#
# About 8 minutes for transfer (PAIRS=2), download and update, 70 s per shaped line,
# and for the fuzz targets what bench/fuzz/README.md gives per execution
# (10 M executions of the four slow targets: roughly half an hour of one
# core; the targets run side by side on every core, JOBS=N to choose).
# Figures move with the machine's load: the ratios are what to read.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-}
[ -n "$BUILD" ] && [ -d "$BUILD" ] || { echo "usage: bench/run-all.sh BUILD_DIR" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
SKIP=" ${SKIP:-} "
RATES=${RATES:-20 100 500 1000 2500}
FUZZ_RUNS=${FUZZ_RUNS:-10000000}
FUZZ_TARGETS=${FUZZ_TARGETS:-fuzz_property_file fuzz_refsvc_users fuzz_xml_doc fuzz_refsvc_requests}
WORK=$(mktemp -d /tmp/qv-run-all-XXXXXX)
cleanup() { if [ "${KEEP:-0}" = 1 ]; then echo "work folder kept: $WORK" >&2; else rm -rf "$WORK"; fi; }
trap cleanup EXIT

wanted() { [[ "$SKIP" != *" $1 "* ]]; }
note() { echo "== $* ($(date -u +%H:%M:%S), load $(cut -d' ' -f1-3 /proc/loadavg))" >&2; }

if wanted transfer; then
  note transfer
  SERVICE_RATES=0 "$HERE/transfer/run_transfer_bench.sh" "$BUILD" >"$WORK/transfer.txt" 2>"$WORK/transfer.err"
  cat "$WORK/transfer.txt" >&2
fi
if wanted download; then
  note "download (TimedGet beside curl)"
  # 200 MiB: the load time is counted in whole milliseconds, and at 20 MiB
  # (8 ms from nginx) one millisecond is an eighth of the figure.
  "$BUILD/bench/bin/bench_download" --rounds 9 --size-mb 200 --rate-mbit 1000 >"$WORK/download.txt" 2>"$WORK/download.err"
  cat "$WORK/download.txt" >&2
fi
if wanted update; then
  note "update (the segmented downloader on one connection beside curl)"
  "$BUILD/bench/bin/bench_update" --rounds 5 --size-mb 256 --connections 1 >"$WORK/update.txt" 2>"$WORK/update.err"
  cat "$WORK/update.txt" >&2
fi
if wanted accuracy; then
  if [ "$(id -u)" = 0 ]; then
    note "accuracy on shaped lines: $RATES Mbit/s"
    RATES="$RATES" "$HERE/accuracy/run.sh" "$BUILD" >"$WORK/accuracy.txt" 2>"$WORK/accuracy.err"
    cat "$WORK/accuracy.txt" >&2
  else
    echo "accuracy: needs root" >"$WORK/accuracy.skipped"
  fi
fi
if wanted memory; then
  if [ "$(id -u)" = 0 ]; then
    note "memory in the tray after a round"
    "$HERE/tray_pss.sh" "$BUILD" >"$WORK/memory.txt" 2>"$WORK/memory.err" || true
    cat "$WORK/memory.txt" >&2
  else
    echo "memory: needs root" >"$WORK/memory.skipped"
  fi
fi
if wanted fuzz; then
  note "fuzz: $FUZZ_RUNS executions of $FUZZ_TARGETS"
  # Nothing timed runs after this part, so the targets share every core.
  # shellcheck disable=SC2086
  (cd "$HERE/.." && JOBS=${JOBS:-$(nproc)} bench/fuzz/run.sh "$FUZZ_RUNS" $FUZZ_TARGETS) >"$WORK/fuzz.txt" 2>"$WORK/fuzz.err"
  cat "$WORK/fuzz.txt" >&2
fi

/usr/bin/python3 "$HERE/run_all_table.py" "$WORK" "$FUZZ_RUNS"
