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
build=${1:-$root/build}
tonwell=$build/bin/tonwell
megapixels=${MEGAPIXELS:-250}
quality=${QUALITY:-90}
limit=${LIMIT:-64M}
runs=${RUNS:-1}

if ! command -v vips >/dev/null; then
  echo "installing libvips-tools for the comparison" >&2
  if [ "$(id -u)" = 0 ]; then apt-get install -y --no-install-recommends libvips-tools >/dev/null
  else sudo apt-get install -y --no-install-recommends libvips-tools >/dev/null; fi
fi
for tool in djpeg cjpeg python3 vips /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps" >&2; exit 2; }
done
[ -x "$tonwell" ] || { echo "no $tonwell: build first (scripts/build --release)" >&2; exit 2; }

if [ -n "${WORK:-}" ]; then
  work=$WORK
  mkdir -p "$work"
  trap 'rm -f "$work"/big.jpg "$work"/fixed.jpg "$work"/vips.jpg "$work"/sample.ppm "$work"/time "$work"/stderr "$work"/fix.txt "$work"/vips.txt' EXIT
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# The bundled sample (600 x 400, dark) tiled, every other tile mirrored, piped
# straight into cjpeg: the image never exists uncompressed on disk.
djpeg "$root/samples/underexposed.jpg" > "$work/sample.ppm"
python3 - "$work/sample.ppm" "$megapixels" <<'PY' | cjpeg -quality "$quality" > "$work/big.jpg"
import math, sys
data = open(sys.argv[1], "rb").read()
fields, pos = [], 0
while len(fields) < 4:
    while data[pos:pos + 1].isspace():
        pos += 1
    start = pos
    while not data[pos:pos + 1].isspace():
        pos += 1
    fields.append(data[start:pos])
w, h = int(fields[1]), int(fields[2])
pixels = data[pos + 1:pos + 1 + w * h * 3]
rows = [pixels[y * w * 3:(y + 1) * w * 3] for y in range(h)]
mirrored = [b"".join(r[x * 3:x * 3 + 3] for x in range(w - 1, -1, -1)) for r in rows]
# A 16:10 frame of whole tiles holding at least the pixels asked for.
target = float(sys.argv[2]) * 1e6
across = math.ceil(math.sqrt(target * 1.6) / w)
down = math.ceil(target / (across * w) / h)
out = sys.stdout.buffer
out.write(b"P6\n%d %d\n255\n" % (w * across, h * down))
for tile in range(down):
    for y in (range(h) if tile % 2 == 0 else range(h - 1, -1, -1)):
        pair = rows[y] + mirrored[y]
        out.write(pair * (across // 2) + (rows[y] if across % 2 else b""))
PY
size=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(1<<16); i=d.find(b'\xff\xc0'); h,w=struct.unpack('>HH',d[i+5:i+9]); print(f'{w} x {h} ({w*h/1e6:.0f} MP)')" "$work/big.jpg")

# "wall-seconds peak-kilobytes cpu-seconds" of one run.
measure() {
  /usr/bin/time -v -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; exit 1; }
  awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, t, ":"); wall = (n == 3) ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2] }
    /Maximum resident set size/ { rss = $2 }
    /User time/ { cpu += $2 } /System time/ { cpu += $2 }
    END { printf "%.2f %d %.2f\n", wall, rss, cpu }' "$work/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

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
