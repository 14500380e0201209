#!/usr/bin/env bash
# The window under a real window manager: its frame, title bar included, lands at the
# point the resize handler computes from the outer size, never above the screen's top.
# Usage: frame_placement_test.sh OKUVA_EXECUTABLE. Exits 77 (skipped) without Xvfb,
# openbox, xdotool or xprop.
set -euo pipefail
app=$1
for tool in Xvfb openbox xdotool xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
unset QT_QPA_PLATFORM
# A display of our own: the first free number from 90.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=":$display"
for _ in $(seq 50); do xprop -root >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 &
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break; sleep 0.1; done
OKUVA_CAMERA=simulated "$app" >/dev/null 2>&1 &
# A sanitizer build on a busy machine may take many seconds to show its window.
id=""
framed=""
for _ in $(seq 900); do
  id=$(xdotool search --name "^OKUVA: " 2>/dev/null | head -1) || true
  if [ -n "$id" ] && xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | grep -q =; then framed=yes; break; fi
  sleep 0.1
done
[ -n "$id" ] || { echo "FAIL: the window never appeared"; exit 1; }
[ -n "$framed" ] || { echo "FAIL: the window manager never framed the window"; exit 1; }
# The window is placed again once framed; wait until it has stayed put for a second.
last=""
for _ in $(seq 40); do
  now=$(xwininfo -id "$id" | awk '/Absolute upper-left/ {printf "%s ", $4}')
  [ "$now" = "$last" ] && break
  last=$now
  sleep 1
done
read -r left right top bottom < <(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
x=$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {print $4}')
y=$(xwininfo -id "$id" | awk '/Absolute upper-left Y/ {print $4}')
w=$(xwininfo -id "$id" | awk '/Width:/ {print $2}')
h=$(xwininfo -id "$id" | awk '/Height:/ {print $2}')
frameX=$((x - left)) frameY=$((y - top))
outerW=$((w + left + right)) outerH=$((h + top + bottom))
# The handler's point: (screen - window) / 29 in twips, 15 twips a pixel, rounded.
read -r wantX wantY < <(awk -v w="$outerW" -v h="$outerH" 'BEGIN {
  printf "%d %d\n", int(int((1280 - w) * 15 / 29) / 15 + 0.5), int(int((1024 - h) * 15 / 29) / 15 + 0.5) }')
echo "frame at $frameX,$frameY (outer ${outerW}x${outerH}); computed $wantX,$wantY"
if [ "$frameX" -ne "$wantX" ] || [ "$frameY" -ne "$wantY" ]; then
  echo "FAIL: the frame is not at the computed point"
  exit 1
fi
echo "1 passed, 0 failed"
