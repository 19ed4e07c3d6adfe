#!/usr/bin/env bash
# Runs every fuzz target for N executions (default 1000000) and prints, per
# target, the executions done, the time taken and the result.
#
#   bench/fuzz/run.sh 10000000          # all targets
#   bench/fuzz/run.sh 100000 fuzz_xml_doc fuzz_http_url
#
# Builds the Clang fuzz build (build-fuzz, or $QUORVANE_FUZZ_BUILD) when
# needed. Inputs that crash land in build-fuzz/fuzz/artifacts; new corpus
# entries in build-fuzz/fuzz/corpus/<target>.
#
# JOBS=N runs that many targets at once (default 1), each line printed as its
# target ends; give it the cores only when nothing timed runs beside it.
set -euo pipefail
cd "$(dirname "$0")/../.."
RUNS=${1:-1000000}
shift || true
BUILD=${QUORVANE_FUZZ_BUILD:-build-fuzz}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${LAUNCHER[@]}" >/dev/null
fi
cmake --build "$BUILD" --target fuzz_targets >/dev/null

BIN=$BUILD/fuzz/bin
WORK=$BUILD/fuzz
SEEDS=tests/fuzz/seeds
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || mapfile -t TARGETS < <(cd "$BIN" && ls fuzz_* | sort)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
JOBS=${JOBS:-1}

# One target's run; prints its line and returns non-zero when it failed.
fuzz_one() {
  local t=$1 log=$WORK/$1.log seeds=() start end execs result rc=0
  mkdir -p "$WORK/corpus/$t" "$WORK/artifacts"
  [ -d "$SEEDS/$t" ] && seeds=("$SEEDS/$t")
  start=$(date +%s%N)
  if "$BIN/$t" -runs="$RUNS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$WORK/artifacts/$t-" "$WORK/corpus/$t" "${seeds[@]}" >"$log" 2>&1; then
    result=clean
  else
    result="FAILED (see $log)"
    rc=1
  fi
  end=$(date +%s%N)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  awk -v t="$t" -v n="${execs:-0}" -v ns=$((end - start)) -v r="$result" \
    'BEGIN { s = ns / 1e9; printf "%-22s %12d %10.1f %10.0f  %s\n", t, n, s, (s > 0 ? n / s : 0), r }'
  return $rc
}

failed=0
running=0
# Waits for one running target to end.
reap() {
  wait -n || failed=1
  running=$((running - 1))
}
printf '%-22s %12s %10s %10s  %s\n' target executions seconds exec/s result
for t in "${TARGETS[@]}"; do
  [ "$running" -lt "$JOBS" ] || reap
  fuzz_one "$t" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do reap; done
exit $failed
