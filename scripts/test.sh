#!/usr/bin/env bash
# Builds and runs the whole test suite: a release build, then the Windows build (scripts/
# windows.sh: mingw-w64, the suite under wine), then the address and undefined-behaviour
# sanitizers, then the thread sanitizer (the threading tests only), then the fuzz targets:
# every regression input of tests/corpus replayed and each target fuzzed briefly.
# Warnings are errors.
#   scripts/test.sh            all five steps
#   scripts/test.sh --quick    the release build only
# QZ_FUZZ_SECONDS (default 20) is how long the last step fuzzes each target.
set -euo pipefail
source "$(dirname "$0")/common.sh"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

qz_require_packages "${QZ_BUILD_PACKAGES[@]}"
qz_fetch_viewer_packages || { echo "npm ci failed: qzcache view cannot be built and tested" >&2; exit 1; }
# The browser test of the viewer runs wherever chromium can be installed, and says so where not.
(qz_require_packages chromium) || echo "chromium cannot be installed: the browser test will be skipped"
mkdir -p "$QZ_ROOT/build"

run_suite() {
    local name="$1"
    shift
    local dir="$QZ_ROOT/build/$name"
    echo "== $name: building"
    qz_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZCACHE_WERROR=ON "$@"
    echo "== $name: testing"
    ctest --test-dir "$dir" --output-on-failure -j "$QZ_JOBS"
}

run_suite release -DQZCACHE_BUILD_VIEWER=ON
if [ "$quick" -eq 0 ]; then
    # Second: a fault on Windows shows within minutes, not after the sanitizers' builds.
    "$QZ_ROOT/scripts/windows.sh"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_suite asan -DQZCACHE_SANITIZE_ADDRESS=ON -DQZCACHE_BUILD_TOOLS=OFF \
        -DQZCACHE_BUILD_BENCH=OFF
    # The thread sanitizer slows everything tenfold; it only tells anything where threads are.
    TSAN_OPTIONS=halt_on_error=1 run_suite tsan -DQZCACHE_SANITIZE_THREAD=ON \
        -DQZCACHE_BUILD_TOOLS=OFF -DQZCACHE_BUILD_BENCH=OFF \
        "-DQZCACHE_TEST_SELECTION=preloadWorker|platform|cacheFileInterface|accessorReading|liveCache"
    "$QZ_ROOT/scripts/fuzz.sh" --ci "${QZ_FUZZ_SECONDS:-20}"
fi
echo "All test builds passed."
