#!/bin/sh
# Saves the worklist pictures in docs/screenshots from the real window on
# Xvfb: the same entries from Orthanc's worklist plugin and from wlmscpfs,
# and one name in each character set.
# usage: tests/worklist/screenshot.sh [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$here/build}
out=$here/docs/screenshots
cmake --build "$build" --target worklist_screenshot
mkdir -p "$out"
shot() {
  # Dates as a German workstation shows them, so the column reads like one.
  LC_TIME=de_DE.UTF-8 QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 QT_STYLE_OVERRIDE=Fusion \
    xvfb-run -a -s "-screen 0 1280x800x24" "$build/bin/worklist_screenshot" "$@"
  echo "saved $1"
}
shot "$out/worklist-orthanc.png" --orthanc
shot "$out/worklist-wlmscpfs.png"
shot "$out/worklist-charsets.png" --names
# The main window after Enter on a worklist row with "Change Patient ID" on.
shot "$out/worklist-picks-patient.png" --pick
