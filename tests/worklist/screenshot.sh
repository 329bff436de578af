#!/bin/sh
# Saves docs/screenshots/worklist.png from the real window on Xvfb.
# usage: tests/worklist/screenshot.sh [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$here/build}
cmake --build "$build" --target worklist_screenshot
mkdir -p "$here/docs/screenshots"
# Dates as a German workstation shows them, so the column reads like one.
LC_TIME=de_DE.UTF-8 QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  "$build/bin/worklist_screenshot" "$here/docs/screenshots/worklist.png"
echo "saved $here/docs/screenshots/worklist.png"
