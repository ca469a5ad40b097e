#!/usr/bin/env bash
# End to end: `tonwell fix` of a 24-megapixel JPEG against `djpeg | cjpeg` at
# the same quality: wall time and peak resident memory, each the median of
# several runs. Targets: at most 1.5 times the pipeline's time, under 160 MiB.
#
# Usage: bench/e2e/run.sh [BUILD_DIR]   (default: build; use a Release build)
# Environment: QUALITY (default 90), RUNS (default 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tonwell=$build/bin/tonwell
quality=${QUALITY:-90}
runs=${RUNS:-5}

for tool in djpeg cjpeg python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps" >&2; exit 2; }
done
[ -x "$tonwell" ] || { echo "no $tonwell: build first (scripts/build --release)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 6000 x 4000: the darkened sample photo (600 x 400) tiled 10 x 10, every
# other tile mirrored, so that the JPEG carries real photographic detail.
djpeg "$root/samples/underexposed.jpg" > "$work/sample.ppm"
python3 - "$work/sample.ppm" "$work/big.ppm" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
fields, pos = [], 0
while len(fields) < 4:
    while data[pos:pos + 1].isspace():
        pos += 1
    start = pos
    while not data[pos:pos + 1].isspace():
        pos += 1
    fields.append(data[start:pos])
assert fields[0] == b"P6" and fields[3] == b"255"
w, h = int(fields[1]), int(fields[2])
pixels = data[pos + 1:pos + 1 + w * h * 3]
rows = [pixels[y * w * 3:(y + 1) * w * 3] for y in range(h)]
def mirror(row):
    return b"".join(row[x * 3:x * 3 + 3] for x in range(w - 1, -1, -1))
mirrored = [mirror(r) for r in rows]
with open(sys.argv[2], "wb") as out:
    out.write(b"P6\n%d %d\n255\n" % (w * 10, h * 10))
    for tile in range(10):
        for y in (range(h) if tile % 2 == 0 else range(h - 1, -1, -1)):
            out.write((rows[y] + mirrored[y]) * 5)
PY
cjpeg -quality "$quality" "$work/big.ppm" > "$work/big.jpg"
rm -f "$work/big.ppm"
size=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(); i=d.find(b'\xff\xc0'); h,w=struct.unpack('>HH',d[i+5:i+9]); print(f'{w} x {h}')" "$work/big.jpg")

# Prints "wall-seconds peak-kilobytes cpu-seconds" for one run of the command
# (the pipeline's figures include both of its processes; its peak is the larger one's).
measure() {
  /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; exit 1; }
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$work/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

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
