#!/usr/bin/env bash
# Sets up the machine, builds the programs, starts the reference service in
# the background on its loopback end points and the demo collection server
# (sshd on loopback, scripts/collector.sh), then Quorvane from its build
# folder (a complete installation tree). Both stop when Quorvane ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BUILD=${QUORVANE_BUILD:-build}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

OUT="$BUILD/out"
LOG=$(mktemp /tmp/quorvane-refsvc-XXXXXX.log)
SERVICE=
COLLECTOR=
stop_service() {
  if [ -n "$SERVICE" ]; then
    kill "$SERVICE" 2>/dev/null || true
    wait "$SERVICE" 2>/dev/null || true
  fi
  [ -z "$COLLECTOR" ] || $SUDO scripts/collector.sh stop >/dev/null 2>&1 || true
}
trap stop_service EXIT

# Results travel on to a collection server; the demo one needs root to create
# its user and start sshd.
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if scripts/collector.sh status >/dev/null 2>&1; then
  echo "Demo collection server already running; results arrive under /home/qvdemo." >&2
elif $SUDO env QUORVANE_BUILD="$BUILD" scripts/collector.sh start >&2; then
  COLLECTOR=1
else
  echo "The demo collection server did not start (it needs root); results stay in $BUILD/out/Data." >&2
fi

if [ -x scripts/refsvc.sh ]; then
  scripts/refsvc.sh --quiet >"$LOG" 2>&1 &
else
  "$OUT/quorvane-refsvc" --quiet >"$LOG" 2>&1 &
fi
SERVICE=$!
for _ in $(seq 100); do
  grep -q "ready" "$LOG" && break
  kill -0 "$SERVICE" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "ready" "$LOG"; then
  echo "The reference service did not start:" >&2
  cat "$LOG" >&2
  exit 1
fi
echo "Reference service running ($(grep -m1 ready "$LOG")); demo user \"demo\", password \"demo123\"." >&2

status=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting under xvfb-run." >&2
  xvfb-run -a "$OUT/Quorvane" "$@" || status=$?
else
  "$OUT/Quorvane" "$@" || status=$?
fi
exit $status
