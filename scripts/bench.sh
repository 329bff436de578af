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
#   --wan    after the local part, the wide-area part: 400 small CT images in
#            8 series and 400 of 512 x 512, each sender reaching its peer
#            through ../shared/tools/wanlink.py ($WANLINK) at 0, 2, 10 and 40 ms
#            round trip: Varnelo with 1, 2, 4 and 8 associations (1 and 4 in
#            the window too), storescu and dcmsend, all to storescp; Varnelo
#            to Orthanc by DICOM (1 and 4) and by STOW-RS, headless and in the
#            window (the large images: headless only, fewer senders). Its section of
#            docs/performance.md is replaced, the rest kept. Without
#            wanlink.py it is skipped with a message. About 25 minutes with
#            3 runs on 2 cores (the local part takes longer).
#   --wan-only  the wide-area part alone (no local data is made).
#            It runs each case 3 times unless --reps says otherwise.
#   --delays LIST  the wide-area round trips in ms (default 0,2,10,40; the
#            goals need 0 and 10).
# VARNELO_BENCH_BUILD: the release build's folder; VARNELO_BENCH_JOBS: ninja's
# jobs for it (ninja's default when unset).
set -euo pipefail

orig_args="$*"
repo="$(cd "$(dirname "$0")/.." && pwd)"
# a release build of its own for each checkout
build="${VARNELO_BENCH_BUILD:-/tmp/varnelo-bench-release-$(printf %s "$repo" | md5sum | cut -c1-8)}"
reps=5
wan_reps=3
quick=0
only=""
against=""
wan=0
local_part=1
delays="0,2,10,40"
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; wan_reps="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    --only) only="$2"; shift 2 ;;
    --against) against="$2"; shift 2 ;;
    --wan) wan=1; shift ;;
    --wan-only) wan=1; local_part=0; shift ;;
    --delays) delays="$2"; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

bash "$repo/scripts/deps.sh" bench
for tool in storescp storescu dcmsend dcmmkdir dcmodify python3 cmake ninja Xvfb xdotool curl fusermount3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

echo "== building (release) in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_BUILD_TESTS=ON >/dev/null
ninja -C "$build" ${VARNELO_BENCH_JOBS:+-j "$VARNELO_BENCH_JOBS"} Varnelo varnelo-bench varnelo-mkdata >/dev/null

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
  ninja -C "$src-build" ${VARNELO_BENCH_JOBS:+-j "$VARNELO_BENCH_JOBS"} Varnelo varnelo-bench >/dev/null
  baseline=(--baseline "$src-build/bin/varnelo-bench" --baseline-program "$src-build/bin/Varnelo" --baseline-label "$rev")
fi

data="$(mktemp -d /tmp/varnelo-bench-data.XXXXXX)"
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    # the loop, then the Xvfb it started
    local servers
    servers="$(pgrep -P "$xvfb_pid" || true)"
    kill "$xvfb_pid" 2>/dev/null || true
    [ -n "$servers" ] && kill $servers 2>/dev/null || true
  fi
  rm -rf "$data"
}
trap cleanup EXIT
mk="$build/bin/varnelo-mkdata"

real=2000; orthanc=400; large=100; folder=10000; rejected=100000
if [ "$quick" = 1 ]; then real=200; orthanc=40; large=10; folder=1000; rejected=10000; fi

wanlink="${WANLINK:-$repo/../shared/tools/wanlink.py}"
if [ "$wan" = 1 ] && [ ! -f "$wanlink" ]; then
  echo "== no $wanlink: the wide-area part is skipped"
  wan=0
fi

make_local_data() {
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
}

# 400 small CT images: 8 series of one study in one folder (mkdata makes a
# study of one series each time); 400 of 512 x 512
make_wan_data() {
  echo "== making the wide-area data in $data"
  local study
  study="2.25.$(python3 -c 'import uuid; print(uuid.uuid4().int)')"
  mkdir -p "$data/wan-small"
  for k in 1 2 3 4 5 6 7 8; do
    "$mk" ct --clinical --count 50 --out "$data/wan-series/$k"
    dcmodify -nb -m "(0020,000d)=$study" -m "(0020,0011)=$k" "$data/wan-series/$k"/* >/dev/null
    for f in "$data/wan-series/$k"/*; do ln "$f" "$data/wan-small/S${k}_${f##*/}.dcm"; done
  done
  "$mk" ct --clinical --count 400 --rows 512 --cols 512 --out "$data/wan-large"
  # named .dcm, the window asks nothing about a scan without suffix
  for f in "$data/wan-large"/*; do mv "$f" "$f.dcm"; done
  sync
}
[ "$local_part" = 1 ] && make_local_data
[ "$wan" = 1 ] && make_wan_data

# A display of its own for the program's window
display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
# started again should it end under the run (it has been seen to vanish)
( while :; do Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1; sleep 0.5; done ) &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

echo "== running (load average $(cut -d' ' -f1-3 /proc/loadavg))"
mkdir -p "$repo/docs"
wan_section=""
if [ "$local_part" = 1 ]; then
  if [ -n "$only" ]; then
    "$build/bin/varnelo-bench" run --data "$data" --reps "$reps" --display "$display" --program "$build/bin/Varnelo" \
      --only "$only" ${baseline[@]+"${baseline[@]}"} || status=$?
  else
    # the local part writes the whole file: keep the last wide-area section for a run without --wan
    if [ "$wan" = 0 ] && [ -f "$repo/docs/performance.md" ]; then
      wan_section="$(sed -n '/^<!-- wide-area -->$/,/^<!-- \/wide-area -->$/p' "$repo/docs/performance.md")"
    fi
    "$build/bin/varnelo-bench" run --data "$data" --reps "$reps" --display "$display" --program "$build/bin/Varnelo" \
      ${baseline[@]+"${baseline[@]}"} --markdown "$repo/docs/performance.md" --command "scripts/bench.sh${orig_args:+ $orig_args}" || status=$?
    # what the figures mean and what was changed for them, kept by hand
    if [ -f "$repo/bench/performance-notes.md" ]; then
      { echo; cat "$repo/bench/performance-notes.md"; } >> "$repo/docs/performance.md"
    fi
    if [ -n "$wan_section" ]; then
      printf '\n%s\n' "$wan_section" >> "$repo/docs/performance.md"
    fi
  fi
fi
if [ "$wan" = 1 ]; then
  wan_args=(wan --data "$data" --wanlink "$wanlink" --delays "$delays" --reps "$wan_reps" --display "$display"
            --program "$build/bin/Varnelo")
  if [ -n "$only" ]; then
    wan_args+=(--only "$only")
  else
    wan_args+=(--markdown "$repo/docs/performance.md" --command "scripts/bench.sh${orig_args:+ $orig_args}")
  fi
  "$build/bin/varnelo-bench" "${wan_args[@]}" || status=$?
fi
exit "${status:-0}"
