#!/usr/bin/env bash
# Draws the download window's pictures (banner, logo, exit button) and the Windows program's
# icon into assets/ with ImageMagick. The pictures are committed; run this again only to change
# them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/assets
font=DejaVu-Sans-Bold
mkdir -p "$out/Data/LOGO" "$out/img" "$out/win"

# Banner 600x100: a dark blue gradient with the product name.
convert -size 600x100 gradient:'#0b2a5b'-'#1f6fb2' \
    -fill '#ffffff' -font "$font" -pointsize 34 -gravity west -annotate +24-8 'PC-Velka' \
    -fill '#cfe3ff' -font DejaVu-Sans -pointsize 15 -gravity west -annotate +26+26 \
    'Vehicle diagnostics - software update' \
    -fill '#f2b705' -draw 'rectangle 0,94 600,100' \
    -strip -quality 85 "$out/Data/main_bg03.jpg"

# Logo 600x320: a stylised gauge and the product name on a light background.
convert -size 600x320 gradient:'#f4f7fb'-'#d9e4f2' \
    -stroke '#1f6fb2' -strokewidth 10 -fill none -draw 'arc 200,40 400,240 150,390' \
    -stroke '#f2b705' -strokewidth 8 -draw 'line 300,140 360,90' \
    -stroke none -fill '#0b2a5b' -draw 'circle 300,140 312,140' \
    -fill '#0b2a5b' -font "$font" -pointsize 40 -gravity south -annotate +0+30 'PC-Velka' \
    -strip -quality 85 "$out/Data/LOGO/velkapc_logo.jpg"

# Exit button 90x40: a raised red button with its label.
convert -size 90x40 gradient:'#e0473c'-'#a8231a' \
    -fill none -stroke '#ffffff' -strokewidth 1 -draw 'roundrectangle 2,2 87,37 6,6' \
    -stroke none -fill '#ffffff' -font "$font" -pointsize 16 -gravity center -annotate +0+0 'EXIT' \
    -strip -quality 90 "$out/img/but_exit.jpg"

# Windows icon: the logo's gauge on the banner's blue, drawn at 256x256 and reduced to the sizes
# Explorer and the taskbar ask for.
icon=$(mktemp --suffix=.png)
trap 'rm -f "$icon"' EXIT
convert -size 256x256 xc:none \
    -fill '#1f6fb2' -draw 'roundrectangle 8,8 247,247 40,40' \
    -fill '#0b2a5b' -draw 'roundrectangle 16,16 239,239 34,34' \
    -stroke '#ffffff' -strokewidth 22 -fill none -draw 'circle 128,136 208,136' \
    -stroke none -fill '#0b2a5b' -draw 'polygon 128,136 216,187 216,212 181,230 75,230 40,212 40,187' \
    -stroke '#f2b705' -strokewidth 18 -draw 'line 128,136 184,82' \
    -stroke none -fill '#f2b705' -draw 'circle 128,136 146,136' \
    -fill '#f2b705' -draw 'rectangle 48,212 208,226' \
    "png32:$icon"
convert "$icon" -define icon:auto-resize=256,48,32,16 "$out/win/pc_velka_setup.ico"

identify "$out/Data/main_bg03.jpg" "$out/Data/LOGO/velkapc_logo.jpg" "$out/img/but_exit.jpg" \
    "$out/win/pc_velka_setup.ico"
