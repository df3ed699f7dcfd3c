#!/usr/bin/env bash
# Renders the PNG sizes of the icon from qst-archiver.svg (needs librsvg2-bin). The PNGs are
# checked in, so a build does not need the renderer; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" qst-archiver.svg -o "qst-archiver-$size.png"
done
