#!/bin/sh
# Builds and runs the office engine benchmark; prints figures, checks nothing.
# An optional argument limits how many documents soffice converts (default 20).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target bench_office -j 2
exec "$build/bench/bench_office" "$@"
