#!/usr/bin/env bash
# A very large JPEG: `tonwell fix --memory-limit` (streamed in bands) against
# `vips hist_equal` on the same file, wall time, CPU time and peak resident
# memory of each (/usr/bin/time -v). Goal: faster than vips, with a lower
# peak, under 100 MiB.
#
# Usage: bench/e2e/large.sh [BUILD_DIR]   (default: build; use a Release build)
# Environment: MEGAPIXELS (default 250; 1000 for a gigapixel), QUALITY (90),
#              LIMIT (tonwell's --memory-limit, default 64M), RUNS (1),
#              WORK (a folder with room for the JPEG, default a temporary one).
# vips comes from Debian's libvips-tools, installed here when missing; it is
# needed by this benchmark only.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/e2e/common.sh" "$@"
megapixels=${MEGAPIXELS:-250}
quality=${QUALITY:-90}
limit=${LIMIT:-64M}
runs=${RUNS:-1}

if ! command -v vips >/dev/null; then
  echo "installing libvips-tools for the comparison" >&2
  if [ "$(id -u)" = 0 ]; then apt-get install -y --no-install-recommends libvips-tools >/dev/null
  else sudo apt-get install -y --no-install-recommends libvips-tools >/dev/null; fi
fi
require djpeg cjpeg python3 vips /usr/bin/time

if [ -n "${WORK:-}" ]; then
  work=$WORK
  mkdir -p "$work"
  trap 'rm -f "$work"/big.jpg "$work"/fixed.jpg "$work"/vips.jpg "$work"/sample.ppm "$work"/time "$work"/stderr "$work"/fix.txt "$work"/vips.txt' EXIT
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# The sample photo tiled, piped straight into cjpeg: the image never exists
# uncompressed on disk.
djpeg "$root/samples/underexposed.jpg" > "$work/sample.ppm"
tiled_sample "$work/sample.ppm" "$megapixels" | cjpeg -quality "$quality" > "$work/big.jpg"
size=$(jpeg_size "$work/big.jpg")

: > "$work/fix.txt"
: > "$work/vips.txt"
for _ in $(seq "$runs"); do
  measure "$tonwell" fix "$work/big.jpg" -o "$work/fixed.jpg" --quality "$quality" --memory-limit "$limit" >> "$work/fix.txt"
  rm -f "$work/fixed.jpg"
  measure vips hist_equal "$work/big.jpg" "$work/vips.jpg[Q=$quality]" >> "$work/vips.txt"
  rm -f "$work/vips.jpg"
done
col() { cut -d' ' -f"$2" "$work/$1.txt" | median; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

echo "image:        $size, $(stat -c %s "$work/big.jpg") bytes, quality $quality; median of $runs run(s)"
echo "tonwell fix:  $(col fix 1) s wall, $(col fix 3) s CPU, peak $(mib "$(col fix 2)") MiB (--memory-limit $limit)"
echo "vips:         $(col vips 1) s wall, $(col vips 3) s CPU, peak $(mib "$(col vips 2)") MiB (hist_equal, vips $(vips --version | cut -d' ' -f1 | cut -d- -f2))"
echo "machine:      $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
ok=$(awk -v f="$(col fix 1)" -v v="$(col vips 1)" -v fm="$(col fix 2)" -v vm="$(col vips 2)" \
  'BEGIN { print (f < v && fm < vm && fm < 100 * 1024) ? "yes" : "no" }')
echo "goal met:     $ok (faster than vips, lower peak, under 100 MiB)"
