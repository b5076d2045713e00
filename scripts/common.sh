# Shared by the scripts: Debian packages and the CMake build.
# shellcheck shell=bash

QZ_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QZ_JOBS="${QZ_JOBS:-$(nproc 2>/dev/null || echo 2)}"

# Installs the Debian packages given when any is missing: with apt-get as root, otherwise
# prints the command to run and stops.
qz_require_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null
        apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

QZ_BUILD_PACKAGES=(cmake make g++ pkg-config libxml2-dev libgtest-dev libcli11-dev nlohmann-json3-dev
    pybind11-dev python3-dev python3-numpy python3-pytest
    libcpp-httplib-dev)

# The npm packages that their lock files pin: three.js, which the build embeds into
# `qzcache view`, and playwright-core, which drives the browser test. Node.js 20 or later.
qz_fetch_viewer_packages() {
    command -v npm >/dev/null 2>&1 || qz_require_packages nodejs npm
    local folder
    for folder in viewer tests/viewer; do
        (cd "$QZ_ROOT/$folder" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 \
            npm ci --no-audit --no-fund --loglevel=error >/dev/null) || return 1
    done
}

# qz_build DIR [cmake options...] [-- targets...]: configures the project into DIR and builds
# it, or only the targets given after "--".
qz_build() {
    local dir="$1"
    shift
    local options=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        options+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    cmake -S "$QZ_ROOT" -B "$dir" "${options[@]}" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log" >&2
        return 1
    }
    if [ $# -gt 0 ]; then
        cmake --build "$dir" -j "$QZ_JOBS" --target "$@"
    else
        cmake --build "$dir" -j "$QZ_JOBS"
    fi
}
