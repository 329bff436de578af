#!/usr/bin/env bash
# Builds the screenshot driver if needed and saves PNGs of the real main
# window and Options dialog to docs/screenshots/, drawn on an Xvfb display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNELO_BUILD_DIR:-$root/build}
out=$root/docs/screenshots

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja
fi
cmake --build "$build" -j"$(nproc)" --target varnelo_screenshots

mkdir -p "$out"
# Fixed DPI and style so that the pictures do not depend on the machine.
QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 QT_STYLE_OVERRIDE=Fusion \
  xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/bin/varnelo_screenshots" "$out"
