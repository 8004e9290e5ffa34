#!/usr/bin/env bash
# Draws the program's icon: a sensor head over a white/black contrast mark, its red beam
# striking the edge and the light going back to the receiver, and a green LINE OK lamp.
# Writes icons/tavrin-zurid.svg and icons/tavrin-zurid-<size>.png for the hicolor theme from
# one list of shapes (ImageMagick draws the PNGs). Needs ImageMagick. The output is committed;
# run this again only to change the icon.
set -euo pipefail

out=${1:-$(dirname "$0")/icons}
mkdir -p "$out"
svg=""
mvg=""

# Shapes in a 128×128 box; each one goes into the SVG and into ImageMagick's MVG alike.
roundrect() { # x0 y0 x1 y1 radius fill
  svg+="  <rect x=\"$1\" y=\"$2\" width=\"$(($3 - $1))\" height=\"$(($4 - $2))\" rx=\"$5\" fill=\"$6\"/>"$'\n'
  mvg+="fill '$6' stroke none roundrectangle $1,$2 $3,$4 $5,$5"$'\n'
}
rect() { # x0 y0 x1 y1 fill
  svg+="  <rect x=\"$1\" y=\"$2\" width=\"$(($3 - $1))\" height=\"$(($4 - $2))\" fill=\"$5\"/>"$'\n'
  mvg+="fill '$5' stroke none rectangle $1,$2 $3,$4"$'\n'
}
circle() { # cx cy r fill
  svg+="  <circle cx=\"$1\" cy=\"$2\" r=\"$3\" fill=\"$4\"/>"$'\n'
  mvg+="fill '$4' stroke none circle $1,$2 $(($1 + $3)),$2"$'\n'
}
line() { # x0 y0 x1 y1 width colour
  svg+="  <line x1=\"$1\" y1=\"$2\" x2=\"$3\" y2=\"$4\" stroke=\"$6\" stroke-width=\"$5\" stroke-linecap=\"round\"/>"$'\n'
  mvg+="fill none stroke '$6' stroke-width $5 stroke-linecap round line $1,$2 $3,$4"$'\n'
}

roundrect 4 4 124 124 22 '#1d3557'   # tile
rect 16 86 64 110 '#ffffff'          # contrast mark: white ...
rect 64 86 112 110 '#111111'         # ... and black, the edge at x = 64
line 52 46 64 84 5 '#ff4d4d'         # transmitter beam onto the edge
line 64 84 76 46 5 '#9fd8ff'         # light back to the receiver
roundrect 34 14 94 40 6 '#e6e9ed'    # sensor head
circle 52 40 7 '#e63946'             # transmitter lens
circle 76 40 7 '#457b9d'             # receiver lens
circle 85 22 3 '#2ecc71'             # LINE OK lamp

{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<svg xmlns="http://www.w3.org/2000/svg" width="128" height="128" viewBox="0 0 128 128">'
  printf '%s' "$svg"
  echo '</svg>'
} >"$out/tavrin-zurid.svg"

# Drawn at 512 px and scaled down, for smooth edges; written without time stamps.
for size in 48 64 128 256; do
  convert -size 512x512 xc:none -draw "scale 4,4 $mvg" -resize "${size}x${size}" \
    -strip -define png:exclude-chunks=date,time "PNG32:$out/tavrin-zurid-$size.png"
done
