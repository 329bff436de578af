#!/usr/bin/env bash
# Builds Varnelo with its tests (installing what they need) and runs them all.
# The tests start their own peers (storescp, wlmscpfs) on free loopback ports.
#
# With CI set (as .ci/run has it), warnings are errors, and the suite runs a
# second time in build-asan/ (or $VARNELO_ASAN_BUILD_DIR), built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" test

ci=()
if [[ -n "${CI:-}" ]]; then ci=(-DVARNELO_WERROR=ON); fi

start=$SECONDS
"$root/scripts/build.sh" -DVARNELO_BUILD_TESTS=ON "${ci[@]}"
ctest --test-dir "${VARNELO_BUILD_DIR:-$root/build}" --output-on-failure -j"$(nproc)" "$@"
echo "test.sh: normal build and tests took $((SECONDS - start)) s"

if [[ -n "${CI:-}" ]]; then
  start=$SECONDS
  asan=${VARNELO_ASAN_BUILD_DIR:-$root/build-asan}
  VARNELO_BUILD_DIR=$asan "$root/scripts/build.sh" -DVARNELO_BUILD_TESTS=ON -DVARNELO_BUILD_BENCH=OFF \
    -DVARNELO_WERROR=ON -DVARNELO_SANITIZE=ON
  ctest --test-dir "$asan" --output-on-failure -j"$(nproc)" "$@"
  echo "test.sh: sanitizer build and tests took $((SECONDS - start)) s"
fi
