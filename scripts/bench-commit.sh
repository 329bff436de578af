#!/usr/bin/env bash
# What the proof at the archive (storage commitment) costs an import to
# Orthanc: Varnelo's headless folder scan (as varnelo-bench's child runs it) of
# N CT images with a clinical header, from one folder on the local disk, sent
# to Orthanc 1.10.1 on 127.0.0.1. Two commits are built in release mode, each in
# a git worktree and build folder of its own, and run alternating, REPS times
# each. Every run gets a fresh Orthanc (empty storage and index), so that both
# commits store the same N new instances. Orthanc knows the program's AE title
# VARNELO as a modality at 127.0.0.1 and the program's [DICOM] CommitPort, so
# the new commit's request for storage commitment is answered by a report on
# an association Orthanc opens to that port.
#
# Prints each run (wall time of the import process; the import's own time; the
# time of it before the program starts waiting for the confirmation, "walk";
# and the rest, "confirm"; what Orthanc holds afterwards; the confirmation the
# run reports) and a table of medians with the ratio new/old against the goal
# (new/old at most 1.10). Every new run must report that Orthanc confirmed all
# N images, every run must leave N instances in Orthanc. Other load on the
# machine shows in the figures: run it alone.
#
# Usage: scripts/bench-commit.sh [--reps N] [--count N] [--old REV] [--new REV] [--no-warmup]
#   --reps N      timed runs of each commit (default 5)
#   --count N     images in the folder (default 2000), one patient
#   --old REV     the commit without the confirmation (default d9f11b9)
#   --new REV     the commit to measure (default HEAD)
#   --no-warmup   skip the untimed first run of each commit (it fills the page
#                 cache with the images and checks the confirmation once)
# Work folders, named from the prefix $VARNELO_COMMIT_WORK (default /tmp/vcm):
# /tmp/vcm-old and /tmp/vcm-new (git worktrees), /tmp/vcm-build-old and
# /tmp/vcm-build-new, /tmp/vcm-data-N (the images): kept for the next run.
# Builds run under nice.
#
# The import is driven by a small program written and compiled here against
# each build's own libraries: varnelo-bench's child with LocalAET VARNELO and,
# where the commit knows them, [DICOM] CommitPort set and the confirmations
# printed. The time the confirmation takes is measured inside it: from the
# moment the run shows "Waiting for ... to confirm" to its end.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
work="${VARNELO_COMMIT_WORK:-/tmp/vcm}"
orthanc_bin="${ORTHANC:-/usr/sbin/Orthanc}"
reps=5
count=2000
old_rev=d9f11b9
new_rev=HEAD
warmup=1
goal=1.10
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --old) old_rev="$2"; shift 2 ;;
    --new) new_rev="$2"; shift 2 ;;
    --no-warmup) warmup=0; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

for tool in cmake ninja python3 curl git; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -x "$orthanc_bin" ] || { echo "no Orthanc at $orthanc_bin" >&2; exit 1; }

run_dir="$(mktemp -d "$work-run.XXXXXX")"
orthanc_pid=""
import_pid=""
cleanup() {
  set +e
  if [ -n "$import_pid" ]; then
    kill "$import_pid" 2>/dev/null
    wait "$import_pid" 2>/dev/null
  fi
  if [ -n "$orthanc_pid" ]; then
    kill "$orthanc_pid" 2>/dev/null
    wait "$orthanc_pid" 2>/dev/null
  fi
  rm -rf "$run_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- the two builds ----------------------------------------------------------

old_commit="$(git -C "$repo" rev-parse --verify "$old_rev^{commit}")"
new_commit="$(git -C "$repo" rev-parse --verify "$new_rev^{commit}")"

# The import, as varnelo-bench's child runs it (folder scan, no subfolders):
#   commit-import FOLDER PORT AET COMMITPORT
# Built with VARNELO_HAS_COMMIT=1 where the commit has [DICOM] CommitPort and
# ImportRun::confirmations().
cat > "$run_dir/commit-import.cpp" <<'EOF'
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

namespace {

// Notes when the run starts waiting for a destination's confirmation.
class TimedView : public SilentView {
public:
    QElapsedTimer* run = nullptr;
    qint64 confirmStartNs = -1;
    void setLabel(const QString& text) override
    {
        if (confirmStartNs < 0 && run && text.startsWith(QLatin1String("Waiting for ")))
            confirmStartNs = run->nsecsElapsed();
    }
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: commit-import FOLDER PORT AET COMMITPORT\n");
        return 2;
    }
    const QString folder = args[1];

    QTemporaryDir programDir;
    setProgramFolderForTesting(programDir.path());
    AppState& s = appState();
    s.SearchBy = 2;
    s.Location = 2;
    s.ImportFolder = folder;
    s.RemoteIP = QStringLiteral("127.0.0.1");
    s.RemotePort = args[2];
    s.RemoteAET = args[3];
    s.LocalAET = QStringLiteral("VARNELO");
    s.FileSuffix = QString();
    s.WriteLog = 0;
    s.ChangeID = false;
#if VARNELO_HAS_COMMIT
    s.CommitPort = args[4].toInt();
#endif

    TimedView view;
    AbortingPrompt prompt;
    ImportRun run(view, prompt, [] { return QString(); });
    QElapsedTimer timer;
    timer.start();
    view.run = &timer;
    view.sinceYield.start();
    run.ReadCdDirectory(folder, false);
    view.endOfRun();
    const qint64 totalNs = timer.nsecsElapsed();
    const qint64 walkNs = view.confirmStartNs < 0 ? totalNs : view.confirmStartNs;

    QFile errors(programDir.filePath(QStringLiteral("Logs/Error.log")));
    int errorLines = 0;
    if (errors.open(QIODevice::ReadOnly))
        errorLines = static_cast<int>(errors.readAll().count('\n'));
    std::printf("imported=%d seconds=%.4f walk=%.4f confirm=%.4f prompts=%d errorlines=%d\n", run.ImportedCount,
                static_cast<double>(totalNs) / 1e9, static_cast<double>(walkNs) / 1e9,
                static_cast<double>(totalNs - walkNs) / 1e9, prompt.shown, errorLines);
#if VARNELO_HAS_COMMIT
    for (const QString& line : run.confirmations())
        std::printf("confirmation: %s\n", qPrintable(line));
#endif
    QFile receipts(programDir.filePath(QStringLiteral("Logs/Imports.log")));
    if (receipts.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = receipts.readAll().trimmed().split('\n');
        if (!lines.isEmpty())
            std::printf("receipt: %s\n", lines.last().trimmed().constData());
    }
    if (prompt.shown)
        std::printf("first prompt: %s\n", qPrintable(prompt.first));
    if (errorLines)
        std::printf("errors: %s\n", errors.seek(0) ? errors.readAll().left(600).constData() : "");
    return prompt.shown || errorLines ? 1 : 0;
}
EOF

# build LABEL COMMIT: a release build of COMMIT in $work-LABEL and
# $work-build-LABEL, and commit-import linked as varnelo-bench is.
declare -A has_commit
build() {
  local label="$1" commit="$2"
  local src="$work-$label" bld="$work-build-$label"
  if [ ! -e "$src/.git" ]; then
    git -C "$repo" worktree add --detach "$src" "$commit" >/dev/null
  elif [ "$(git -C "$src" rev-parse HEAD)" != "$commit" ]; then
    git -C "$src" checkout -q --detach "$commit"
  fi
  echo "== building $label ($(git -C "$src" log -1 --format='%h %s' | cut -c1-70)) in $bld"
  nice cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_BUILD_TESTS=ON >/dev/null
  nice ninja -C "$bld" varnelo-bench varnelo-mkdata >/dev/null
  has_commit[$label]=0
  if grep -q 'CommitPort' "$src/src/base/AppState.h" && grep -q 'confirmations()' "$src/src/import/ImportRun.h"; then
    has_commit[$label]=1
  fi
  local compile link
  compile="$(ninja -C "$bld" -t commands varnelo-bench | grep -- '-c [^ ]*/bench/ImportBench\.cpp$')"
  link="$(ninja -C "$bld" -t commands varnelo-bench | grep -- '-o bin/varnelo-bench ')"
  compile="${compile%% -MD *}"
  (cd "$bld" && nice $compile -DVARNELO_HAS_COMMIT="${has_commit[$label]}" -I"$src/bench" \
    -o "$run_dir/commit-import-$label.o" -c "$run_dir/commit-import.cpp")
  link="${link#: && }"
  link="${link% && :}"
  link="$(printf '%s' "$link" | sed -E "s# bench/CMakeFiles/varnelo-bench\.dir/[^ ]*\.o##g; s#-o bin/varnelo-bench#$run_dir/commit-import-$label.o -o $run_dir/commit-import-$label#")"
  (cd "$bld" && nice $link)
  echo "   storage commitment in this commit: $([ "${has_commit[$label]}" = 1 ] && echo yes || echo no)"
}
build old "$old_commit"
build new "$new_commit"

# ---- the images ------------------------------------------------------------------

data="$work-data-$count"
if [ "$(find "$data" -maxdepth 1 -type f 2>/dev/null | wc -l)" != "$count" ]; then
  echo "== making $count CT images (clinical header, one patient) in $data"
  rm -rf "$data"
  "$work-build-new/bin/varnelo-mkdata" ct --clinical --count "$count" --out "$data" >/dev/null
fi
[ "$(find "$data" -mindepth 1 -type d | wc -l)" = 0 ] || { echo "$data has subfolders" >&2; exit 1; }
data_bytes=$(find "$data" -maxdepth 1 -type f -printf '%s\n' | awk '{s += $1} END {print s}')
echo "   images: $(find "$data" -maxdepth 1 -type f | wc -l) files, $data_bytes bytes in $data ($(df -T "$data" | awk 'NR == 2 {print $2}'))"

# ---- Orthanc -------------------------------------------------------------------

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
commit_port="$(free_port)"

# start_orthanc: a fresh Orthanc (empty storage and index) on free ports
start_orthanc() {
  local dir="$run_dir/orthanc"
  rm -rf "$dir"
  mkdir -p "$dir"
  port="$(free_port)"
  http_port="$(free_port)"
  while [ "$http_port" = "$port" ] || [ "$http_port" = "$commit_port" ] || [ "$port" = "$commit_port" ]; do
    port="$(free_port)"
    http_port="$(free_port)"
  done
  cat >"$dir/orthanc.json" <<JSON
{
  "Name": "Varnelo commitment benchmark",
  "StorageDirectory": "$dir/storage",
  "IndexDirectory": "$dir/index",
  "DicomAet": "ORTHANC",
  "DicomPort": $port,
  "HttpPort": $http_port,
  "RemoteAccessAllowed": false,
  "AuthenticationEnabled": false,
  "DicomCheckCalledAet": false,
  "Plugins": [],
  "DicomModalities": { "varnelo": { "AET": "VARNELO", "Host": "127.0.0.1", "Port": $commit_port } }
}
JSON
  orthanc_log="$dir/orthanc.log"
  "$orthanc_bin" "$dir/orthanc.json" >"$orthanc_log" 2>&1 &
  orthanc_pid=$!
  for _ in $(seq 1200); do
    listening "$port" && listening "$http_port" && return 0
    kill -0 "$orthanc_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "Orthanc did not start: $(tail -c 2000 "$orthanc_log")" >&2
  exit 1
}
stop_orthanc() {
  kill "$orthanc_pid" 2>/dev/null || true
  wait "$orthanc_pid" 2>/dev/null || true
  orthanc_pid=""
}
instances() {
  curl -fsS "http://127.0.0.1:$http_port/statistics" | sed -nE 's/.*"CountInstances"[^0-9]*([0-9]+).*/\1/p'
}

# run_import LABEL: one import to Orthanc; waited for in the background, so
# that an interrupt ends it at once
run_import() {
  TCP_NODELAY=1 "$run_dir/commit-import-$1" "$data" "$port" ORTHANC "$commit_port" &
  import_pid=$!
  local status=0
  wait "$import_pid" || status=$?
  import_pid=""
  return "$status"
}

# one_run REP LABEL: a fresh Orthanc, one timed import, the checks; appends
# to the results
one_run() {
  local rep="$1" label="$2" status=0 t0 t1 wall inner walk confirm held said
  start_orthanc
  t0="$(date +%s.%N)"
  run_import "$label" >"$run_dir/run.out" 2>&1 || status=$?
  t1="$(date +%s.%N)"
  held="$(instances)"
  stop_orthanc
  wall="$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')"
  inner="$(sed -nE 's/.* seconds=([0-9.]+).*/\1/p' "$run_dir/run.out")"
  walk="$(sed -nE 's/.* walk=([0-9.]+).*/\1/p' "$run_dir/run.out")"
  confirm="$(sed -nE 's/.* confirm=([0-9.]+).*/\1/p' "$run_dir/run.out")"
  said="$(sed -nE 's/^confirmation: //p' "$run_dir/run.out" | paste -sd'|')"
  printf '   %-6s %-3s %8s %8s %8s %8s %8s  %s\n' "$rep" "$label" "$wall" "${inner:--}" "${walk:--}" "${confirm:--}" \
    "${held:--}" "${said:--}"
  if [ "$status" != 0 ] || [ "$held" != "$count" ]; then
    echo "   ^ problem: exit $status, Orthanc holds ${held:-?} of $count: $(head -c 800 "$run_dir/run.out")" >&2
    exit 1
  fi
  if [ "${has_commit[$label]}" = 1 ] && [ "$said" != "ORTHANC confirmed all $count images." ]; then
    echo "   ^ problem: the confirmation is \"$said\"; receipt: $(sed -nE 's/^receipt: //p' "$run_dir/run.out")" >&2
    exit 1
  fi
  [ "$rep" = warmup ] || echo "$label $wall $inner $walk $confirm" >>"$results"
}

# ---- the runs ----------------------------------------------------------------------

results="$run_dir/results"
: >"$results"
echo "== Orthanc $("$orthanc_bin" --version 2>&1 | head -1 | awk '{print $2}'), fresh for each run; the program's CommitPort $commit_port"
printf '   %-6s %-3s %8s %8s %8s %8s %8s  %s\n' rep ver "wall s" "import s" "walk s" "confirm" "held" "confirmation"
if [ "$warmup" = 1 ]; then
  one_run warmup old
  one_run warmup new
  for label in old new; do
    if [ "${has_commit[$label]}" = 1 ]; then
      sed -nE 's/^receipt: /   receipt of the last '"$label"' run (Logs\/Imports.log): /p' "$run_dir/run.out"
    fi
  done
fi
echo "== timed runs: $reps of each, alternating ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
for rep in $(seq "$reps"); do
  if [ $((rep % 2)) = 1 ]; then order=(old new); else order=(new old); fi
  for label in "${order[@]}"; do
    one_run "$rep" "$label"
  done
done

# ---- the table -------------------------------------------------------------------

echo
echo "Medians of $reps runs ($count CT images, $data_bytes bytes, folder scan from the local disk, fresh Orthanc each run):"
echo "old = $(git -C "$repo" log -1 --format='%h' "$old_commit") (storage commitment: $([ "${has_commit[old]}" = 1 ] && echo yes || echo no)), new = $(git -C "$repo" log -1 --format='%h' "$new_commit") (storage commitment: $([ "${has_commit[new]}" = 1 ] && echo yes || echo no))"
awk -v goal="$goal" '
  function median(key,   n, i, j, t, v) {
    n = split(vals[key], v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  function add(key, x) { vals[key] = (key in vals) ? vals[key] " " x : x }
  { add($1 " wall", $2); add($1 " inner", $3); add($1 " walk", $4); add($1 " confirm", $5) }
  END {
    printf "%-26s %9s %9s %9s\n", "", "old", "new", "new/old"
    split("wall|inner|walk", ks, "|")
    split("wall time of the process s|time inside the import s|walk (until the wait) s", names, "|")
    for (k = 1; k <= 3; k++) {
      o = median("old " ks[k]); n = median("new " ks[k])
      printf "%-26s %9.3f %9.3f %9.3f\n", names[k], o, n, n / o
    }
    o = median("old wall"); n = median("new wall"); c = median("new confirm")
    printf "%-26s %9.3f %9.3f %9s\n", "confirmation s", median("old confirm"), c, "-"
    printf "\ngoal: wall new/old <= %.2f: %.3f, %s; the confirmation alone is %.1f %% of the old wall time\n", goal, n / o,
      (n / o <= goal ? "met" : "MISSED"), 100 * c / o
  }' "$results"
echo
echo "$(date -Iseconds), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
