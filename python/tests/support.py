"""A private machine root for this test process, with the Tonwell module registered in it,
and the build tree's tools. Import before the first tonwell.Dispatch.

The build tree is $TONWELL_BUILD_DIR (ctest sets it), else <checkout>/build."""

import atexit
import os
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("TONWELL_BUILD_DIR") or os.path.join(CHECKOUT, "build")
TOOL = os.path.join(BUILD, "bin", "tonwell")
PROGID = "TonwellObj.TonwellExposure"

# Never the user's own root: a fresh one, whatever the environment named.
ROOT = tempfile.mkdtemp(prefix="tonwell-root-")
os.environ["TONWELL_ROOT"] = ROOT
atexit.register(shutil.rmtree, ROOT, True)
os.environ.setdefault("TONWELL_PLATFORM_LIB", os.path.join(BUILD, "lib", "libtonwellplatform.so"))
subprocess.run([TOOL, "register", "--quiet"], check=True)


def run_tool(*args):
    return subprocess.run([TOOL, *args], check=True, capture_output=True)


def write_ppm(path, width, height, pixels):
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height))
        f.write(bytes(pixels))


def read_ppm(path):
    """(width, height, pixel bytes) of a binary PPM with 8-bit samples."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:]
    assert len(pixels) == width * height * 3
    return width, height, pixels


def fixed_by_tool(width, height, pixels, *options):
    """The pixels `tonwell fix` writes for an RGB image (the component called through its vtable)."""
    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "in.ppm"), os.path.join(folder, "out.ppm")
        write_ppm(source, width, height, pixels)
        run_tool("fix", source, "-o", target, *options)
        got_width, got_height, fixed = read_ppm(target)
        assert (got_width, got_height) == (width, height)
        return fixed


def dark_image(width, height):
    """Packed RGB rows of a dark, varied image: the component brightens it."""
    return bytes((7 * x + 13 * y + 5 * c) % 70 + 10 for y in range(height) for x in range(width) for c in range(3))


def with_stride(packed, width, height, stride, pad=0xEE):
    """Packed rows laid out `stride` bytes apart, the gaps filled with `pad`."""
    row = width * 3
    out = bytearray([pad]) * ((height - 1) * stride + row)
    for y in range(height):
        out[y * stride:y * stride + row] = packed[y * row:(y + 1) * row]
    return out
