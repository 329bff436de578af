#!/usr/bin/env bash
# A first import in two minutes: builds Varnelo if needed, starts one demo
# server on free loopback ports, Orthanc, as the PACS and, with its worklist
# plugin, as the worklist provider; makes a sample CD with a DICOMDIR,
# prepares a program folder whose settings point at all of it, and starts
# Varnelo from there. When Varnelo closes, the server stops and the demo
# folder is removed, and the terminal says so.
#
#   scripts/demo.sh            the demo, with the window
#   scripts/demo.sh --check    the same set-up, the import and the worklist
#                              driven offscreen, the result checked through
#                              Orthanc's REST API (needs a build with tests;
#                              used by ctest)
#   --no-build                 use the binaries in the build folder as they are
#   --keep                     leave the demo folder behind
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNELO_BUILD_DIR:-$root/build}
check=0
do_build=1
keep=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    --no-build) do_build=0 ;;
    --keep) keep=1 ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done

if ((do_build)); then
  "$root/scripts/deps.sh" demo
  if ((check)); then
    "$root/scripts/build.sh" -DVARNELO_BUILD_TESTS=ON >/dev/null
  elif [[ ! -x "$build/bin/Varnelo" || ! -x "$build/bin/varnelo-mkdata" ]]; then
    "$root/scripts/build.sh" -DVARNELO_BUILD_TESTS=OFF
  else
    cmake --build "$build" --target Varnelo varnelo-mkdata >/dev/null
  fi
fi

worklist_plugin=/usr/share/orthanc/plugins/libModalityWorklists.so
[[ -f "$worklist_plugin" ]] || worklist_plugin=$(dpkg -L orthanc 2>/dev/null | grep -m1 '/libModalityWorklists\.so' || true)
[[ -n "$worklist_plugin" ]] || { echo "Orthanc's worklist plugin is missing: run scripts/deps.sh demo" >&2; exit 1; }
for tool in Orthanc curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/deps.sh demo" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/varnelo-demo.XXXXXX")
orthanc_pid=""
cleanup() {
  if [[ -n "$orthanc_pid" ]]; then
    kill "$orthanc_pid" 2>/dev/null || true
    wait "$orthanc_pid" 2>/dev/null || true
    echo "Stopped the demo server (Orthanc, pid $orthanc_pid)."
  fi
  if ((keep)); then
    echo "Kept the demo folder: $work"
  else
    rm -rf "$work"
    echo "Removed the demo folder $work: the sample CD, Orthanc's storage with what was"
    echo "  imported, the worklist entries, and the program folder with its settings and"
    echo "  logs. Run scripts/demo.sh --keep to keep them."
  fi
}
trap cleanup EXIT

free_port() {
  local p
  for p in $(shuf -i 20000-32000 -n 100); do  # below the ephemeral range
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  echo "no free port found" >&2
  exit 1
}

wait_port() { # port, seconds, pid of the server, its log
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    if ! kill -0 "$3" 2>/dev/null; then
      echo "the server for port $1 ended; its log:" >&2
      tail -20 "$4" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "nothing answers on port $1; the server's log:" >&2
  tail -20 "$4" >&2
  return 1
}

mkdata="$build/bin/varnelo-mkdata"
pacs_dicom=$(free_port)
pacs_http=$(free_port)
while [[ "$pacs_http" == "$pacs_dicom" ]]; do pacs_http=$(free_port); done
# where Orthanc reports its storage commitment to Varnelo
commit_port=$(free_port)
while [[ "$commit_port" == "$pacs_dicom" || "$commit_port" == "$pacs_http" ]]; do commit_port=$(free_port); done

# Today's worklist for this station: five entries, four names in other
# scripts (Latin-1, Cyrillic, Greek, Japanese), which Orthanc sends as UTF-8,
# and the local record of the CD's third patient, spelled as this hospital
# spells it: pick it with "Change Patient ID" on to see the import reconcile.
"$mkdata" worklist --out "$work/worklist" --aet ORTHANC --count 5 --station VARNELO --modality CT \
  --names CS01,CS03,CS04,CS10 --entry 'LOC-4711|Smyth^Max|19851102|M|DEMOHOSP' >/dev/null
wl_entries=10

# The demo PACS and worklist provider: Orthanc with storage of its own,
# reachable from this machine only.
mkdir -p "$work/orthanc"
cat >"$work/orthanc/orthanc.json" <<EOF
{
  "Name": "Varnelo demo PACS",
  "StorageDirectory": "$work/orthanc/storage",
  "IndexDirectory": "$work/orthanc/index",
  "DicomAet": "ORTHANC",
  "DicomPort": $pacs_dicom,
  "HttpPort": $pacs_http,
  "RemoteAccessAllowed": false,
  "AuthenticationEnabled": false,
  "DicomCheckCalledAet": false,
  "DefaultEncoding": "Utf8",
  "DicomAlwaysAllowFindWorklist": true,
  "DicomModalities": { "varnelo": { "AET": "VARNELO", "Host": "127.0.0.1", "Port": $commit_port } },
  "Plugins": ["$worklist_plugin"],
  "Worklists": { "Enable": true, "Database": "$work/worklist/ORTHANC" }
}
EOF
Orthanc "$work/orthanc/orthanc.json" >"$work/orthanc/orthanc.log" 2>&1 &
orthanc_pid=$!

# The sample CD: three patients, compressed and uncompressed images, a DICOMDIR.
cd_dir="$work/cd"
pat1=(--patient-id DEMO001 --patient-name "Doe^John" --birth-date 19600515)
pat2=(--patient-id DEMO002 --patient-name "Roe^Jane" --birth-date 19720830)
pat3=(--patient-id DEMO003 --patient-name "Smith^Max" --birth-date 19851102)
"$mkdata" ct --out "$cd_dir/DICOM/PAT1/SER1" --count 5 "${pat1[@]}" >/dev/null
"$mkdata" ct --out "$cd_dir/DICOM/PAT1/SER2" --count 3 "${pat1[@]}" --syntax jpeg-lossless >/dev/null
"$mkdata" ct --out "$cd_dir/DICOM/PAT2/SER1" --count 4 "${pat2[@]}" --sop mr --syntax rle >/dev/null
"$mkdata" ct --out "$cd_dir/DICOM/PAT3/SER1" --count 2 "${pat3[@]}" --sop sc --syntax jpeg >/dev/null
"$mkdata" dicomdir "$cd_dir" >/dev/null
images=14

# The program folder: Varnelo with its settings beside it.
program="$work/program"
mkdir -p "$program"
cp "$build/bin/Varnelo" "$program/Varnelo"
cat >"$program/Varnelo.ini" <<EOF
[Default]
SearchBy=1
Location=2
SourceDir=$cd_dir
WithSubDirs=1
WriteLog=1
[DICOM]
LocalAET=VARNELO
RemoteAET=ORTHANC
RemoteIP=127.0.0.1
RemotePort=$pacs_dicom
CommitPort=$commit_port
[Worklist]
AET=ORTHANC
IP=127.0.0.1
Port=$pacs_dicom
Modality=CT
EOF

wait_port "$pacs_http" 60 "$orthanc_pid" "$work/orthanc/orthanc.log"
wait_port "$pacs_dicom" 60 "$orthanc_pid" "$work/orthanc/orthanc.log"

api="http://127.0.0.1:$pacs_http"
echo "Demo PACS (Orthanc): DICOM ORTHANC@127.0.0.1:$pacs_dicom"
echo "  Look here for the images: $api/app/explorer.html"
echo "Worklist provider: the same Orthanc ($wl_entries entries for today, station VARNELO, modality CT)"
echo "  Smyth^Max (LOC-4711) is the CD's Smith^Max as this hospital knows him: tick \"Change Patient ID\""
echo "  in View > Options, pick him in the worklist and press IMPORT to see the CD's patients first."
echo "Sample CD: $cd_dir ($images images in a DICOMDIR)"
echo "Program folder: $program (settings: Varnelo.ini, logs: Logs/)"

if ((check)); then
  driver="$build/bin/varnelo_demo_driver"
  [[ -x "$driver" ]] || { echo "$driver is missing: build with tests" >&2; exit 1; }
  QT_QPA_PLATFORM=offscreen "$driver" "$program" "$wl_entries" | tee "$work/driver.log"
  for name in Patient1 Müller Петров Παπαδόπουλος Yamada Smyth; do
    grep -q "^worklist row: .*$name" "$work/driver.log" || { echo "FAILED: no worklist row for $name" >&2; exit 1; }
  done
  grep -q "^ORTHANC confirmed all $images images\.$" "$work/driver.log" || { echo "FAILED: Orthanc did not confirm the $images images" >&2; exit 1; }
  instances=$(curl -fsS "$api/statistics" | sed -n 's/.*"CountInstances"[^0-9]*\([0-9]*\).*/\1/p')
  patients=$(curl -fsS "$api/patients" | grep -c '"' || true)
  echo "Orthanc holds $instances instances of $patients patients"
  if [[ "$instances" != "$images" || "$patients" != 3 ]]; then
    echo "FAILED: expected $images instances of 3 patients" >&2
    exit 1
  fi
  # Three patients that read as three people in Orthanc's explorer.
  details=$(curl -fsS "$api/patients?expand")
  for who in 'Doe^John' 19600515 'Roe^Jane' 19720830 'Smith^Max' 19851102; do
    grep -qF "$who" <<<"$details" || { echo "FAILED: no patient with $who in Orthanc" >&2; exit 1; }
  done
  echo "demo check passed"
  exit 0
fi

echo "Starting Varnelo; press IMPORT, or Worklist. The server stops when Varnelo closes."
"$program/Varnelo" || true
