#!/usr/bin/env bash
# Builds Varnelo in release mode, makes the benchmark's files in a temporary
# folder, starts an Xvfb display for the program's window, runs varnelo-bench
# against storescu and dcmsend (storescp and Orthanc as peers) and writes
# docs/performance.md. Usage: scripts/bench.sh [--reps N] [--quick]
#   --quick  smaller data (200 images, 10 large, 1,000 in one folder, 10,000
#            rejected) for trying the script; its table is not the one to quote.
#   --only REGEX  runs only the senders whose "case / sender / variant" matches
#            (e.g. --only 'from a drive'), and leaves docs/performance.md alone.
#   --against REV  also builds commit REV (in a folder of its own) and runs its
#            program beside this one in every local case, alternating: the
#            goals then say whether any case got slower than at REV.
# The drive cases read from ../shared/tools/slowdrive.py ($SLOWDRIVE), mounted
# with FUSE (python3-fusepy, fuse3, /dev/fuse); without it they are left out.
set -euo pipefail

orig_args="$*"
repo="$(cd "$(dirname "$0")/.." && pwd)"
# a release build of its own for each checkout
build="${VARNELO_BENCH_BUILD:-/tmp/varnelo-bench-release-$(printf %s "$repo" | md5sum | cut -c1-8)}"
reps=5
quick=0
only=""
against=""
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    --only) only="$2"; shift 2 ;;
    --against) against="$2"; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

bash "$repo/scripts/deps.sh" bench
for tool in storescp storescu dcmsend dcmmkdir cmake ninja Xvfb xdotool curl fusermount3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

echo "== building (release) in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_BUILD_TESTS=ON >/dev/null
ninja -C "$build" Varnelo varnelo-bench varnelo-mkdata >/dev/null

baseline=()
if [ -n "$against" ]; then
  rev="$(git -C "$repo" rev-parse --short "$against^{commit}")"
  src="/tmp/varnelo-bench-at-$rev"
  if [ ! -f "$src/CMakeLists.txt" ]; then
    rm -rf "$src" && mkdir -p "$src"
    git -C "$repo" archive "$rev" | tar -x -C "$src"
  fi
  echo "== building $rev (release) in $src-build"
  cmake -S "$src" -B "$src-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_BUILD_TESTS=ON >/dev/null
  ninja -C "$src-build" Varnelo varnelo-bench >/dev/null
  baseline=(--baseline "$src-build/bin/varnelo-bench" --baseline-program "$src-build/bin/Varnelo" --baseline-label "$rev")
fi

data="$(mktemp -d /tmp/varnelo-bench-data.XXXXXX)"
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$data"
}
trap cleanup EXIT
mk="$build/bin/varnelo-mkdata"

real=2000; orthanc=400; large=100; folder=10000; rejected=100000
if [ "$quick" = 1 ]; then real=200; orthanc=40; large=10; folder=1000; rejected=10000; fi

echo "== making data in $data"
t0=$(date +%s)
# CT images with a scanner's header, and a DICOMDIR over them
"$mk" ct --clinical --count "$real" --out "$data/real/DICOM"
"$mk" dicomdir "$data/real"
# a major vendor's CT header (pydicom's CT_small.dcm), copied
vendor_file=/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm
if [ -f "$vendor_file" ]; then
  mkdir -p "$data/vendor"
  for i in $(seq -f '%06g' 1 "$real"); do cp "$vendor_file" "$data/vendor/CT$i.dcm"; done
fi
# the same size with a minimal header, for comparison
"$mk" ct --count "$real" --out "$data/generated"
mkdir -p "$data/orthanc"
ct=("$data/real/DICOM"/*)
for f in "${ct[@]:0:$orthanc}"; do ln "$f" "$data/orthanc/"; done
# 512 x 512 x 16 bit x 40 frames: about 20 MB each
"$mk" ct --count "$large" --rows 512 --cols 512 --frames 40 --out "$data/large"
# the same size as lossless JPEG 2000, sent decoded to the uncompressed-only storescp
"$mk" ct --count 3 --rows 512 --cols 512 --frames 40 --syntax j2k --out "$data/j2k"
# one folder of many images, as written and as Linux shows a plain ISO 9660
# disc (lower case, the DICOMDIR unchanged): the same files, linked
"$mk" ct --clinical --count "$folder" --out "$data/upper10k/DICOM"
"$mk" dicomdir "$data/upper10k"
mkdir -p "$data/lower10k/dicom"
ln "$data/upper10k/DICOMDIR" "$data/lower10k/dicomdir"
(cd "$data/upper10k/DICOM" && for f in *; do ln "$f" "$data/lower10k/dicom/${f,,}"; done)
# the CT images as a CD or DVD holds them, for the simulated drive: a DICOMDIR
# made by dcmmkdir, and one whose records follow no order of the files; the
# large images as a DVD
mkdir -p "$data/drive/cd/DICOM" "$data/drive/shuffled/DICOM" "$data/drive/large/DICOM"
for f in "$data/real/DICOM"/*; do
  ln "$f" "$data/drive/cd/DICOM/"
  ln "$f" "$data/drive/shuffled/DICOM/"
done
(cd "$data/drive/cd" && dcmmkdir --recurse --invent +D DICOMDIR DICOM >/dev/null)
"$mk" dicomdir "$data/drive/shuffled" --shuffled
for f in "$data/large"/*; do ln "$f" "$data/drive/large/DICOM/"; done
mkdir -p "$data/rejected"
(cd "$data/rejected" && seq -f 'FILE%06g.txt' 1 "$rejected" | xargs touch)
sync
echo "   data made in $(( $(date +%s) - t0 )) s"

# A display of its own for the program's window
display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

echo "== running (load average $(cut -d' ' -f1-3 /proc/loadavg))"
mkdir -p "$repo/docs"
if [ -n "$only" ]; then
  "$build/bin/varnelo-bench" run --data "$data" --reps "$reps" --display "$display" --program "$build/bin/Varnelo" \
    --only "$only" ${baseline[@]+"${baseline[@]}"} || status=$?
  exit "${status:-0}"
fi
"$build/bin/varnelo-bench" run --data "$data" --reps "$reps" --display "$display" --program "$build/bin/Varnelo" \
  ${baseline[@]+"${baseline[@]}"} --markdown "$repo/docs/performance.md" --command "scripts/bench.sh${orig_args:+ $orig_args}" || status=$?
# what the figures mean and what was changed for them, kept by hand
if [ -f "$repo/bench/performance-notes.md" ]; then
  { echo; cat "$repo/bench/performance-notes.md"; } >> "$repo/docs/performance.md"
fi
exit "${status:-0}"
