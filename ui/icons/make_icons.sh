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
