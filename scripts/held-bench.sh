#!/usr/bin/env bash
# What asking the PACS first costs: the same 2,000-image import to a fresh
# Orthanc with the check and without it ([DICOM] AskHeld=0), alternating, and
# a second import of the same medium, which finds everything held and sends
# nothing. Prints the median of each and the ratios.
# Usage: scripts/held-bench.sh [BUILD_FOLDER] [IMAGES] [RUNS]
set -euo pipefail
build=${1:-build}
n=${2:-2000}
runs=${3:-3}
bin="$build/bin"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
"$bin/varnelo-mkdata" ct --clinical --count "$n" --out "$work/cd" >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
orthanc_pid=
start_orthanc() {
  [ -n "$orthanc_pid" ] && { kill "$orthanc_pid"; wait "$orthanc_pid" 2>/dev/null || true; }
  rm -rf "$work/orthanc"; mkdir -p "$work/orthanc"
  cat > "$work/orthanc/config.json" <<JSON
{ "Name": "bench", "StorageDirectory": "$work/orthanc/db", "IndexDirectory": "$work/orthanc/db",
  "DicomAet": "ORTHANC", "DicomPort": $port, "HttpServerEnabled": false, "RemoteAccessAllowed": false,
  "StorageCompression": false, "DicomAlwaysAllowFind": true, "Plugins": [] }
JSON
  /usr/sbin/Orthanc "$work/orthanc/config.json" >"$work/orthanc/log" 2>&1 &
  orthanc_pid=$!
  for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/$port) 2>/dev/null && return; sleep 0.1; done
  echo "Orthanc did not start" >&2; exit 1
}
seconds() { "$bin/varnelo-bench" child scan "$work/cd" "$port" ORTHANC "$@" | sed -n 's/^imported=\([0-9]*\) seconds=\([0-9.]*\).*/\2 \1/p'; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

: >"$work/on"; : >"$work/off"; : >"$work/again"
off_run() { start_orthanc; read -r s i < <(seconds --no-held); echo "$s" >>"$work/off"; echo "run $r, check off: $s s, $i sent"; }
on_run() {
  start_orthanc; read -r s i < <(seconds); echo "$s" >>"$work/on"; echo "run $r, check on: $s s, $i sent"
  read -r s i < <(seconds); echo "$s" >>"$work/again"; echo "run $r, second import: $s s, $i sent"
}
# which goes first alternates: Orthanc and the page cache drift over a series
for r in $(seq "$runs"); do
  if ((r % 2)); then off_run; on_run; else on_run; off_run; fi
done
off=$(median <"$work/off"); on=$(median <"$work/on"); again=$(median <"$work/again")
echo "median: check off $off s, check on $on s, second import $again s"
awk -v a="$on" -v b="$off" -v c="$again" 'BEGIN { printf "check on / off: %.3f (goal <= 1.05); second / first: %.3f (goal <= 0.20)\n", a / b, c / a }'
