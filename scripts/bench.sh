#!/usr/bin/env bash
# Builds Varnelo in release mode, makes the benchmark's files in a temporary
# folder, runs varnelo-bench against storescu and dcmsend and writes
# docs/performance.md. Usage: scripts/bench.sh [--reps N] [--quick]
#   --quick  smaller data (200 small, 10 large, 10,000 rejected, no 20,000 case)
#            for trying the script; its table is not the one to quote.
set -euo pipefail

orig_args="$*"
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${VARNELO_BENCH_BUILD:-/tmp/varnelo-bench-release}"
reps=3
quick=0
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

for tool in storescp storescu dcmsend cmake ninja; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

echo "== building (release) in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_BUILD_TESTS=ON >/dev/null
ninja -C "$build" varnelo-bench varnelo-mkdata >/dev/null

data="$(mktemp -d /tmp/varnelo-bench-data.XXXXXX)"
trap 'rm -rf "$data"' EXIT
mk="$build/bin/varnelo-mkdata"

small=2000; large=100; rejected=100000; big=20000
if [ "$quick" = 1 ]; then small=200; large=10; rejected=10000; big=0; fi

echo "== making data in $data"
t0=$(date +%s)
mkdir -p "$data/small"
"$mk" ct --count "$small" --out "$data/small/DICOM"
"$mk" dicomdir "$data/small"
# 512 x 512 x 16 bit x 40 frames: about 20 MB each
"$mk" ct --count "$large" --rows 512 --cols 512 --frames 40 --out "$data/large"
# the same size as lossless JPEG 2000, sent decoded to the uncompressed-only storescp
"$mk" ct --count 3 --rows 512 --cols 512 --frames 40 --syntax j2k --out "$data/j2k"
mkdir -p "$data/rejected"
(cd "$data/rejected" && seq -f 'FILE%06g.txt' 1 "$rejected" | xargs touch)
"$mk" ct --count 1000 --out "$data/rss1k"
if [ "$big" -gt 0 ]; then "$mk" ct --count "$big" --out "$data/rss20k"; fi
echo "   data made in $(( $(date +%s) - t0 )) s"

echo "== running"
mkdir -p "$repo/docs"
"$build/bin/varnelo-bench" run --data "$data" --reps "$reps" \
  --markdown "$repo/docs/performance.md" --command "scripts/bench.sh${orig_args:+ $orig_args}" || status=$?
# what the figures mean and what was changed for them, kept by hand
if [ -f "$repo/bench/performance-notes.md" ]; then
  { echo; cat "$repo/bench/performance-notes.md"; } >> "$repo/docs/performance.md"
fi
exit "${status:-0}"
