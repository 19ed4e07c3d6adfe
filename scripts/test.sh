#!/usr/bin/env bash
# Sets up the machine, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BUILD=${QUORVANE_TEST_BUILD:-build-test}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DASAN=ON "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
# Qt and its plugins keep allocations alive until exit; leak reports there
# are noise, not our faults.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
cd "$BUILD"
ctest --output-on-failure -j 2 --timeout 600 "$@"
