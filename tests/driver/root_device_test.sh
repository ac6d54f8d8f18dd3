#!/usr/bin/env bash
# The filter driver under Wine with a ROOT-enumerated device: Wine calls the
# driver's AddDevice for it, and a device whose bus is not USB is left
# unfiltered and unlogged. Runs in a Wine session of its own whose first
# program is the probe, so the platform's and the driver's debug output
# (WINEDEBUG) can be read.
#
#   root_device_test.sh SOURCE_DIR PROBE_EXE DRIVER_SYS WORK_DIR
set -euo pipefail
source_dir="$1" probe="$2" driver="$3" work="$4"
prefix="$work/wine-prefix"
log="$work/wine-debug.log"
mkdir -p "$work"
# A prepared prefix, then its session ended, so the probe starts a new one.
"$source_dir/scripts/wine_session" ensure "$prefix"
"$source_dir/scripts/wine_session" stop "$prefix"
export WINEPREFIX="$prefix"
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
status=0
WINEDEBUG="+plugplay,warn+debugstr" timeout 120 /usr/lib/wine/wine64 "$probe" "Z:$driver" >"$work/probe.out" 2>"$log" ||
  status=$?
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w 2>/dev/null || true
rm -rf "$prefix" "$prefix.lock"  # about 700 MB; the logs stay
cat "$work/probe.out"
[[ $status == 0 ]] || { echo "probe failed with status $status"; exit 1; }
check() {
  if grep -qF -- "$1" "$2"; then echo "seen: $1"; else echo "missing in the debug output: $1"; exit 1; fi
}
# The test device's own AddDevice call: the lines that follow its arrival.
grep -A2 -F 'Adding new root-enumerated device L"ROOT\\VXDEVFLTRTEST\\0000"' "$log" >"$work/add-device.log" || true
check 'Adding new root-enumerated device L"ROOT\\VXDEVFLTRTEST\\0000"' "$work/add-device.log"
check "Calling AddDevice routine" "$work/add-device.log"
check "returned 0." "$work/add-device.log"
check "SetRuleList: inputLen 0 count 0 sizeof USB_RULE 264" "$log"
check "Do Copy" "$log"
check "SetRuleList: inputLen 265 count 1 sizeof USB_RULE 264" "$log"
# The log was empty: GetLogs prints nothing.
if grep -qF "GetLogs:" "$log"; then echo "GetLogs printed a line for an empty log"; exit 1; fi
