#!/usr/bin/env bash
# A console run ("/r") of the service program in a Wine prefix of its own,
# with both drivers loaded as kernel services: it writes configdb.dat and
# reportdb.dat in the install directory, and its debugger output shows the
# rule list pushed exactly once while both drivers answer.
#   console_run.sh BIN_DIR WORK_DIR
set -euo pipefail
bin="$1" work="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
prefix="$work/prefix"
WINE=/usr/lib/wine/wine64
export WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
quiet() { WINEDEBUG=-all "$WINE" "$@" </dev/null >/dev/null 2>&1; }

cleanup() {
  [[ -n "${run_pid:-}" ]] && kill "$run_pid" 2>/dev/null || true
  "$here/../../scripts/wine_session" unload-driver "$prefix" VXDevCtrl
  "$here/../../scripts/wine_session" unload-driver "$prefix" VXDevFltr
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

rm -rf "$work" && mkdir -p "$work"
"$here/../../scripts/wine_session" ensure "$prefix"
install="$prefix/drive_c/vxrun"
mkdir -p "$install"
cp "$bin/VestaraDeviceControl.exe" "$install/"
cp "$bin/VXDevFlt.sys" "$bin/VXDevCtrl.sys" "$prefix/drive_c/windows/system32/drivers/"
quiet reg add 'HKLM\Software\Vestara\DeviceControl' /v InstallPath /t REG_SZ /d 'C:\vxrun' /f
drivers='C:\windows\system32\drivers'
"$here/../../scripts/wine_session" load-driver "$prefix" VXDevFltr "$drivers\VXDevFlt.sys"
"$here/../../scripts/wine_session" load-driver "$prefix" VXDevCtrl "$drivers\VXDevCtrl.sys"

(cd "$install" && WINEDEBUG=warn+debugstr exec "$WINE" VestaraDeviceControl.exe /r </dev/null >"$work/stdout.log" 2>"$work/debug.log") &
run_pid=$!
for _ in $(seq 100); do [[ -f "$install/reportdb.dat" ]] && break; sleep 0.1; done
sleep 4  # several more one-second passes
kill "$run_pid" 2>/dev/null || true
wait "$run_pid" 2>/dev/null || true
run_pid=

status=0
size=$(stat -c %s "$install/configdb.dat" 2>/dev/null || echo missing)
[[ "$size" == 131360 ]] || { echo "configdb.dat: $size (expected 131360 bytes)"; status=1; }
[[ -s "$install/reportdb.dat" ]] || { echo "reportdb.dat missing"; status=1; }
rulesSent=$(grep -c '"Set 1 usb rule"' "$work/debug.log" || true)
[[ "$rulesSent" == 1 ]] || { echo "\"Set 1 usb rule\" seen $rulesSent times (expected once)"; status=1; }
other=$(grep -c '"Set [0-9]* usb rule"' "$work/debug.log" || true)
[[ "$other" == 1 ]] || { echo "rule list pushed $other times"; status=1; }
echo "console run: configdb.dat $size bytes, reportdb.dat present, \"Set 1 usb rule\" seen $rulesSent time(s)"
exit $status
