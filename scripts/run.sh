#!/usr/bin/env bash
# Builds Varnelo (installing what it needs) and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build
"$root/scripts/build.sh" -DVARNELO_BUILD_TESTS=OFF
exec "${VARNELO_BUILD_DIR:-$root/build}/bin/Varnelo"
