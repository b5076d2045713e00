#!/usr/bin/env bash
# Cross-builds the DLL, the tool and every test for 64-bit Windows with mingw-w64 and runs the
# whole suite under wine. Warnings are errors.
#   scripts/windows.sh            build and test
#   scripts/windows.sh --build    build only
# The build lands in build/windows (the DLL and every program in build/windows/bin). libxml2
# (from Debian's source package) and googletest (from the sources Debian's googletest package
# installs) are built static for mingw once into build/windows-deps/prefix and reused; CLI11 and
# nlohmann-json are header-only and copied there from their Debian packages. Wine keeps its
# own prefix in build/windows-wine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build_only=0
[ "${1:-}" = "--build" ] && build_only=1

QZ_WINDOWS_PACKAGES=(cmake make dpkg-dev g++-mingw-w64-x86-64-posix mingw-w64-tools wine64
    googletest libcli11-dev nlohmann-json3-dev)
toolchain="$QZ_ROOT/cmake/mingw-w64-x86_64.cmake"
deps="$QZ_ROOT/build/windows-deps"
prefix="$deps/prefix"
dir="$QZ_ROOT/build/windows"
export WINEPREFIX="$QZ_ROOT/build/windows-wine"
export WINEDEBUG=-all
# No wine dialogs (Mono, Gecko) while the prefix is made: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_dir=/usr/lib/wine

timings=()
# Sets `cpu` to the processor seconds that this script's finished children have used. (The
# wine server runs as one of them, and counts once it ends.)
cpu=0
ticks="$(getconf CLK_TCK)"
children_cpu() {
    local fields
    read -ra fields </proc/$$/stat  # cutime and cstime
    cpu=$(((fields[15] + fields[16]) / ticks))
}
# timed NAME COMMAND...: runs the command and keeps how long it took, and the processor time
# it used, which tells a busy machine (time well above processor time over the cores) apart.
timed() {
    local name="$1"
    shift
    local start="${EPOCHREALTIME/[.,]/}" before
    children_cpu
    before=$cpu
    "$@"
    local micros=$((${EPOCHREALTIME/[.,]/} - start))
    children_cpu
    timings+=("$(printf '%-26s %4d.%d s   (processor %d s)' "$name" $((micros / 1000000)) \
        $((micros / 100000 % 10)) $((cpu - before)))")
}

# Runs a dependency's configure, build and install quietly; its log is shown on failure.
build_dependency() {
    local name="$1" source="$2"
    shift 2
    local log="$deps/$name.log"
    {
        cmake -S "$source" -B "$deps/$name-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" &&
            cmake --build "$deps/$name-build" -j "$QZ_JOBS" &&
            cmake --install "$deps/$name-build"
    } >"$log" 2>&1 || {
        tail -n 60 "$log" >&2
        echo "windows: building $name failed; the whole log is $log" >&2
        return 1
    }
}

# apt-get source needs a deb-src entry for each deb one: a twin of the machine's .sources
# file (or of its sources.list lines) with the type changed.
add_source_lists() {
    grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "windows: apt-get source needs deb-src entries; run this script as root once" >&2
        exit 1
    fi
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        grep -qE '^Types:[[:space:]]*deb[[:space:]]*$' "$file" 2>/dev/null || continue
        sed -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$file" \
            >"/etc/apt/sources.list.d/$(basename "$file" .sources)-src.sources"
    done
    if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/debian-src.list
    fi
    # Other builds on the machine may hold apt's lock for a while.
    apt-get -o DPkg::Lock::Timeout=300 update -q >/dev/null
}

libxml2_source() {
    [ -f "$prefix/lib/libxml2.a" ] && return 0
    add_source_lists
    rm -rf "$deps/libxml2-source"
    mkdir -p "$deps/libxml2-source"
    (cd "$deps/libxml2-source" && apt-get source -q libxml2 >"$deps/libxml2-source.log" 2>&1) || {
        cat "$deps/libxml2-source.log" >&2
        return 1
    }
}

libxml2() {
    [ -f "$prefix/lib/libxml2.a" ] && return 0
    local source
    source="$(find "$deps/libxml2-source" -mindepth 1 -maxdepth 1 -type d -name 'libxml2-*' | head -n 1)"
    [ -n "$source" ] || { echo "windows: apt-get source gave no libxml2 folder" >&2; return 1; }
    # Only the parser: no encodings beyond the built-in ones, no compression, no network.
    build_dependency libxml2 "$source" -DCMAKE_C_FLAGS=-DLIBXML_STATIC \
        -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_ZLIB=OFF \
        -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF \
        -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_MODULES=OFF -DLIBXML2_WITH_PROGRAMS=OFF \
        -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_THREADS=ON
}

googletest() {
    [ -f "$prefix/lib/libgtest.a" ] && return 0
    build_dependency googletest /usr/src/googletest -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
}

# The header-only libraries with their package configs, which find their headers relative to
# themselves.
header_only() {
    [ -f "$prefix/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake" ] &&
        [ -f "$prefix/share/cmake/CLI11/CLI11Config.cmake" ] && return 0
    mkdir -p "$prefix/include" "$prefix/share/cmake"
    cp -r /usr/include/CLI /usr/include/nlohmann "$prefix/include/"
    cp -r /usr/share/cmake/CLI11 /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
}

# Line tables only (-g1): backtraces keep their files and lines, and the build takes a third
# less time than with full debugging information. The Python module and the viewer are Linux
# only: the module is for Debian's interpreter, and cpp-httplib is not in the prefix.
configure_and_build() {
    qz_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQZCACHE_WINDOWS_PREFIX="$prefix" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
        -DQZCACHE_WERROR=ON -DQZCACHE_BUILD_PYTHON=OFF -DQZCACHE_BUILD_VIEWER=OFF
}

# Wine makes its prefix on first use; a server kept alive for the whole run spares every test
# program that start-up. It runs as this script's child, so that its processor time is counted
# and it ends with the script. (One may be running for this prefix already: it is used.)
wine_server=""
start_wine() {
    "$wine_dir/wineserver" -f -p 2>/dev/null &
    wine_server=$!
    "$wine_dir/wine64" wineboot --init >"$dir.wineboot.log" 2>&1 || {
        cat "$dir.wineboot.log" >&2
        return 1
    }
}
stop_wine() {
    "$wine_dir/wineserver" -k 2>/dev/null || true
    [ -z "$wine_server" ] || wait "$wine_server" 2>/dev/null || true
}

# The timings are printed whether the tests pass or not.
status=0
run_tests() { ctest --test-dir "$dir" --output-on-failure -j "$QZ_JOBS" || status=$?; }

qz_require_packages "${QZ_WINDOWS_PACKAGES[@]}"
mkdir -p "$deps" "$WINEPREFIX"
total_start="${EPOCHREALTIME/[.,]/}"
read -r load_before _ </proc/loadavg
echo "== windows: dependencies in $prefix"
timed "libxml2 source" libxml2_source
timed "libxml2" libxml2
timed "googletest" googletest
timed "CLI11, nlohmann-json" header_only
echo "== windows: wine prefix in $WINEPREFIX"
trap stop_wine EXIT
timed "wine prefix" start_wine
echo "== windows: building in $dir"
timed "build" configure_and_build
if [ "$build_only" -eq 0 ]; then
    echo "== windows: testing under wine"
    timed "tests under wine" run_tests
fi
stop_wine
total=$((${EPOCHREALTIME/[.,]/} - total_start))
read -r load_after _ </proc/loadavg
printf '  %s\n' "${timings[@]}"
children_cpu
printf '  %-26s %4d.%d s   (processor %d s, wine server included)\n' "total" $((total / 1000000)) \
    $((total / 100000 % 10)) "$cpu"
echo "  load average $load_before at the start, $load_after at the end, on $(nproc) processors"
[ "$status" -eq 0 ] || exit "$status"
echo "Windows build passed (the DLL and every program are in $dir/bin)."
