#!/usr/bin/env bash
# The installed service and a management server, end to end: in a Wine
# prefix of its own, the service is installed with "/i" and started through
# the service control manager with ServerMode 1, ServerHost localhost and a
# stored ClientId; its client connects to the native peer on
# 127.0.0.1:13911, which checks the hello, keep-alive, status, digests, a
# policy set, drains every report row and pushes the installer stand-in.
# The service is then restarted, and the peer checks that the policy set
# survived in configdb.dat. The stand-in's marker shows its command line and
# working directory; vxctl server show tells the connection and its end.
#   installed_service_session.sh PEER WIN_BIN_DIR WORK_DIR
set -euo pipefail
peer="$1" bin="$2" work="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
prefix="$work/prefix"
WINE=/usr/lib/wine/wine64
export WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEDEBUG=-all
quiet() { "$WINE" "$@" </dev/null >/dev/null 2>&1; }
service=VestaraDeviceControlWinService
client_id=00112233445566778899AABBCCDDEEFF
rows=1500

[[ -x "$peer" ]] || { echo "the native peer is missing: $peer (build the native preset first)"; exit 1; }

cleanup() {
  [[ -n "${peer_pid:-}" ]] && kill "$peer_pid" 2>/dev/null || true
  quiet sc stop "$service" || true
  quiet 'C:\vxsvc\VestaraDeviceControl.exe' /u || true
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

rm -rf "$work" && mkdir -p "$work"
"$here/../../scripts/wine_session" ensure "$prefix"
install="$prefix/drive_c/vx mgmt"
mkdir -p "$install" "$prefix/drive_c/vxsvc"
cp "$bin/VestaraDeviceControl.exe" "$prefix/drive_c/vxsvc/"

# Report rows as the monitor stores them, enough for several pages.
{
  echo "CREATE TABLE IF NOT EXISTS 'reports' ('id' integer primary key autoincrement, 'time' integer, 'vendor' text, 'product' text, 'serial' text, 'action' int);"
  echo "BEGIN;"
  for i in $(seq 1 $rows); do
    echo "INSERT INTO 'reports' ('time', 'vendor', 'product', 'serial', 'action') VALUES ($((1700000000 + i)), 'Vendor of a rather long name $i', 'Product with a long description $i', 'SERIAL-$i-0123456789ABCDEF0123456789', $((i % 3)));"
  done
  echo "COMMIT;"
} | sqlite3 "$install/reportdb.dat"

key='HKLM\Software\Vestara\DeviceControl'
quiet reg add "$key" /v InstallPath /t REG_SZ /d 'C:\vx mgmt' /f
quiet reg add "$key" /v ServerMode /t REG_DWORD /d 1 /f
quiet reg add "$key" /v ServerHost /t REG_SZ /d localhost /f
quiet reg add "$key" /v ClientId /t REG_BINARY /d "$client_id" /f
computer_name="$("$WINE" cmd /c 'echo %COMPUTERNAME%' 2>/dev/null | tr -d '\r\n')"

"$peer" --port 13911 --client-id "$client_id" --installer "$bin/vxup_standin.exe" --rows "$rows" --seconds 200 \
  --computer-name "$computer_name" >"$work/peer.log" 2>&1 &
peer_pid=$!

quiet 'C:\vxsvc\VestaraDeviceControl.exe' /i
sleep 1
for _ in $(seq 20); do quiet sc start "$service" && break; sleep 0.5; done

wait_for() { # SECONDS DESCRIPTION COMMAND...
  local seconds="$1" what="$2"
  shift 2
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  echo "timed out waiting for $what"
  cat "$work/peer.log"
  exit 1
}
wait_for 120 "the first session" grep -q 'session 1 done' "$work/peer.log"
wait_for 30 "the installer's marker" test -s "$install/vxup_marker.txt"

# The administration tool sees the session the service keeps.
vxctl_show() { "$WINE" "$bin/vxctl.exe" server show --json 2>&1 | tr -d '\r'; }
shown="$(vxctl_show)"
echo "vxctl server show --json: $shown"
grep -qF '"serverMode": 1, "serverHost": "localhost", "clientId": "00112233445566778899aabbccddeeff"' <<<"$shown" ||
  { echo "vxctl shows other settings"; exit 1; }
grep -qF '"connected": true, "serverAddress": "127.0.0.1", "serverPort": 13911' <<<"$shown" ||
  { echo "vxctl does not show the connection"; exit 1; }

quiet sc stop "$service" || true
stopped() { "$WINE" sc query "$service" 2>/dev/null | grep -q STOPPED; }
wait_for 30 "the service to stop" stopped
for _ in $(seq 20); do quiet sc start "$service" && break; sleep 0.5; done

status=0
wait "$peer_pid" || status=$?
peer_pid=
cat "$work/peer.log"
[[ $status == 0 ]] || { echo "the peer failed with status $status"; exit 1; }
# The peer has closed the second session: the restarted service says so.
disconnected() { vxctl_show | grep -qF '"connected": false, "serverAddress": "127.0.0.1", "serverPort": 13911'; }
wait_for 30 "vxctl to show the session ended" disconnected

marker="$(tr -d '\r' <"$install/vxup_marker.txt")"
echo "$marker"
grep -qxF 'command line: "C:\vx mgmt\VXUP.exe"' <<<"$marker" || { echo "wrong command line"; exit 1; }
grep -qxE 'working directory: C:\\vx mgmt\\?' <<<"$marker" || { echo "wrong working directory"; exit 1; }
cmp -s "$bin/vxup_standin.exe" "$install/VXUP.exe" || { echo "VXUP.exe differs from the pushed file"; exit 1; }
size=$(stat -c %s "$install/configdb.dat")
[[ "$size" == 131360 ]] || { echo "configdb.dat: $size bytes"; exit 1; }
echo "installed service session: both sessions as expected"
