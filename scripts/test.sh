#!/usr/bin/env bash
# Builds Varnelo with its tests (installing what they need) and runs them all.
# The tests start their own peers (storescp, wlmscpfs) on free loopback ports.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" test
"$root/scripts/build.sh" -DVARNELO_BUILD_TESTS=ON
ctest --test-dir "${VARNELO_BUILD_DIR:-$root/build}" --output-on-failure -j"$(nproc)" "$@"
