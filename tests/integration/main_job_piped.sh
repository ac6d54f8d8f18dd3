#!/usr/bin/env bash
# The main job as a person runs it with its output piped into a reader (as
# "scripts/dev run | tee log" does), in a run directory of its own:
#   - the simulated stick is not listed as attached until "stick plug";
#   - "stick plug", "stick write" and "stick unplug" say what they did;
#   - a Ctrl-C to the whole group (the reader dies with it, so the clean-up
#     writes into a closed pipe) still stops and removes everything: no Wine
#     process of the prefix left, the server stopped, the service removed.
#   main_job_piped.sh ROOT WIN_BUILD_DIR VXMGMTD WORK_DIR
set -euo pipefail
root="$1" build="$2" vxmgmtd="$3" work="$4"
run_demo="$root/scripts/run_demo"
out="$work/output.txt"
export VX_RUN_DIR="$work/run" VX_VXMGMTD="$vxmgmtd"
prefix="$VX_RUN_DIR/wine-prefix"

[[ -x "$vxmgmtd" ]] || { echo "vxmgmtd is missing: $vxmgmtd (build the native preset first)"; exit 1; }

# Processes whose environment names the prefix: the Wine programs of the run.
prefix_processes() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    tr "\\0" "\\n" 2>/dev/null <"$environ" | grep -qxF "WINEPREFIX=$prefix" && echo "${environ//[^0-9]/}"
  done
  return 0
}

group=""
fail() {
  echo "FAIL: $*"
  echo "--- main job output"
  cat "$out" 2>/dev/null || true
  [[ -z "$group" ]] || kill -KILL -- "-$group" 2>/dev/null || true
  for pid in $(prefix_processes); do kill -KILL "$pid" 2>/dev/null || true; done
  exit 1
}
wait_for() { # SECONDS DESCRIPTION COMMAND...
  local deadline=$((SECONDS + $1)) what="$2"
  shift 2
  until "$@"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.5
  done
}
shown() { grep -qF -- "$1" "$out"; }

rm -rf "$work" && mkdir -p "$work"
: >"$out"
# A group of its own, like a terminal's foreground job: the main job and its
# reader, which dies of the same interrupt. A command started with "&" from a
# script ignores SIGINT, and a shell cannot trap what it inherits ignored, so
# perl (always on Debian) puts the default action back first, as a terminal
# has it.
perl -e 'use POSIX (); $SIG{INT} = "DEFAULT"; POSIX::setsid(); exec @ARGV or die "exec: $!"' \
  bash -c '"$0" "$1" | while IFS= read -r line; do printf "%s\n" "$line" >>"$2"; done' \
  "$run_demo" "$build" "$out" </dev/null &
group=$!

wait_for 120 "the main job to run" shown "Ctrl-C here stops and removes everything"
wait_for 30 "the policy pushed to the filter driver" shown "the service pushed the rule list to the filter driver"
sleep 3 # three passes of the service
shown "USB disk attached" && fail "the stick was listed as attached before it was plugged"

stick() { "$run_demo" stick "$@" 2>&1 | tr -d '\r' || true; }
answer="$(stick plug)"
[[ "$answer" == "plugged: Acme Sim Stick (revision 1.00, serial SIM0001); the filter driver judges its reads and writes" ]] ||
  fail "stick plug said: $answer"
answer="$(stick plug)"
[[ "$answer" == "already plugged: Acme Sim Stick (revision 1.00, serial SIM0001)" ]] || fail "a second stick plug said: $answer"
wait_for 30 "the stick's arrival" shown "USB disk attached: Acme Sim Stick (revision 1.00, serial SIM0001)"
answer="$(stick write)"
[[ "$answer" == "write: done" ]] || fail "stick write said: $answer"
answer="$(stick unplug)"
[[ "$answer" == "unplugged: Acme Sim Stick (revision 1.00, serial SIM0001)" ]] || fail "stick unplug said: $answer"
answer="$(stick read)"
[[ "$answer" == "read: the stick is not plugged (scripts/dev stick plug)" ]] || fail "a read after unplug said: $answer"
answer="$(stick shake)"
[[ "$answer" == "usage: scripts/dev stick plug|unplug|read|write" ]] || fail "stick shake said: $answer"

kill -INT -- "-$group"
wait_for 90 "the clean-up to end" bash -c "! pgrep -g $group >/dev/null"
wait "$group" 2>/dev/null || true

left="$(prefix_processes)"
[[ -z "$left" ]] || fail "Wine processes of the prefix still run: $(ps -o pid=,args= -p "${left//$'\n'/,}" || true)"
pgrep -f -- "$vxmgmtd serve" >/dev/null && fail "vxmgmtd still runs"
grep -q 'VestaraDeviceControlWinService' "$prefix/system.reg" && fail "the service is still registered"
grep -qi 'Software\\\\Vestara' "$prefix/system.reg" && fail "the product's registry key is still there"
echo "PASS: the stick shows only when plugged, says what it did, and a piped run cleans up on Ctrl-C"
