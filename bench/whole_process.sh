#!/usr/bin/env bash
# Whole-process comparison of okuva-tool with libjpeg-turbo's cjpeg on one 2560 x 1920
# photograph (mate-backgrounds' Wood.jpg decoded), as PPM and as PNG:
#   encode  okuva-tool encode IN OUT   against  cjpeg -quality 75 -optimize -dct float
#           -baseline -sample 2x2,1x1,1x1  (the same tables, sampling and Huffman
#           optimisation); target: okuva-tool at least as fast (CPU ratio >= 1.0)
#   export  okuva-tool export IN OUT   against  cjpeg -quality 90 -sample 2x2;
#           target: okuva-tool's CPU time at most 1.2 x cjpeg's
# cjpeg cannot read PNG: its PNG runs are `pngtopnm IN | cjpeg`, timed as one. netpbm's
# PNG decoder is slow, so those ratios say more about it than about cjpeg; the PPM
# cases are the comparison of encoders.
# The two tools run interleaved (their order alternating), RUNS rounds; each figure is
# the median over the rounds of CPU time (user + sys), elapsed time and peak resident
# memory, taken by whole_process_runner.c (wait4, so a pipeline's processes count
# together). The memory limit printed is the surface (3 bytes per pixel, rows padded
# to 4) plus 4 bytes per pixel.
#
# Usage: bench/whole_process.sh [OKUVA_TOOL] [RUNS]
#   OKUVA_TOOL defaults to build/release/tools/okuva-tool; RUNS to 9 (at least 7).
# Needs a C compiler, cjpeg/djpeg (libjpeg-turbo-progs), pngtopnm/pnmtopng (netpbm) and
# mate-backgrounds; scripts/setup.sh installs them.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/release/tools/okuva-tool}")
runs=${2:-9}
photo=/usr/share/backgrounds/mate/nature/Wood.jpg
width=2560
height=1920
[ -x "$tool" ] || { echo "missing $tool" >&2; exit 1; }
for need in cc cjpeg djpeg pngtopnm pnmtopng pamcut; do
  command -v "$need" >/dev/null || { echo "missing $need (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -r "$photo" ] || { echo "missing $photo (mate-backgrounds)" >&2; exit 1; }
[ "$runs" -ge 7 ] || { echo "RUNS must be at least 7" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/okuva-whole.XXXXXX")
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/runner" bench/whole_process_runner.c
# The centre of the photograph, as the in-process benchmarks take it.
read -r pw ph < <(djpeg -pnm "$photo" | head -c 64 | sed -n 2p)
djpeg -pnm "$photo" |
  pamcut -left $(((pw - width) / 2)) -top $(((ph - height) / 2)) -width $width -height $height \
    >"$work/photo.ppm"
pnmtopng "$work/photo.ppm" >"$work/photo.png" 2>/dev/null

# run NAME COMMAND...: one timed run, appended to $work/NAME as "cpu elapsed maxrss_kb".
run() {
  local name=$1
  shift
  rm -f "$work/out.jpg"
  "$work/runner" "$@" >>"$work/$name" 2>"$work/stderr" ||
    { echo "failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
}

median() {  # median of column $2 of file $1
  sort -g -k"$2,$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

limit_kb=$(((((width * 3 + 3) / 4 * 4) * height + 4 * width * height) / 1024))
printf "okuva-tool: %s\nphotograph: %s, %d x %d; %d interleaved rounds; medians\n" \
  "$tool" "$photo" "$width" "$height" "$runs"
printf "memory limit (surface + 4 bytes per pixel): %d KiB\n\n" "$limit_kb"
printf "%-12s %-8s %10s %10s %10s %10s %10s %10s %9s %s\n" case tool cpu_ms wall_ms rss_kib \
  peer_cpu peer_wall peer_rss cpu_ratio target

png_ok=1
if ! "$tool" encode "$work/photo.png" "$work/probe.jpg" >/dev/null 2>&1; then
  png_ok=0
fi
rm -f "$work/probe.jpg"

compare() {  # compare CASE INPUT KIND
  local case=$1 input=$2 kind=$3 ours peer
  local -a ours_cmd peer_cmd
  : >"$work/ours"
  : >"$work/peer"
  if [ "$kind" = encode ]; then
    ours_cmd=("$tool" encode "$input" "$work/out.jpg")
    peer_args="-quality 75 -optimize -dct float -baseline -sample 2x2,1x1,1x1"
  else
    ours_cmd=("$tool" export "$input" "$work/out.jpg")
    peer_args="-quality 90 -sample 2x2"
  fi
  if [[ $input == *.png ]]; then
    peer_cmd=(sh -c "pngtopnm '$input' | cjpeg $peer_args -outfile '$work/out.jpg'")
  else
    # shellcheck disable=SC2206  # the options are words on purpose
    peer_cmd=(cjpeg $peer_args -outfile "$work/out.jpg" "$input")
  fi
  for ((i = 0; i < runs; i++)); do
    if ((i % 2)); then
      run peer "${peer_cmd[@]}"
      run ours "${ours_cmd[@]}"
    else
      run ours "${ours_cmd[@]}"
      run peer "${peer_cmd[@]}"
    fi
  done
  local oc ow om pc pw pm ratio target met
  oc=$(median "$work/ours" 1); ow=$(median "$work/ours" 2); om=$(median "$work/ours" 3)
  pc=$(median "$work/peer" 1); pw=$(median "$work/peer" 2); pm=$(median "$work/peer" 3)
  if [ "$kind" = encode ]; then
    # Speed: cjpeg's CPU time over ours, at least 1.0.
    ratio=$(awk -v o="$oc" -v p="$pc" 'BEGIN { printf "%.2f", (o > 0 ? p / o : 0) }')
    met=$(awk -v r="$ratio" 'BEGIN { print (r >= 1.0 ? "met" : "NOT met") }')
    target="speed>=1.0 $met"
  else
    # CPU time: ours over cjpeg's, at most 1.2.
    ratio=$(awk -v o="$oc" -v p="$pc" 'BEGIN { printf "%.2f", (p > 0 ? o / p : 0) }')
    met=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.2 ? "met" : "NOT met") }')
    target="cpu<=1.2x $met"
  fi
  local mem="rss<=limit met"
  [ "$om" -le "$limit_kb" ] || mem="rss<=limit NOT met"
  printf "%-12s %-8s %10.0f %10.0f %10d %10.0f %10.0f %10d %9s %s; %s\n" "$case" "$kind" \
    "$(awk -v v="$oc" 'BEGIN { print v * 1000 }')" "$(awk -v v="$ow" 'BEGIN { print v * 1000 }')" \
    "$om" "$(awk -v v="$pc" 'BEGIN { print v * 1000 }')" \
    "$(awk -v v="$pw" 'BEGIN { print v * 1000 }')" "$pm" "$ratio" "$target" "$mem"
}

compare ppm-encode "$work/photo.ppm" encode
compare ppm-export "$work/photo.ppm" export
if [ "$png_ok" = 1 ]; then
  compare png-encode "$work/photo.png" encode
  compare png-export "$work/photo.png" export
else
  echo "(okuva-tool does not read PNG here: the PNG cases are skipped)"
fi
if [ "$png_ok" = 1 ]; then
  echo "(the PNG cases' peer includes pngtopnm, much slower than cjpeg's own reading)"
fi
echo
echo "cpu_ratio: encode = cjpeg CPU / okuva-tool CPU; export = okuva-tool CPU / cjpeg CPU"
