#!/bin/sh
# Redraws the committed PNGs from morrelcom.svg; the build uses the PNGs as they are,
# so only someone changing the drawing needs rsvg-convert (Debian: librsvg2-bin).
# The 16-pixel image comes from the SVG's own hand-fitted small drawing (small.css).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for n in 16 32 48 64 128; do
    if [ "$n" = 16 ]; then
        rsvg-convert -s "$here/small.css" -w "$n" -h "$n" "$here/morrelcom.svg" -o "$here/morrelcom-$n.png"
    else
        rsvg-convert -w "$n" -h "$n" "$here/morrelcom.svg" -o "$here/morrelcom-$n.png"
    fi
done
