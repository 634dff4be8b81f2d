#!/bin/sh
# Renders the program's icon data/icons/sweepbox.svg to the PNG sizes that are
# installed and built into the program (data/icons/sweepbox-<size>.png). The
# PNGs are committed, so only a change of the drawing needs this script; it
# uses rsvg-convert (Debian package librsvg2-bin).
set -eu
cd "$(dirname "$0")/../data/icons"
command -v rsvg-convert >/dev/null || { echo "$0: rsvg-convert is missing (apt-get install librsvg2-bin)" >&2; exit 1; }
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --output "sweepbox-$size.png" sweepbox.svg
done
