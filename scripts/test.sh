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

# The fuzz targets need Clang: a second, small build of just them and the
# libraries they use, optimised so that their few seconds each reach far.
FUZZ_BUILD=${QUORVANE_FUZZ_BUILD:-build-fuzz}
cmake -S . -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${LAUNCHER[@]}" >/dev/null
cmake --build "$FUZZ_BUILD" --target fuzz_targets -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
# Qt and its plugins keep allocations alive until exit; leak reports there
# are noise, not our faults.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
(cd "$BUILD" && ctest --output-on-failure -j 2 --timeout 600 "$@") || status=$?
# Each fuzz target runs for a few seconds (label fuzz).
(cd "$FUZZ_BUILD" && ctest --output-on-failure -j 2 --timeout 600 "$@") || status=$?
exit $status
