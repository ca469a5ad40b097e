# Shared by the end-to-end benchmarks (sourced with the script's arguments, after
# $root is set): the tonwell to measure, the test image, its size, and the
# measuring of one run. `measure` writes its scratch files into $work.

# The build folder is the first argument (default build); $tonwell is its binary.
build=${1:-$root/build}
tonwell=$build/bin/tonwell

# Stops (status 2) unless every command named and $tonwell are there.
# Usage: require COMMAND...
require() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps" >&2; exit 2; }
  done
  [ -x "$tonwell" ] || { echo "no $tonwell: build first (scripts/build --release)" >&2; exit 2; }
}

# A PPM on standard output of about MEGAPIXELS million pixels, or exactly
# ACROSS x DOWN tiles: the bundled sample photo (600 x 400, dark) tiled, every
# other tile mirrored and every other row of tiles upside down, so that the
# JPEG made of it carries real photographic detail.
# Usage: tiled_sample SAMPLE.ppm MEGAPIXELS | tiled_sample SAMPLE.ppm ACROSS DOWN
tiled_sample() {
  python3 - "$@" <<'PY'
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
assert fields[0] == b"P6" and fields[3] == b"255"
w, h = int(fields[1]), int(fields[2])
pixels = data[pos + 1:pos + 1 + w * h * 3]
rows = [pixels[y * w * 3:(y + 1) * w * 3] for y in range(h)]
mirrored = [b"".join(r[x * 3:x * 3 + 3] for x in range(w - 1, -1, -1)) for r in rows]
if len(sys.argv) == 4:
    across, down = int(sys.argv[2]), int(sys.argv[3])
else:
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
}

# "WIDTH x HEIGHT (N MP)" of a baseline JPEG, from its frame header.
jpeg_size() {
  python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(1<<16); i=d.find(b'\xff\xc0'); h,w=struct.unpack('>HH',d[i+5:i+9]); print(f'{w} x {h} ({w*h/1e6:.0f} MP)')" "$1"
}

# "wall-seconds peak-kilobytes cpu-seconds" of one run of the command (for a
# shell pipeline, the peak of its largest process).
measure() {
  /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; exit 1; }
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$work/time"
}

# The median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
