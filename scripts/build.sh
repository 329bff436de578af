#!/usr/bin/env bash
# Configures and builds into build/ (or $VARNELO_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNELO_BUILD_DIR:-$root/build}
type=${VARNELO_BUILD_TYPE:-RelWithDebInfo}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${launcher[@]}" "$@"
cmake --build "$build" -j"$(nproc)"
