#!/usr/bin/env bash
# The whole management road with the real server: the installed service
# (win64, under Wine, started through the service control manager with
# ServerMode 1 and ServerHost localhost) and vxmgmtd (native) on
# 127.0.0.1:13911. vxmgmtd drains every report row, sets a parent policy
# that the service applies and whose digest the server then sees, and
# pushes the installer stand-in, which the service starts.
#   service_with_vxmgmtd.sh VXMGMTD WIN_BIN_DIR WORK_DIR
set -euo pipefail
vxmgmtd="$1" bin="$2" work="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
prefix="$work/prefix"
db="$work/vxmgmtd.db"
WINE=/usr/lib/wine/wine64
export WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEDEBUG=-all
quiet() { "$WINE" "$@" </dev/null >/dev/null 2>&1; }
service=VestaraDeviceControlWinService
client_id=0123456789ABCDEF0123456789ABCDEF
agent=0123456789abcdef0123456789abcdef
rows=3000

[[ -x "$vxmgmtd" ]] || { echo "vxmgmtd is missing: $vxmgmtd (build the native preset first)"; exit 1; }

cleanup() {
  quiet sc stop "$service" || true
  quiet 'C:\vxsvc\VestaraDeviceControl.exe' /u || true
  [[ -n "${server_pid:-}" ]] && kill "$server_pid" 2>/dev/null || true
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- vxmgmtd log"
  cat "$work/vxmgmtd.log"
  exit 1
}
wait_for() { # SECONDS DESCRIPTION COMMAND...
  local seconds="$1" what="$2" deadline
  shift 2
  deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || { mgmt agents || true; fail "timed out waiting for $what"; }
    sleep 0.5
  done
}
mgmt() { "$vxmgmtd" "$@" --db "$db"; }

rm -rf "$work" && mkdir -p "$work"
"$here/../../scripts/wine_session" ensure "$prefix"
install="$prefix/drive_c/vx mgmt"
mkdir -p "$install" "$prefix/drive_c/vxsvc"
cp "$bin/VestaraDeviceControl.exe" "$bin/vxctl.exe" "$prefix/drive_c/vxsvc/"

# Report rows as the monitor stores them: more than fit in one page.
{
  echo "CREATE TABLE IF NOT EXISTS 'reports' ('id' integer primary key autoincrement, 'time' integer, 'vendor' text, 'product' text, 'serial' text, 'action' int);"
  echo "BEGIN;"
  for i in $(seq 1 $rows); do
    echo "INSERT INTO 'reports' ('time', 'vendor', 'product', 'serial', 'action') VALUES ($((1700000000 + i)), 'Vendor $i', 'Product of a long name $i', 'SERIAL-$i-0123456789ABCDEF', $((i % 3)));"
  done
  echo "COMMIT;"
} | sqlite3 "$install/reportdb.dat"

key='HKLM\Software\Vestara\DeviceControl'
quiet reg add "$key" /v InstallPath /t REG_SZ /d 'C:\vx mgmt' /f
quiet reg add "$key" /v ServerMode /t REG_DWORD /d 1 /f
quiet reg add "$key" /v ServerHost /t REG_SZ /d localhost /f
quiet reg add "$key" /v ClientId /t REG_BINARY /d "$client_id" /f

"$vxmgmtd" serve --listen 127.0.0.1:13911 --db "$db" >"$work/vxmgmtd.log" 2>&1 &
server_pid=$!
wait_for 10 "vxmgmtd to listen" grep -q 'serving agents' "$work/vxmgmtd.log"

quiet 'C:\vxsvc\VestaraDeviceControl.exe' /i
sleep 1
for _ in $(seq 20); do quiet sc start "$service" && break; sleep 0.5; done

# Every row drained, each once.
drained() { [[ "$(mgmt reports --agent "$agent" --csv | tail -n +2 | cut -d, -f2 | sort -un | wc -l)" == "$rows" ]]; }
wait_for 120 "all $rows rows at the server" drained
count="$(mgmt reports --agent "$agent" --csv | tail -n +2 | wc -l)"
[[ "$count" == "$rows" ]] || fail "$count rows stored for $rows sent"
echo "rows drained: $rows, each once"
shown_connected() { mgmt agents | grep "^$agent " | grep -q " 127\.0\.0\.1:[0-9]* *approved *yes "; }
wait_for 10 "the agent shown connected" shown_connected

# A parent policy: the service applies it (the rule list follows the parent
# by default) and the server sees the digest it expects.
mgmt policy set --all --rule "block vendor Acme" --floppy unlocked >/dev/null
expected="$(mgmt policy show --json | grep -o '"digest": "0x[0-9A-F]*"' | head -n1 | grep -o '0x[0-9A-F]*')"
[[ -n "$expected" && "$expected" != 0xBE9BB610 ]] || fail "no new digest for the assignment ($expected)"
in_force() { mgmt agents | grep "$agent" | grep -q "in force"; }
wait_for 30 "the policy in force on the agent" in_force
grep -qi "policy in line (digest $expected)" "$work/vxmgmtd.log" || fail "the log does not show digest $expected"
shown="$("$WINE" 'C:\vxsvc\vxctl.exe' policy show 2>&1 | tr -d '\r')"
grep -q '1. block      vendor contains "Acme"' <<<"$shown" || fail "the service does not enforce the rule: $shown"
grep -q 'Floppy drives:  unlocked' <<<"$shown" || fail "the floppy lock was not lifted: $shown"
echo "policy in force with digest $expected; the service shows: block vendor contains \"Acme\""

# An installer pushed once; the service starts it from its install directory.
mgmt push "$bin/vxup_standin.exe" --agent "$agent" >/dev/null
wait_for 60 "the installer's marker" test -s "$install/vxup_marker.txt"
marker="$(tr -d '\r' <"$install/vxup_marker.txt")"
grep -qxF 'command line: "C:\vx mgmt\VXUP.exe"' <<<"$marker" || fail "wrong command line: $marker"
cmp -s "$bin/vxup_standin.exe" "$install/VXUP.exe" || fail "VXUP.exe differs from the pushed file"
delivered() { grep -qi "update.*delivered" "$work/vxmgmtd.log"; }
wait_for 30 "the delivery recorded" delivered
echo "update delivered and started: $(head -n1 <<<"$marker")"
echo "service with vxmgmtd: rows, policy and update as expected"
