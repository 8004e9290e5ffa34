#!/usr/bin/env bash
# Draws the banner bitmaps logo1.png ... logo10.png of the ten suppliers (see logo.cpp) into the
# directory given (default: beside this script). Needs ImageMagick and the DejaVu fonts. The
# output is committed; run this again only to change a logo.
set -euo pipefail

out=${1:-$(dirname "$0")}
sans=DejaVu-Sans
bold=DejaVu-Sans-Bold
cond=DejaVu-Sans-Condensed-Bold
serif=DejaVu-Serif-Bold

# Written without time stamps or other metadata, so that a rerun gives the same bytes.
save() { convert "$@" -strip -define png:exclude-chunks=date,time "PNG32:$out/$target"; }

# 1 Nordlicht Sensorik, grey on white: a four-pointed star over a horizon line.
target=logo1.png save -size 150x44 xc:white \
  -fill '#6d8a96' -draw 'polygon 22,3 26,17 40,21 26,25 22,39 18,25 4,21 18,17' \
  -fill '#808080' -draw 'rectangle 4,40 146,41' \
  -font "$bold" -pointsize 15 -draw "text 46,20 'NORDLICHT'" \
  -font "$sans" -pointsize 11 -draw "text 47,35 'S E N S O R I K'"

# 2 Brandt & Kessler, black on white: a black tile with the initials.
target=logo2.png save -size 136x44 xc:white \
  -fill black -draw 'rectangle 0,0 43,43' \
  -fill white -font "$serif" -pointsize 22 -draw "text 5,30 'BK'" \
  -fill black -font "$bold" -pointsize 13 -draw "text 50,19 'BRANDT &'" \
  -draw "text 50,36 'KESSLER'"

# 3 Feldmark Optoelektronik, grey on white: three furrows under a lens.
target=logo3.png save -size 190x46 xc:white \
  -stroke '#808080' -strokewidth 3 -fill none \
  -draw 'circle 22,16 22,4' \
  -draw 'line 4,34 40,34' -draw 'line 8,40 36,40' \
  -stroke none -fill '#808080' -draw 'circle 22,16 22,10' \
  -fill '#505050' -font "$bold" -pointsize 18 -draw "text 50,22 'FELDMARK'" \
  -fill '#808080' -font "$sans" -pointsize 10 -draw "text 51,38 'Optoelektronik'"

# 4 Lenz Automation, grey on white: a gear-like ring of squares.
target=logo4.png save -size 170x46 xc:white \
  -fill '#808080' \
  -draw 'rectangle 19,2 27,9' -draw 'rectangle 19,37 27,44' \
  -draw 'rectangle 2,19 9,27' -draw 'rectangle 37,19 44,27' \
  -stroke '#808080' -strokewidth 6 -fill none -draw 'circle 23,23 23,10' \
  -stroke none -fill '#404040' -font "$bold" -pointsize 20 -draw "text 54,25 'LENZ'" \
  -fill '#808080' -font "$sans" -pointsize 11 -draw "text 55,40 'Automation'"

# 5 Azur Technik, white on the banner's blue: an eye, the sensor's lens looking right.
target=logo5.png save -size 44x44 xc:'#0080ff' \
  -stroke white -strokewidth 3 -fill none \
  -draw "path 'M 3,22 Q 22,2 41,22 Q 22,42 3,22 Z'" \
  -stroke none -fill white -draw 'circle 22,22 22,14' \
  -fill '#0080ff' -draw 'circle 22,22 22,18' \
  -fill white -draw 'circle 25,19 25,18'

# 6 Kranich Elektronik, black on white: a crane's head and beak in profile.
target=logo6.png save -size 150x44 xc:white \
  -fill black -draw 'circle 16,16 16,6' -draw 'polygon 24,12 44,18 24,20' \
  -draw 'polygon 10,24 20,24 16,42 12,42' \
  -fill white -draw 'circle 18,13 18,11' \
  -fill black -font "$bold" -pointsize 17 -draw "text 50,22 'KRANICH'" \
  -font "$sans" -pointsize 11 -draw "text 51,37 'Elektronik'"

# 7 Seidel Industrieoptik, grey on white: a prism splitting a beam.
target=logo7.png save -size 170x44 xc:white \
  -fill '#a0a0a0' -draw 'polygon 22,4 40,38 4,38' \
  -stroke '#505050' -strokewidth 2 -draw 'line 0,26 14,22' \
  -draw 'line 30,20 44,14' -draw 'line 31,24 44,26' \
  -stroke none -fill '#505050' -font "$cond" -pointsize 18 -draw "text 50,22 'SEIDEL'" \
  -fill '#808080' -font "$sans" -pointsize 10 -draw "text 51,37 'Industrieoptik'"

# 8 Falk & Sohn, grey on white: a falcon's wing.
target=logo8.png save -size 150x44 xc:white \
  -fill '#808080' -draw 'polygon 4,30 40,6 30,22 44,18 28,36' \
  -fill '#404040' -font "$serif" -pointsize 17 -draw "text 52,23 'Falk'" \
  -fill '#808080' -font "$sans" -pointsize 11 -draw "text 53,38 '& Sohn Sensorik'"

# 9 Tiefsee Systemtechnik: a deep-sea band across the banner that carries the white caption.
# Its waves are short straight segments: this ImageMagick strokes open curves badly.
wave=()
for y in 24 34; do
  while read -r x0 y0 x1 y1; do
    wave+=(-draw "line $x0,$y0 $x1,$y1")
  done < <(awk -v y="$y" 'BEGIN { for (x = 3; x <= 36; x += 3)
    printf "%d %.1f %d %.1f\n", 3 + x, y - 6 * sin((x - 3) / 36 * 6.2832), 6 + x, y - 6 * sin(x / 36 * 6.2832) }')
done
target=logo9.png save -size 52x850 gradient:'#0a2a4a'-'#145a78' -rotate -90 \
  -fill '#1e7898' -draw "path 'M 0,52 L 0,46 Q 95,34 190,46 L 190,52 Z'" \
  -stroke white -strokewidth 2 "${wave[@]}" \
  -stroke none -fill white -font "$bold" -pointsize 17 -draw "text 54,24 'TIEFSEE'" \
  -fill '#b8dcea' -font "$sans" -pointsize 10 -draw "text 55,39 'Systemtechnik'"

# 10 Grauwert Messsysteme, grey on white: a grey ramp of five bars.
target=logo10.png save -size 180x46 xc:white \
  -fill '#d0d0d0' -draw 'rectangle 2,30 8,44' \
  -fill '#b0b0b0' -draw 'rectangle 11,24 17,44' \
  -fill '#909090' -draw 'rectangle 20,17 26,44' \
  -fill '#707070' -draw 'rectangle 29,10 35,44' \
  -fill '#505050' -draw 'rectangle 38,3 44,44' \
  -fill '#505050' -font "$bold" -pointsize 17 -draw "text 52,24 'GRAUWERT'" \
  -fill '#808080' -font "$sans" -pointsize 10 -draw "text 53,39 'Messsysteme'"
