#!/usr/bin/env bash
# Renders the committed PNG icons from the SVG (needs rsvg-convert, package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 128 256; do
  rsvg-convert -w "$size" -h "$size" io.github.tunevert.Tunevert.svg \
    -o "io.github.tunevert.Tunevert-$size.png"
done
