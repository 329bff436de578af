#!/usr/bin/env bash
# Runs the libFuzzer targets (clang, ASan + UBSan) for a given time each.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: imagelist dicomdir settings walk jpeg2000 charset archive
#
# SECONDS per target (default 1200); targets run side by side, one core each
# (FUZZ_JOBS, default 2). Build in $FUZZ_BUILD (default /tmp/fuzzbuild), corpus and
# crashes in $FUZZ_WORK (default $FUZZ_BUILD/work). A crash is kept as
# $FUZZ_WORK/crashes/TARGET/crash-*: copy it to fuzz/regressions/TARGET/ once
# fixed, so that the tests replay it. Exit status 1 when any target crashed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-1200}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(imagelist dicomdir settings walk jpeg2000 charset archive)
build=${FUZZ_BUILD:-/tmp/fuzzbuild}
work=${FUZZ_WORK:-$build/work}
jobs=${FUZZ_JOBS:-2}

# clang and the sanitizer runtime (Debian 12)
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/14*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  apt-get install -y clang libclang-rt-14-dev
fi

CC=clang CXX=clang++ cmake -S "$here/fuzz" -B "$build" -G Ninja >/dev/null
ninja -C "$build" >/dev/null

run_one() {
  local t=$1
  mkdir -p "$work/corpus/$t" "$work/crashes/$t" "$work/seeds/$t"
  "$build/bin/varnelo-fuzzseeds" "$t" "$work/seeds/$t" >/dev/null
  local regressions="$here/fuzz/regressions/$t"
  [ -d "$regressions" ] || regressions=""
  # fork mode goes on past a crash, so one known fault does not end the run;
  # DCMTK 3.6.7 leaks what it parsed of some damaged files (FUZZ_LEAKS=1 shows it)
  ASAN_OPTIONS="detect_leaks=${FUZZ_LEAKS:-0}" "$build/bin/fuzz_$t" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -detect_leaks="${FUZZ_LEAKS:-0}" \
    -max_total_time="$secs" -timeout=20 -rss_limit_mb=4096 \
    -artifact_prefix="$work/crashes/$t/" "$work/corpus/$t" "$work/seeds/$t" $regressions \
    >"$work/$t.log" 2>&1 || true
  local execs
  execs=$(grep -o '^#[0-9]*' "$work/$t.log" | tail -1 | tr -d '#')
  local crashes
  crashes=$(find "$work/crashes/$t" -type f | wc -l)
  echo "$t: $execs executions in ${secs}s, $crashes crash inputs in $work/crashes/$t (log $work/$t.log)"
}

status=0
running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
for t in "${targets[@]}"; do
  if [ -n "$(find "$work/crashes/$t" -type f)" ]; then status=1; fi
done
exit $status
