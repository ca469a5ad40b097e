#!/usr/bin/env bash
# End to end: `tonwell fix` of a 24-megapixel JPEG against `djpeg | cjpeg` at
# the same quality: wall time and peak resident memory, each the median of
# several runs. Targets: at most 1.5 times the pipeline's time, under 160 MiB.
#
# Usage: bench/e2e/run.sh [BUILD_DIR]   (default: build; use a Release build)
# Environment: QUALITY (default 90), RUNS (default 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/e2e/common.sh" "$@"
quality=${QUALITY:-90}
runs=${RUNS:-5}

require djpeg cjpeg python3 /usr/bin/time

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 6000 x 4000: the sample photo tiled 10 x 10.
djpeg "$root/samples/underexposed.jpg" > "$work/sample.ppm"
tiled_sample "$work/sample.ppm" 10 10 | cjpeg -quality "$quality" > "$work/big.jpg"
size=$(jpeg_size "$work/big.jpg")

: > "$work/pipe"
: > "$work/fix"
for _ in $(seq "$runs"); do
  measure sh -c "djpeg '$work/big.jpg' | cjpeg -quality $quality > '$work/pipe.jpg'" >> "$work/pipe"
  measure "$tonwell" fix "$work/big.jpg" -o "$work/fixed.jpg" --quality "$quality" >> "$work/fix"
done

pipe_s=$(cut -d' ' -f1 "$work/pipe" | median)
pipe_kb=$(cut -d' ' -f2 "$work/pipe" | median)
fix_s=$(cut -d' ' -f1 "$work/fix" | median)
fix_kb=$(cut -d' ' -f2 "$work/fix" | median)
pipe_cpu=$(cut -d' ' -f3 "$work/pipe" | median)
fix_cpu=$(cut -d' ' -f3 "$work/fix" | median)
ratio=$(awk -v a="$fix_s" -v b="$pipe_s" 'BEGIN { printf "%.2f", a / b }')
fix_mib=$(awk -v k="$fix_kb" 'BEGIN { printf "%.1f", k / 1024 }')
pipe_mib=$(awk -v k="$pipe_kb" 'BEGIN { printf "%.1f", k / 1024 }')

echo "image:            $size, $(stat -c %s "$work/big.jpg") bytes, quality $quality; median of $runs runs"
echo "djpeg | cjpeg:    ${pipe_s} s wall, ${pipe_cpu} s CPU, peak ${pipe_mib} MiB"
echo "tonwell fix:      ${fix_s} s wall, ${fix_cpu} s CPU, peak ${fix_mib} MiB"
echo "time ratio:       ${ratio} (target <= 1.5; the pipeline runs on two processors at once)"
echo "machine:          $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$("$tonwell" analyze "$work/big.jpg" | head -1)"
ok=$(awk -v r="$ratio" -v m="$fix_mib" 'BEGIN { print (r <= 1.5 && m < 160) ? "yes" : "no" }')
echo "targets met:      $ok"
[ "$ok" = yes ]
