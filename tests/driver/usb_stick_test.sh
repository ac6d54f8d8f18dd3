#!/usr/bin/env bash
# The filter driver under Wine above a simulated USB stick (a test bus
# driver), in a Wine session of its own whose first program is the probe.
#
#   usb_stick_test.sh SOURCE_DIR PROBE_EXE FILTER_SYS BUS_SYS WORK_DIR
set -euo pipefail
source_dir="$1" probe="$2" filter="$3" bus="$4" work="$5"
prefix="$work/wine-prefix"
log="$work/wine-debug.log"
mkdir -p "$work"
"$source_dir/scripts/wine_session" ensure "$prefix"
"$source_dir/scripts/wine_session" stop "$prefix"
export WINEPREFIX="$prefix"
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
status=0
WINEDEBUG="+plugplay,warn+debugstr" timeout 180 /usr/lib/wine/wine64 "$probe" "Z:$filter" "Z:$bus" \
  >"$work/probe.out" 2>"$log" || status=$?
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w 2>/dev/null || true
rm -rf "$prefix" "$prefix.lock"
cat "$work/probe.out"
[[ $status == 0 ]] || { echo "probe failed with status $status (debug output: $log)"; exit 1; }
