#!/bin/sh
# Exports the icon's PNG sizes from resources/quillmark.svg. The PNGs are kept
# in the repository so building needs no SVG renderer; run this after editing
# the drawing (needs rsvg-convert: apt-get install librsvg2-bin).
set -e
cd "$(dirname "$0")/../resources"
if ! command -v rsvg-convert >/dev/null 2>&1; then
    echo "rsvg-convert is missing: apt-get install librsvg2-bin" >&2
    exit 1
fi
for size in 16 22 24 32 48 64 128; do
    rsvg-convert -w "$size" -h "$size" quillmark.svg -o "quillmark-$size.png"
done
# The largest size is also the one the window shows.
rsvg-convert -w 256 -h 256 quillmark.svg -o quillmark.png
