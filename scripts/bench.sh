#!/usr/bin/env bash
# Builds the benchmarks in Release (-O2) into build/bench and runs them. Extra arguments go to
# the benchmark binary, e.g.
#   scripts/bench.sh --benchmark_filter=write
#   scripts/bench.sh --quick
#   scripts/bench.sh --points=200000 --benchmark_out=bench.json --benchmark_out_format=json
#   scripts/bench.sh --python [--points N --frames N --rounds N --repeats N]
#                                    (the qzcache Python module against the C++ reads/writes)
set -euo pipefail
source "$(dirname "$0")/common.sh"

qz_require_packages "${QZ_BUILD_PACKAGES[@]}" libbenchmark-dev
mkdir -p "$QZ_ROOT/build"
dir="$QZ_ROOT/build/bench"
echo "== building the benchmarks (Release, -O2) in $dir"
cmake -S "$QZ_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DQZCACHE_BUILD_BENCH=ON -DQZCACHE_BUILD_TESTS=OFF -DQZCACHE_BUILD_TOOLS=OFF \
    -DQZCACHE_WERROR=ON >"$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log" >&2
    exit 1
}
if [ "${1:-}" = "--python" ]; then
    shift
    cmake --build "$dir" -j "$QZ_JOBS" --target qzcache_python qzcache_pyref
    echo "== running"
    exec /usr/bin/python3 "$QZ_ROOT/bench/python_bench.py" --build "$dir" "$@"
fi
cmake --build "$dir" -j "$QZ_JOBS" --target qzcache_bench
echo "== running"
"$dir/bench/qzcache_bench" "$@"
