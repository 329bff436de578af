#!/usr/bin/env bash
# What "Change Patient ID" with a typed new Patient ID costs on a CD drive:
# Varnelo's headless import (the real DICOMDIR walk and folder scan, as
# varnelo-bench's child runs them) of CT images with a clinical header, read
# from a simulated 48x CD (/work/shared/tools/slowdrive.py, or $SLOWDRIVE),
# sent to storescp --ignore on 127.0.0.1. Two commits are built in release
# mode, each in a git worktree and build folder of its own, and run
# alternating, REPS times each, for {DICOMDIR, scan} x {Change Patient ID on,
# off}. Every run gets a freshly mounted drive, so nothing of the medium is in
# the page cache when it starts. Prints each run (wall time of the import
# process, its own time, the drive's bytes read, seeks and busy time) and a
# table of medians with the ratio new/old and the goals (new/old at most 1.03
# for the DICOMDIR walk and 1.10 for the scan with the switch on; equal with it
# off). Other load on the machine shows in the figures: run it alone.
#
# Usage: scripts/bench-cd.sh [--reps N] [--count N] [--rate MB/s] [--old REV] [--new REV]
#                            [--id PATIENT_ID] [--no-check]
#   --reps N     runs of each case and commit (default 3)
#   --count N    images on the medium (default 2000), one patient, in DICOM/
#   --rate MB/s  the drive's rate (default 7.2, a 48x CD)
#   --old REV    the commit before the medium's patients were surveyed (default abece10)
#   --new REV    the commit to measure (default HEAD)
#   --id ID      the typed new Patient ID (default NEWPID42)
#   --no-check   skip the untimed check, from the local folder, that every image
#                arrives with the new Patient ID when the switch is on (the old
#                one when off)
# Work folders, named from the prefix $VARNELO_CD_WORK (default /tmp/vcd):
# /tmp/vcd-old and /tmp/vcd-new (git worktrees), /tmp/vcd-build-old and
# /tmp/vcd-build-new, /tmp/vcd-data-N (the medium): kept for the next run.
#
# The import is driven by a small program written and compiled here against
# each build's own libraries: varnelo-bench's "child" with the switch set and
# the new Patient ID given (varnelo-bench itself passes none). The medium: one
# folder DICOM/ of N images and a DICOMDIR over them; the scan starts at DICOM/
# (no subfolders), the DICOMDIR walk at the medium's root.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
work="${VARNELO_CD_WORK:-/tmp/vcd}"
slowdrive="${SLOWDRIVE:-/work/shared/tools/slowdrive.py}"
reps=3
count=2000
rate=7.2
old_rev=abece10
new_rev=HEAD
new_id=NEWPID42
check=1
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --old) old_rev="$2"; shift 2 ;;
    --new) new_rev="$2"; shift 2 ;;
    --id) new_id="$2"; shift 2 ;;
    --no-check) check=0; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

for tool in cmake ninja storescp dcmdump python3 fusermount3 mountpoint git; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -e /dev/fuse ] || { echo "/dev/fuse is missing" >&2; exit 1; }
/usr/bin/python3 -c 'import fusepy' 2>/dev/null || { echo "python3-fusepy is not installed" >&2; exit 1; }
[ -f "$slowdrive" ] || { echo "no $slowdrive" >&2; exit 1; }

run_dir="$(mktemp -d "$work-run.XXXXXX")"
drive_pid=""
mnt="$run_dir/cd"
peer_pid=""
import_pid=""
cleanup() {
  set +e
  if [ -n "$import_pid" ]; then
    kill "$import_pid" 2>/dev/null
    wait "$import_pid" 2>/dev/null
  fi
  if [ -n "$drive_pid" ]; then
    kill -INT "$drive_pid" 2>/dev/null
    wait "$drive_pid" 2>/dev/null
  fi
  mountpoint -q "$mnt" 2>/dev/null && fusermount3 -u "$mnt"
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
  fi
  rm -rf "$run_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- the two builds ----------------------------------------------------------

old_commit="$(git -C "$repo" rev-parse --verify "$old_rev^{commit}")"
new_commit="$(git -C "$repo" rev-parse --verify "$new_rev^{commit}")"

# The import, as varnelo-bench's child runs it, with "Change Patient ID" and
# the typed new Patient ID given:
#   cd-import scan|dicomdir FOLDER PORT AET CHANGEID(0|1) NEWID
cat > "$run_dir/cd-import.cpp" <<'EOF'
#include "BenchView.h"

#include "base/AppState.h"
#include "base/ProgramFolder.h"
#include "import/ImportRun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace varnelo;
using namespace varnelo::bench;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 7) {
        std::fprintf(stderr, "usage: cd-import scan|dicomdir FOLDER PORT AET CHANGEID NEWID\n");
        return 2;
    }
    const bool dicomDir = args[1] == QLatin1String("dicomdir");
    const QString folder = args[2];
    const QString newId = args[6];

    QTemporaryDir programDir;
    setProgramFolderForTesting(programDir.path());
    AppState& s = appState();
    s.SearchBy = dicomDir ? 1 : 2;
    s.Location = 2;
    s.ImportFolder = folder;
    s.RemoteIP = QStringLiteral("127.0.0.1");
    s.RemotePort = args[3];
    s.RemoteAET = args[4];
    s.LocalAET = QStringLiteral("VARNELO");
    s.FileSuffix = QString();
    s.WriteLog = 0;
    s.ChangeID = args[5] == QLatin1String("1");

    SilentView view;
    AbortingPrompt prompt;
    // the "New Patient ID:" box
    ImportRun run(view, prompt, [newId] { return newId; });
    QElapsedTimer timer;
    timer.start();
    view.sinceYield.start();
    if (dicomDir)
        run.SearchForDicomDir(folder);
    else
        run.ReadCdDirectory(folder, false);
    view.endOfRun();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;

    QFile errors(programDir.filePath(QStringLiteral("Logs/Error.log")));
    int errorLines = 0;
    if (errors.open(QIODevice::ReadOnly))
        errorLines = static_cast<int>(errors.readAll().count('\n'));
    std::printf("imported=%d seconds=%.4f prompts=%d errorlines=%d\n", run.ImportedCount, seconds, prompt.shown,
                errorLines);
    if (prompt.shown)
        std::printf("first prompt: %s\n", qPrintable(prompt.first));
    if (errorLines)
        std::printf("errors: %s\n", errors.seek(0) ? errors.readAll().left(600).constData() : "");
    return prompt.shown || errorLines ? 1 : 0;
}
EOF

# build LABEL COMMIT: a release build of COMMIT in $work-LABEL and
# $work-build-LABEL, and cd-import linked as varnelo-bench is.
build() {
  local label="$1" commit="$2"
  local src="$work-$label" bld="$work-build-$label"
  if [ ! -e "$src/.git" ]; then
    git -C "$repo" worktree add --detach "$src" "$commit" >/dev/null
  elif [ "$(git -C "$src" rev-parse HEAD)" != "$commit" ]; then
    git -C "$src" checkout -q --detach "$commit"
  fi
  echo "== building $label ($(git -C "$src" log -1 --format='%h %s' | cut -c1-70)) in $bld"
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_BUILD_TESTS=ON >/dev/null
  ninja -C "$bld" Varnelo varnelo-bench varnelo-mkdata >/dev/null
  local compile link
  compile="$(ninja -C "$bld" -t commands varnelo-bench | grep -- '-c [^ ]*/bench/ImportBench\.cpp$')"
  link="$(ninja -C "$bld" -t commands varnelo-bench | grep -- '-o bin/varnelo-bench ')"
  compile="${compile%% -MD *}"
  (cd "$bld" && $compile -I"$src/bench" -o "$run_dir/cd-import-$label.o" -c "$run_dir/cd-import.cpp")
  link="${link#: && }"
  link="${link% && :}"
  link="$(printf '%s' "$link" | sed -E "s# bench/CMakeFiles/varnelo-bench\.dir/[^ ]*\.o##g; s#-o bin/varnelo-bench#$run_dir/cd-import-$label.o -o $run_dir/cd-import-$label#")"
  (cd "$bld" && $link)
}
build old "$old_commit"
build new "$new_commit"

# ---- the medium ----------------------------------------------------------------

data="$work-data-$count"
if [ ! -f "$data/DICOMDIR" ] || [ "$(find "$data/DICOM" -type f | wc -l)" != "$count" ]; then
  echo "== making $count CT images (clinical header, one patient) and a DICOMDIR in $data"
  rm -rf "$data"
  "$work-build-new/bin/varnelo-mkdata" ct --clinical --count "$count" --out "$data/DICOM" >/dev/null
  "$work-build-new/bin/varnelo-mkdata" dicomdir "$data" >/dev/null
fi
medium_bytes=$(find "$data" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
dicom_bytes=$(find "$data/DICOM" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
echo "   medium: $(find "$data" -type f | wc -l) files, $medium_bytes bytes ($dicom_bytes in DICOM/, $((medium_bytes - dicom_bytes)) DICOMDIR)"

# ---- the peer ------------------------------------------------------------------

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# start_peer [storescp options]: storescp -v on a free loopback port
start_peer() {
  port="$(free_port)"
  peer_log="$run_dir/storescp-$port.log"
  TCP_NODELAY=1 storescp -v -aet CDPEER -dhl "$@" "$port" >"$peer_log" 2>&1 &
  peer_pid=$!
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    kill -0 "$peer_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "storescp did not start: $(cat "$peer_log")" >&2
  exit 1
}
stop_peer() {
  kill "$peer_pid" 2>/dev/null || true
  wait "$peer_pid" 2>/dev/null || true
  peer_pid=""
}
stores() { grep -c 'Received Store Request' "$peer_log" || true; }

# run_import LABEL MODE FOLDER CHANGEID: one import to the peer; waited for in
# the background, so that an interrupt ends it at once
run_import() {
  TCP_NODELAY=1 "$run_dir/cd-import-$1" "$2" "$3" "$port" CDPEER "$4" "$new_id" &
  import_pid=$!
  local status=0
  wait "$import_pid" || status=$?
  import_pid=""
  return "$status"
}

# ---- untimed check: the switch really changes the Patient ID ------------------

if [ "$check" = 1 ]; then
  echo "== checking, from the local folder, the Patient ID that arrives"
  for label in old new; do
    for mode in dicomdir scan; do
      for change in 1 0; do
        out="$run_dir/received"
        rm -rf "$out"
        mkdir -p "$out"
        start_peer -od "$out"
        folder="$data"
        [ "$mode" = scan ] && folder="$data/DICOM"
        run_import "$label" "$mode" "$folder" "$change" >"$run_dir/check.out" 2>&1 ||
          { echo "check run failed: $label $mode change=$change: $(cat "$run_dir/check.out")" >&2; exit 1; }
        stop_peer
        want="$new_id"
        [ "$change" = 1 ] || want="$(dcmdump -q -M "$(find "$data/DICOM" -type f | head -1)" | sed -nE 's/^\(0010,0020\) [A-Z]{2} \[(.*)\].*/\1/p')"
        ids="$(find "$out" -type f -print0 | xargs -0 dcmdump -q -M | sed -nE 's/^\(0010,0020\) [A-Z]{2} \[(.*)\].*/\1/p' | sort | uniq -c | tr -s ' ' | sed 's/^ //')"
        n="$(find "$out" -type f | wc -l)"
        echo "   $label $mode ChangeID=$change: $n images received, Patient IDs: $ids"
        if [ "$n" != "$count" ] || [ "$ids" != "$count $want" ]; then
          echo "unexpected: wanted $count images with $want" >&2
          exit 1
        fi
      done
    done
  done
  rm -rf "$run_dir/received"
fi

# ---- the timed runs --------------------------------------------------------------

start_peer --ignore

mount_drive() {
  mkdir -p "$mnt"
  drive_log="$run_dir/drive.log"
  /usr/bin/python3 "$slowdrive" "$data" "$mnt" --rate "$rate" >"$drive_log" 2>&1 &
  drive_pid=$!
  for _ in $(seq 400); do
    mountpoint -q "$mnt" && return 0
    kill -0 "$drive_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "slowdrive did not mount: $(cat "$drive_log")" >&2
  exit 1
}
# unmounts; sets drive_bytes, drive_seeks, drive_busy from its report
unmount_drive() {
  kill -INT "$drive_pid"
  wait "$drive_pid" || true
  drive_pid=""
  mountpoint -q "$mnt" && fusermount3 -u "$mnt"
  local line
  line="$(grep '^slowdrive:' "$drive_log" | tail -1)"
  [ -n "$line" ] || { echo "no report from slowdrive: $(cat "$drive_log")" >&2; exit 1; }
  drive_bytes="$(sed -E 's/^slowdrive: ([0-9]+) bytes read.*/\1/' <<<"$line")"
  drive_seeks="$(sed -E 's/.* ([0-9]+) seeks.*/\1/' <<<"$line")"
  drive_busy="$(sed -E 's/.*drive busy ([0-9.]+) s.*/\1/' <<<"$line")"
}

results="$run_dir/results"
: >"$results"
cases=("dicomdir 1" "scan 1" "dicomdir 0" "scan 0")
echo "== timed runs: $reps of each, $rate MB/s drive, new Patient ID \"$new_id\" ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
printf '   %-4s %-8s %-9s %-3s %9s %9s %11s %6s %8s\n' rep mode ChangeID ver "wall s" "import s" "bytes" seeks "busy s"
for rep in $(seq "$reps"); do
  for i in "${!cases[@]}"; do
    read -r mode change <<<"${cases[$i]}"
    # alternate which commit goes first
    if [ $(((rep + i) % 2)) = 0 ]; then order=(old new); else order=(new old); fi
    for label in "${order[@]}"; do
      folder="$mnt"
      [ "$mode" = scan ] && folder="$mnt/DICOM"
      mount_drive
      before="$(stores)"
      t0="$(date +%s.%N)"
      status=0
      run_import "$label" "$mode" "$folder" "$change" >"$run_dir/run.out" 2>&1 || status=$?
      t1="$(date +%s.%N)"
      unmount_drive
      for _ in $(seq 50); do [ "$(($(stores) - before))" -ge "$count" ] && break; sleep 0.02; done
      received=$(($(stores) - before))
      wall="$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')"
      inner="$(sed -nE 's/.*seconds=([0-9.]+).*/\1/p' "$run_dir/run.out")"
      printf '   %-4s %-8s %-9s %-3s %9s %9s %11s %6s %8s\n' "$rep" "$mode" "$([ "$change" = 1 ] && echo on || echo off)" \
        "$label" "$wall" "${inner:--}" "$drive_bytes" "$drive_seeks" "$drive_busy"
      if [ "$status" != 0 ] || [ "$received" != "$count" ]; then
        echo "   ^ problem: exit $status, peer received $received of $count: $(head -c 600 "$run_dir/run.out")" >&2
        exit 1
      fi
      echo "$mode $change $label $wall $drive_bytes $drive_seeks $drive_busy" >>"$results"
    done
  done
done

# ---- the table -------------------------------------------------------------------

echo
echo "Medians of $reps runs ($count CT images, $medium_bytes bytes on the medium, $rate MB/s, cold drive each run):"
echo "old = $(git -C "$repo" log -1 --format='%h' "$old_commit"), new = $(git -C "$repo" log -1 --format='%h' "$new_commit")"
awk -v reps="$reps" '
  function median(key,   n, i, j, t, v) {
    n = split(vals[key], v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  function add(key, x) { vals[key] = (key in vals) ? vals[key] " " x : x }
  {
    k = $1 " " $2 " " $3
    add(k " wall", $4); add(k " bytes", $5); add(k " seeks", $6); add(k " busy", $7)
  }
  END {
    printf "%-9s %-9s %9s %9s %7s %6s %-8s %13s %13s %11s %13s\n", "import", "ChangeID", "old s", "new s", "new/old", "goal", "verdict", "bytes old", "bytes new", "seeks o/n", "busy o/n s"
    split("dicomdir 1|scan 1|dicomdir 0|scan 0", cs, "|")
    for (c = 1; c <= 4; c++) {
      split(cs[c], p, " ")
      o = median(cs[c] " old wall"); n = median(cs[c] " new wall")
      r = n / o
      if (p[2] == 1) { goal = p[1] == "dicomdir" ? 1.03 : 1.10; verdict = r <= goal ? "met" : "MISSED"; g = sprintf("%.2f", goal) }
      else { g = "=1"; verdict = "-" }
      printf "%-9s %-9s %9.3f %9.3f %7.3f %6s %-8s %13d %13d %5d/%-5d %6.2f/%-6.2f\n", (p[1] == "scan" ? "scan" : "DICOMDIR"), (p[2] == 1 ? "on" : "off"), o, n, r, g, verdict,
        median(cs[c] " old bytes"), median(cs[c] " new bytes"), median(cs[c] " old seeks"), median(cs[c] " new seeks"),
        median(cs[c] " old busy"), median(cs[c] " new busy")
    }
  }' "$results"
echo
echo "$(date -Iseconds), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
