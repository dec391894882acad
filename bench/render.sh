#!/bin/sh
# Builds and runs the page image benchmark; prints figures, checks nothing.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target bench_render -j 2
exec "$build/bench/bench_render"
