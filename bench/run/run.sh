#!/bin/sh
# Converts the sample messages and the shared corpus with quillmark-convert and
# prints messages per minute, the median and 95th percentile per message and
# the peak memory of all processes; then the same messages the way one would
# script it by hand (soffice --convert-to pdf, pdftoppm, convert) and the
# ratio; then the floor: the warm engine's own stage times for the same
# messages, and how far the run lies above it.
#   bench/run/run.sh [build-dir] [message folders...]
# It ends with a whole production (--production) of the same messages with
# one worker and with two: pages per second side by side.
#   HAND_LIMIT=n  times the hand-made pipeline on the first n messages only
#   PRODUCTION_ONLY=1  only the production, one worker and two
# Last, the PST stores of PST_FILES (':'-separated; default: the shared
# corpus's) read in place against the same items written out as .eml files,
# messages per second side by side, and the peak memory over the largest.
#   ARCHIVES_ONLY=1  only that
set -e
src="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$src/build}"
[ $# -gt 0 ] && shift
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" 
cmake --build "$build" --target bench_run -j2 >/dev/null
if [ $# -eq 0 ]; then
  set -- "$src/samples"
  for corpus in eml eml-extra html-mail; do
    [ -d "$src/../shared/corpus/$corpus" ] && set -- "$@" "$src/../shared/corpus/$corpus"
  done
fi
if [ -z "${PST_FILES+set}" ] && [ -d "$src/../shared/corpus/archives/pst" ]; then
  PST_FILES="$(find "$src/../shared/corpus/archives/pst" -name '*.pst' | sort | tr '\n' ':')"
  export PST_FILES
fi
exec "$build/bench/bench_run" "$build/program" "${HAND_LIMIT:-0}" "$@"
