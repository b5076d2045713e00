#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour sanitizers) into
# build/fuzz and runs them.
#   scripts/fuzz.sh TARGET SECONDS   fuzzes one target (dataFile, description, pc2, mdd, cache)
#                                    for SECONDS, starting from the seeds the library writes
#                                    and the regression inputs in tests/corpus/TARGET
#   scripts/fuzz.sh --ci SECONDS     replays every regression input, then fuzzes each target
#                                    for SECONDS
# New inputs found while fuzzing go to build/fuzz/corpus/TARGET; crashes to
# build/fuzz/artifacts/TARGET. A crash found is kept in tests/corpus/TARGET under a name that
# says what it reproduced.
set -euo pipefail
source "$(dirname "$0")/common.sh"

QZ_FUZZ_TARGETS=(dataFile description pc2 mdd cache)
QZ_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

if [ $# -ne 2 ]; then
    echo "usage: scripts/fuzz.sh TARGET|--ci SECONDS" >&2
    exit 2
fi
what="$1"
seconds="$2"

qz_require_packages "${QZ_BUILD_PACKAGES[@]}" "${QZ_FUZZ_PACKAGES[@]}"
dir="$QZ_ROOT/build/fuzz"
mkdir -p "$dir"

build_fuzzers() {
    echo "== fuzz: building"
    CC=clang CXX=clang++ qz_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZCACHE_WERROR=ON \
        -DQZCACHE_BUILD_FUZZ=ON -DQZCACHE_BUILD_TESTS=OFF -DQZCACHE_BUILD_TOOLS=OFF \
        -DQZCACHE_BUILD_BENCH=OFF -- fuzzSeeds "${QZ_FUZZ_TARGETS[@]/%/_fuzz}"
    rm -rf "$dir/seeds"
    "$dir/fuzz/fuzzSeeds" "$dir/seeds"
}

# Runs every input of tests/corpus/TARGET once; libFuzzer stops at the first failure.
replay() {
    local target="$1"
    local corpus="$QZ_ROOT/tests/corpus/$target"
    local inputs=()
    [ -d "$corpus" ] && mapfile -t inputs < <(find "$corpus" -type f | sort)
    echo "== fuzz: $target: replaying ${#inputs[@]} regression inputs"
    [ ${#inputs[@]} -eq 0 ] && return 0
    "$dir/fuzz/${target}_fuzz" -timeout=60 -rss_limit_mb=2048 "${inputs[@]}" >"$dir/$target.replay.log" 2>&1 || {
        tail -n 60 "$dir/$target.replay.log" >&2
        return 1
    }
}

fuzz() {
    local target="$1"
    local work="$dir/corpus/$target"
    local artifacts="$dir/artifacts/$target/"
    mkdir -p "$work" "$artifacts" "$QZ_ROOT/tests/corpus/$target"
    echo "== fuzz: $target: fuzzing for $seconds s"
    # -timeout: an input that takes this long counts as a hang, and fails.
    "$dir/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts" \
        "$work" "$dir/seeds/$target" "$QZ_ROOT/tests/corpus/$target" \
        >"$dir/$target.fuzz.log" 2>&1 || {
        tail -n 80 "$dir/$target.fuzz.log" >&2
        echo "fuzz: $target failed; the input is in $artifacts" >&2
        return 1
    }
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)" \
        "$dir/$target.fuzz.log" || true
}

build_fuzzers
if [ "$what" = "--ci" ]; then
    for target in "${QZ_FUZZ_TARGETS[@]}"; do replay "$target"; done
    for target in "${QZ_FUZZ_TARGETS[@]}"; do fuzz "$target"; done
else
    case " ${QZ_FUZZ_TARGETS[*]} " in
    *" $what "*) ;;
    *) echo "fuzz: unknown target '$what' (one of: ${QZ_FUZZ_TARGETS[*]})" >&2; exit 2 ;;
    esac
    replay "$what"
    fuzz "$what"
fi
