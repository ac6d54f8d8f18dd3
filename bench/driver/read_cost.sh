#!/usr/bin/env bash
# Instructions added to one read on an allowed disk by the filter driver,
# over a bare skip-forward filter, counted by callgrind.
#
#   bench/driver/read_cost.sh [build dir]     (default build/native)
set -euo pipefail
build="${1:-build/native}"
program="$build/bin/driver_read_cost"
reads=10000
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
count() {
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/$1.out" "$program" "$1" >/dev/null 2>&1
  awk '/^totals:/ {print $2}' "$work/$1.out"
}
filter=$(count filter)
bare=$(count bare)
echo "instructions per read: filter $((filter / reads)), bare skip-forward $((bare / reads)), added $(((filter - bare) / reads))"
