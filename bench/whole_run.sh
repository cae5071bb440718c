#!/usr/bin/env bash
# Whole-run performance: the utility over 1, 16, 64 and 256 adapter functions
# on the simulated bench, with a programming tool that exits at once, side by
# side with the floor (bench/floor.cpp: the same command lines handed to
# system() in the same directory, nothing else).
#
#   bench/whole_run.sh [RUNS [SIZE...]]      default: 11 runs; 1 16 64 256
#
# Per size: wall time, the process's own CPU time (getrusage RUSAGE_SELF,
# children excluded) and peak memory, medians of RUNS runs of each taken in
# turn; then instruction counts under callgrind, which do not depend on the
# machine's load, with the simulated library's share shown apart. The
# simulated library traces nothing here, and the tool never changes the
# bench, so the library reads its state once per run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-11}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 16 64 256)

bin=$root/build/release
work=$root/build/whole-run
{ cmake --preset release && cmake --build --preset release -j2; } >/dev/null

# Instructions callgrind counted.
instructions() {
  callgrind_annotate "$1" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }'
}
# Only the simulated library's: its calls and the release of its state at exit.
library_only=(--toggle-collect='AdpmGet*' --toggle-collect='AdpmInit*' --toggle-collect='AdpmUnInit*'
              --toggle-collect='AdpmUninit*' --toggle-collect='AdpmEnable*' --toggle-collect='AdpmRead*'
              --toggle-collect='AdpmWrite*' --toggle-collect='AdpmRefresh*'
              --toggle-collect='*::Library::~Library*')

for n in "${sizes[@]}"; do
  dir=$work/$n
  rm -rf "$dir"
  "$bin/bench/qik_whole_run" prepare examples/demo "$dir" "$n"
  cp "$bin/src/driver/qik_programmer" "$bin/sim/libadpm_x64.so.6" "$bin/bench/qik_floor" "$dir"/
  # One run with a tool that records its command lines gives the floor's.
  printf '#!/bin/sh\nprintf "./nicflsh %%s >/dev/null 2>&1\\n" "$*" >>commands.txt\n' >"$dir/nicflsh"
  chmod +x "$dir/nicflsh"
  (cd "$dir" && ./qik_programmer >/dev/null)
  cp /bin/true "$dir/nicflsh"  # the tool that exits at once

  echo "== $n adapter functions, $(wc -l <"$dir/commands.txt") tool commands, $runs runs each"
  "$bin/bench/qik_whole_run" measure "$dir" "$runs" "$bin/bench/libqik_rusage.so"

  (cd "$dir" && valgrind --tool=callgrind --callgrind-out-file=callgrind.utility \
     ./qik_programmer >/dev/null 2>&1)
  (cd "$dir" && valgrind --tool=callgrind --callgrind-out-file=callgrind.library "${library_only[@]}" \
     ./qik_programmer >/dev/null 2>&1)
  (cd "$dir" && valgrind --tool=callgrind --callgrind-out-file=callgrind.floor \
     ./qik_floor commands.txt >/dev/null 2>&1)
  utility=$(instructions "$dir/callgrind.utility")
  library=$(instructions "$dir/callgrind.library")
  floor=$(instructions "$dir/callgrind.floor")
  echo "instructions: utility $utility (simulated library $library, the rest $((utility - library))), floor $floor"
  echo
done
