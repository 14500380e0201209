#!/usr/bin/env bash
# The window under a real window manager: its frame, title bar included, lands at the
# point the resize handler computes from the outer size, never above the screen's top.
# Usage: frame_placement_test.sh OKUVA_EXECUTABLE. Exits 77 (skipped) without Xvfb,
# openbox, xdotool or xprop.
set -euo pipefail
app=$1
# On a heavily loaded machine the window is now and then still unplaced when the test
# gives up; a start that fails is tried twice more (without the placement by the frame
# every start fails).
if [ -z "${OKUVA_FRAME_ATTEMPT:-}" ]; then
  for attempt in 1 2 3; do
    OKUVA_FRAME_ATTEMPT=$attempt "$0" "$app" && exit 0
    rc=$?
    [ "$rc" -eq 77 ] && exit 77
  done
  exit "$rc"
fi
for tool in Xvfb openbox xdotool xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
unset QT_QPA_PLATFORM
# A display of our own: Xvfb picks a free number and writes it to us.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
read -r -t 20 display <&3 || { echo "skipped: Xvfb did not start"; exit 77; }
export DISPLAY=":$display"
openbox >"$work/openbox.log" 2>&1 &
# Ready once the window manager's check window exists on this display.
wm=""
for _ in $(seq 100); do
  wm=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | awk '/window id/ {print $NF}')
  [ -n "$wm" ] && xwininfo -id "$wm" >/dev/null 2>&1 && break
  wm=""
  sleep 0.1
done
[ -n "$wm" ] || { echo "skipped: openbox did not start"; cat "$work/openbox.log"; exit 77; }
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
# Where the frame stands, and the handler's point for its outer size: (screen - window)
# / 29 in twips, 15 twips a pixel, rounded.
measure() {
  read -r left right top bottom < <(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  local info
  info=$(xwininfo -id "$id")
  frameX=$(($(awk '/Absolute upper-left X/ {print $4}' <<<"$info") - left))
  frameY=$(($(awk '/Absolute upper-left Y/ {print $4}' <<<"$info") - top))
  outerW=$(($(awk '/Width:/ {print $2}' <<<"$info") + left + right))
  outerH=$(($(awk '/Height:/ {print $2}' <<<"$info") + top + bottom))
  read -r wantX wantY < <(awk -v w="$outerW" -v h="$outerH" 'BEGIN {
    printf "%d %d\n", int(int((1280 - w) * 15 / 29) / 15 + 0.5), int(int((1024 - h) * 15 / 29) / 15 + 0.5) }')
}
# The window is placed again once framed; a busy machine may delay that, so the frame
# is given up to 30 seconds to reach the point.
for _ in $(seq 300); do
  measure
  [ "$frameX" -eq "$wantX" ] && [ "$frameY" -eq "$wantY" ] && break
  sleep 0.1
done
echo "frame at $frameX,$frameY (outer ${outerW}x${outerH}); computed $wantX,$wantY"
if [ "$frameX" -ne "$wantX" ] || [ "$frameY" -ne "$wantY" ]; then
  echo "FAIL: the frame is not at the computed point"
  exit 1
fi
echo "1 passed, 0 failed"
