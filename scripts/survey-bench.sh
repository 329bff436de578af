#!/usr/bin/env bash
# What surveying the medium before sending costs from a simulated 48x CD
# (../shared/tools/slowdrive.py or SLOWDRIVE): 1,000 CT images with a DICOMDIR
# to storescp, by DICOMDIR and by scan, with the survey ([DICOM] AskHeld=1,
# the default) and without it (AskHeld=0), alternating; a fresh mount each run.
# Usage: scripts/survey-bench.sh [BUILD_FOLDER] [IMAGES] [RUNS]
set -euo pipefail
build=$(realpath "${1:-build}")
n=${2:-1000}
runs=${3:-3}
slowdrive=${SLOWDRIVE:-$(dirname "$0")/../../shared/tools/slowdrive.py}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; fusermount3 -u "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/src/DICOM" "$work/mnt" "$work/out"
"$build/bin/varnelo-mkdata" ct --clinical --count "$n" --out "$work/src/DICOM/SE1" >/dev/null
"$build/bin/varnelo-mkdata" dicomdir "$work/src" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
TCP_NODELAY=1 storescp -aet STORESCP -od "$work/out" --ignore "$port" >/dev/null 2>&1 &
sleep 0.5
one() {  # MODE FOLDER [--no-held]
  /usr/bin/python3 "$slowdrive" "$work/src" "$work/mnt" --rate 7.2 >"$work/drive.log" 2>&1 &
  local p=$!
  for _ in $(seq 100); do [ -e "$work/mnt/DICOMDIR" ] && break; sleep 0.1; done
  "$build/bin/varnelo-bench" child "$1" "$2" "$port" STORESCP ${3:-} | sed -n 's/^imported=\([0-9]*\) seconds=\([0-9.]*\).*/\2/p'
  kill "$p"; wait "$p" 2>/dev/null || true
  for _ in $(seq 50); do mountpoint -q "$work/mnt" || break; sleep 0.1; done
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for mode in dicomdir scan; do
  folder="$work/mnt"; [ "$mode" = scan ] && folder="$work/mnt/DICOM/SE1"
  : >"$work/on"; : >"$work/off"
  for r in $(seq "$runs"); do
    if ((r % 2)); then one "$mode" "$folder" --no-held >>"$work/off"; one "$mode" "$folder" >>"$work/on"
    else one "$mode" "$folder" >>"$work/on"; one "$mode" "$folder" --no-held >>"$work/off"; fi
  done
  on=$(median <"$work/on"); off=$(median <"$work/off")
  echo "$mode: with the survey $(paste -sd' ' "$work/on") s, without $(paste -sd' ' "$work/off") s"
  awk -v a="$on" -v b="$off" -v m="$mode" 'BEGIN { printf "%s: median %.2f s / %.2f s = %.3f\n", m, a, b, a / b }'
done
