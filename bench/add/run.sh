#!/bin/sh
# Builds and runs the list-filling benchmark: a tree of 100,000 files (or the
# number given) in a temporary folder, added through the real scan into a
# plain list and into the real list widget. Prints seconds and the longest
# time the window could not react.
#   bench/add/run.sh [build-dir] [files]
set -e
src="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$src/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -G Ninja
cmake --build "$build" --target bench_add -j2
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" "$build/bench/bench_add" ${2:-100000}
