#!/usr/bin/env bash
# A first import in two minutes: builds Varnelo if needed, starts a demo PACS
# (Orthanc) and a worklist provider (wlmscpfs) on free loopback ports, makes a
# sample CD with a DICOMDIR, prepares a program folder whose settings point at
# all of it, and starts Varnelo from there. The servers stop when Varnelo
# closes.
#
#   scripts/demo.sh            the demo, with the window
#   scripts/demo.sh --check    the same set-up, the import driven offscreen and
#                              the result checked through Orthanc's REST API
#                              (needs a build with tests; used by ctest)
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

for tool in Orthanc wlmscpfs curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/deps.sh demo" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/varnelo-demo.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if ((keep)); then echo "Demo folder kept: $work"; else rm -rf "$work"; fi
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
wl_port=$(free_port)
while [[ "$wl_port" == "$pacs_dicom" || "$wl_port" == "$pacs_http" ]]; do wl_port=$(free_port); done

# The demo PACS: Orthanc with storage of its own, reachable from this machine only.
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
  "Plugins": []
}
EOF
Orthanc "$work/orthanc/orthanc.json" >"$work/orthanc/orthanc.log" 2>&1 &
orthanc_pid=$!
pids+=($orthanc_pid)

# The sample CD: three patients, compressed and uncompressed images, a DICOMDIR.
cd_dir="$work/cd"
"$mkdata" ct --out "$cd_dir/DICOM/PAT1/SER1" --count 5 --patient-id DEMO001 >/dev/null
"$mkdata" ct --out "$cd_dir/DICOM/PAT1/SER2" --count 3 --patient-id DEMO001 --syntax jpeg-lossless >/dev/null
"$mkdata" ct --out "$cd_dir/DICOM/PAT2/SER1" --count 4 --patient-id DEMO002 --sop mr --syntax rle >/dev/null
"$mkdata" ct --out "$cd_dir/DICOM/PAT3/SER1" --count 2 --patient-id DEMO003 --sop sc --syntax jpeg >/dev/null
"$mkdata" dicomdir "$cd_dir" >/dev/null
images=14

# Today's worklist for this station.
"$mkdata" worklist --out "$work/worklist" --aet WORKLIST --count 5 --station VARNELO --modality CT >/dev/null
wlmscpfs -s -dfp "$work/worklist" "$wl_port" >"$work/wlmscpfs.log" 2>&1 &
wl_pid=$!
pids+=($wl_pid)

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
[Worklist]
AET=WORKLIST
IP=127.0.0.1
Port=$wl_port
Modality=CT
EOF

wait_port "$pacs_http" 60 "$orthanc_pid" "$work/orthanc/orthanc.log"
wait_port "$pacs_dicom" 60 "$orthanc_pid" "$work/orthanc/orthanc.log"
wait_port "$wl_port" 30 "$wl_pid" "$work/wlmscpfs.log"

api="http://127.0.0.1:$pacs_http"
echo "Demo PACS (Orthanc): DICOM ORTHANC@127.0.0.1:$pacs_dicom"
echo "  Look here for the images: $api/app/explorer.html"
echo "Worklist provider: WORKLIST@127.0.0.1:$wl_port (5 entries for today, station VARNELO)"
echo "Sample CD: $cd_dir ($images images in a DICOMDIR)"
echo "Program folder: $program (settings: Varnelo.ini, logs: Logs/)"

if ((check)); then
  driver="$build/bin/varnelo_demo_driver"
  [[ -x "$driver" ]] || { echo "$driver is missing: build with tests" >&2; exit 1; }
  QT_QPA_PLATFORM=offscreen "$driver" "$program"
  instances=$(curl -fsS "$api/statistics" | sed -n 's/.*"CountInstances"[^0-9]*\([0-9]*\).*/\1/p')
  patients=$(curl -fsS "$api/patients" | grep -c '"' || true)
  echo "Orthanc holds $instances instances of $patients patients"
  if [[ "$instances" != "$images" || "$patients" != 3 ]]; then
    echo "FAILED: expected $images instances of 3 patients" >&2
    exit 1
  fi
  echo "demo check passed"
  exit 0
fi

echo "Starting Varnelo; press IMPORT. The servers stop when Varnelo closes."
"$program/Varnelo" || true
