#!/usr/bin/env bash
# The package as installed: unpacked into a folder that the user who runs
# the program cannot write, Varnelo keeps its settings in $XDG_CONFIG_HOME,
# reads the system file (the first folder of $XDG_CONFIG_DIRS that has a
# settings file) beside it, its locked keys over the user's, and keeps its
# logs, private, in $XDG_STATE_HOME. The import is started as an operator
# would, by a click on "IMPORT" on an Xvfb display.
#
# Usage: installed.sh PACKAGE.deb|FOLDER   (exits 77 when a tool is missing)
set -euo pipefail
deb=$1
if [[ -d $deb ]]; then debs=("$deb"/varnelo_*.deb); deb=${debs[0]}; fi

for tool in dpkg-deb Xvfb xdotool storescp setpriv python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[[ -f $deb ]] || { echo "FAIL: no package at $deb"; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

chmod 755 "$work"
dpkg-deb -x "$deb" "$work/root"
program=$work/root/opt/varnelo/Varnelo
[[ -x $program ]] || fail "the package has no /opt/varnelo/Varnelo"
[[ $(readlink "$work/root/usr/bin/varnelo") == /opt/varnelo/Varnelo ]] || fail "/usr/bin/varnelo does not lead to the program"

# Root may write anywhere: the program then runs as nobody. Anyone else
# runs it as themselves, with the unpacked folders made read-only.
if [[ $(id -u) -eq 0 ]]; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  owner=nobody
else
  as_user=()
  owner=$(id -un)
  chmod -R a-w "$work/root"
fi
find "$work/root" | sort >"$work/before"

home=$work/home
mkdir -p "$home" "$work/cd" "$work/received" "$work/xdg-empty" "$work/xdg-first/Varnelo" "$work/xdg-later/Varnelo"
port=$(free_port)
cat >"$work/xdg-first/Varnelo/Varnelo.ini" <<INI
; handed out by the administrator
[Locked]
Keys=DICOM/RemoteAET,DICOM/RemoteIP,DICOM/RemotePort
[Default]
AppName=Seeded
SearchBy=2
FileSuffix=DCM
Location=2
SourceDir=$work/cd
[DICOM]
LocalAET=STATION
RemoteAET=STORESCP
RemoteIP=127.0.0.1
RemotePort=$port
INI
printf '[Default]\nAppName=Later\n' >"$work/xdg-later/Varnelo/Varnelo.ini"
cp "$work/xdg-first/Varnelo/Varnelo.ini" "$work/seed-as-given"
mkdir -m 700 "$home/runtime"
# A user who started Varnelo before: a PACS of their own, overruled by the lock.
mkdir -p "$home/config/Varnelo"
printf '[DICOM]\nRemoteAET=OLD\nRemotePort=1\n' >"$home/config/Varnelo/Varnelo.ini"
chown -R "$owner" "$home" "$work/cd"

storescp -aet STORESCP -od "$work/received" "$port" &
pids+=($!)

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [[ -s $work/display ]] && break; sleep 0.1; done
display=:$(head -n1 "$work/display")

"${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$home" DISPLAY="$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$home/runtime" \
  XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
  XDG_CONFIG_DIRS="relative/is/passed/over:$work/xdg-empty:$work/xdg-first:$work/xdg-later" \
  "$program" &
program_pid=$!
pids+=("$program_pid")

# The caption is the seed's AppName: the first settings file found was used.
export DISPLAY=$display
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Seeded [0-9]+\.[0-9]+\.[0-9]+$' | head -n1) ||
  fail "no window captioned from the first seed ($(xdotool search --name . getwindowname %@ 2>/dev/null | tr '\n' ' '))"

# "IMPORT": it checks the locked PACS, saves the settings, then scans the
# empty folder and writes the run into the receipt.
xdotool mousemove --window "$window" 634 130 click 1
receipt=$home/state/Varnelo/Logs/Imports.log
for _ in $(seq 300); do [[ -s $receipt ]] && break; sleep 0.1; done
kill "$program_pid"

settings=$home/config/Varnelo/Varnelo.ini
[[ -f $settings ]] || fail "no settings file at $settings"
grep -q '^; handed out by the administrator' "$settings" && fail "the system file was copied into $settings"
grep -q '^WithSubDirs=0' "$settings" || fail "the import wrote no settings into $settings"
grep -q '^RemotePort=1$' "$settings" || fail "the user's own value of a locked key was not left as it was"
grep -q '^RemoteIP=' "$settings" && fail "a locked key was written into $settings"
cmp -s "$work/seed-as-given" "$work/xdg-first/Varnelo/Varnelo.ini" || fail "the seed itself was changed"
[[ -s $receipt ]] || fail "no receipt at $receipt"
grep -q "$work/cd" "$receipt" || fail "the receipt does not name the source: $(cat "$receipt")"
grep -q "stopped at launch" "$receipt" && fail "the locked destination was not the one checked: $(cat "$receipt")"
logs=$home/state/Varnelo/Logs
[[ $(stat -c %a "$logs") == 700 && $(stat -c %a "$receipt") == 600 ]] ||
  fail "the logs are not private: $(stat -c '%a %n' "$logs" "$logs"/*)"
find "$work/root" | sort >"$work/after"
diff "$work/before" "$work/after" >/dev/null || fail "files appeared in the program's folders: $(diff "$work/before" "$work/after")"
echo "settings: $settings"
echo "receipt: $(cat "$receipt")"
