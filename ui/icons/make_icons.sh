#!/usr/bin/env bash
# Regenerates the PNGs in this folder from make_icons.py (needs python3 and ImageMagick).
# The PNGs are committed, so a build never needs either.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 make_icons.py "$tmp"
for n in open setup exit; do
    convert "$tmp/$n.xpm" "PNG32:$n.png"
    # The greyed picture for the disabled state: grey levels, lightened, alpha kept.
    convert "$tmp/$n.xpm" -colorspace Gray -channel RGB -level -60%,100% +channel \
        "PNG32:${n}_disabled.png"
done
convert "$tmp/program.xpm" -colors 16 "PNG8:program.png"

# The same pixels at 150 % and 200 %, each pixel a block of its own: a desktop scaled up
# draws these as they are, where the toolkit would blur the small ones.
for n in open open_disabled setup setup_disabled exit exit_disabled; do
    convert "$n.png" -filter point -resize 150% "PNG32:$n@1.5x.png"
    convert "$n.png" -filter point -resize 200% "PNG32:$n@2x.png"
done
convert program.png -filter point -resize 150% "PNG8:program@1.5x.png"
convert program.png -filter point -resize 200% "PNG8:program@2x.png"
