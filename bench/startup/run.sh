#!/bin/sh
# Time from starting the window program to its window shown, warm machine.
#   bench/startup/run.sh [build-dir] [rounds]
set -e
src="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$src/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build"
cmake --build "$build" --target bench_startup -j2 >/dev/null
exec "$build/bench/bench_startup" "$build/program" "${2:-7}"
