#!/usr/bin/env bash
# Writes the reference policy file with the native build and with the win64
# build under Wine, and requires the two files to be byte-identical.
#   policy_cross_build.sh NATIVE_PROGRAM WINDOWS_PROGRAM WINE_PREFIX WORK_DIR
set -euo pipefail
native="$1" windows="$2" prefix="$3" work="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[[ -x "$native" ]] || { echo "native build missing: $native (build the native preset first)"; exit 1; }
rm -rf "$work" && mkdir -p "$work/native" "$work/windows"
"$native" "$work/native"
"$here/../../scripts/wine_run" "$prefix" "$windows" "Z:$work/windows"
cmp "$work/native/configdb.dat" "$work/windows/configdb.dat"
echo "native and Windows policy files are byte-identical ($(stat -c %s "$work/native/configdb.dat") bytes)"
