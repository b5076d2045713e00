#!/usr/bin/env bash
# Builds the library and runs its demo: writes, reads, plays back and converts a cache.
#   scripts/demo.sh [DIR]      DIR keeps the caches (a temporary directory by default)
set -euo pipefail
source "$(dirname "$0")/common.sh"

qz_require_packages "${QZ_BUILD_PACKAGES[@]}"
qz_fetch_viewer_packages || echo "npm ci failed: qzcache is built without view" >&2
mkdir -p "$QZ_ROOT/build"
qz_build "$QZ_ROOT/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZCACHE_BUILD_TESTS=OFF >/dev/null
status=0
"$QZ_ROOT/build/release/tools/qzcache" demo "$@" || status=$?
echo "(qzcache is $QZ_ROOT/build/release/tools/qzcache)"
exit "$status"
