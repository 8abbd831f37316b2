#!/usr/bin/env bash
# Renders the icon's PNG sizes from looptest.svg (committed, so a build needs no SVG renderer).
#   usage: packaging/icons/render.sh   (needs rsvg-convert: apt-get install librsvg2-bin)
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" looptest.svg --output "looptest-$size.png"
done
