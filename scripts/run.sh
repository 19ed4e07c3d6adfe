#!/usr/bin/env bash
# Sets up the machine, builds the programs and starts Quorvane from its build
# folder (a complete installation tree).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BUILD=${QUORVANE_BUILD:-build}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

OUT="$BUILD/out"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting under xvfb-run." >&2
  exec xvfb-run -a "$OUT/Quorvane" "$@"
fi
exec "$OUT/Quorvane" "$@"
