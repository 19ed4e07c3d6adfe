#!/usr/bin/env bash
# Builds (when needed) and starts the reference measurement service on the
# shared loopback end points: web project and clock on 127.0.0.1:18080, test
# servers on 127.0.0.2-9:8080, update server on 127.0.0.1:18081. Extra
# arguments go to the service (see --help). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${QUORVANE_BUILD:-build}
if [ ! -f "$BUILD/build.ninja" ]; then
  bash scripts/setup.sh
  LAUNCHER=()
  command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF "${LAUNCHER[@]}" >/dev/null
fi
cmake --build "$BUILD" --target quorvane-refsvc >/dev/null
exec "$BUILD/out/quorvane-refsvc" "$@"
