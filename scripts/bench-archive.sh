#!/usr/bin/env bash
# What a ZIP archive or a disc image costs against the same images in a
# folder: a whole import run (ImportRun::Run, as the progress window starts
# it, headless in build/bin/varnelo-archive-bench) of N CT images with a
# clinical header, sent to storescp --ignore on 127.0.0.1, from the folder,
# from a ZIP of it (Debian's zip, deflate) and from an ISO of it (xorriso,
# Joliet and Rock Ridge). REPS runs of each, alternating folder, ZIP, ISO, in
# both walks (DICOMDIR and the scan of files); wall time and peak RSS of each
# run from /usr/bin/time -v, then the medians and the ratios to the folder
# (goals: time at most 1.2 x, peak RSS at most 64 MB above the folder's).
#
# Usage: scripts/bench-archive.sh [--build DIR] [--reps N] [--count N] [--work DIR]
#   --build DIR  a release build with varnelo-archive-bench and varnelo-mkdata
#                (default build)
#   --reps N     runs of each source and walk (default 3)
#   --count N    images (default 2000, 416 x 416, about 700 MB)
#   --work DIR   where the data is made and kept for the next run (default /tmp/varnelo-bench-archive)
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build"
reps=3
count=2000
work=/tmp/varnelo-bench-archive
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
for tool in storescp zip xorriso /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
bench="$build/bin/varnelo-archive-bench"
[ -x "$bench" ] || { echo "no $bench: build it first" >&2; exit 1; }

# ---- the data: the same images as a folder, a ZIP and an ISO ---------------------
data="$work/medium-$count"
if [ ! -f "$work/medium-$count.iso" ] || [ "$(find "$data/DICOM" -type f 2>/dev/null | wc -l)" != "$count" ]; then
  echo "== making $count CT images and a DICOMDIR in $data, then the ZIP and the ISO"
  rm -rf "$data" "$work/medium-$count.zip" "$work/medium-$count.iso"
  mkdir -p "$work"
  "$build/bin/varnelo-mkdata" ct --clinical --rows 416 --cols 416 --count "$count" --out "$data/DICOM" >/dev/null
  "$build/bin/varnelo-mkdata" dicomdir "$data" >/dev/null
  (cd "$data" && zip -q -r "$work/medium-$count.zip" .)
  xorriso -as mkisofs -quiet -J -R -o "$work/medium-$count.iso" "$data"
fi
echo "   folder $(du -sb "$data" | cut -f1) bytes, zip $(stat -c %s "$work/medium-$count.zip"), iso $(stat -c %s "$work/medium-$count.iso")"

# ---- the peer -------------------------------------------------------------------
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
storescp --ignore --aetitle STORESCP "$port" >/dev/null 2>&1 &
peer=$!
trap 'kill "$peer" 2>/dev/null; wait "$peer" 2>/dev/null || true' EXIT
sleep 0.5

results="$work/results.txt"
: >"$results"
for walk in dicomdir scan; do
  for rep in $(seq 1 "$reps"); do
    for source in folder zip iso; do
      case "$source" in
        folder) path="$data" ;;
        *) path="$work/medium-$count.$source" ;;
      esac
      out="$(/usr/bin/time -v "$bench" "$walk" "$path" "$port" STORESCP 2>"$work/time.txt")" || {
        echo "run failed: $walk $source: $out" >&2
        exit 1
      }
      imported=$(sed -n 's/.*imported=\([0-9]*\).*/\1/p' <<<"$out")
      [ "$imported" = "$count" ] || { echo "$walk $source imported $imported of $count: $out" >&2; exit 1; }
      wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s}' "$work/time.txt")
      rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
      printf '%-8s %-6s run %d: %6.2f s  %7d KB peak RSS\n' "$walk" "$source" "$rep" "$wall" "$rss"
      echo "$walk $source $wall $rss" >>"$results"
    done
  done
done

echo
echo "medians of $reps runs (time, peak RSS; ratio and difference to the folder):"
python3 - "$results" <<'EOF'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
ok = True
for walk in ("dicomdir", "scan"):
    med = {}
    for source in ("folder", "zip", "iso"):
        r = [(float(w), int(k)) for (wk, s, w, k) in rows if wk == walk and s == source]
        med[source] = (statistics.median(t for t, _ in r), statistics.median(k for _, k in r))
    base_t, base_k = med["folder"]
    for source, (t, k) in med.items():
        ratio, extra = t / base_t, (k - base_k) / 1024
        good = source == "folder" or (ratio <= 1.2 and extra <= 64)
        ok = ok and good
        print(f"  {walk:8} {source:6} {t:6.2f} s  x{ratio:4.2f}   {k / 1024:7.1f} MB  {extra:+6.1f} MB  {'' if source == 'folder' else ('ok' if good else 'MISSED')}")
sys.exit(0 if ok else 3)
EOF
