"""Caller buffers passed by reference (BYTE*), and the sizes the component's methods need.

A buffer argument is anything with the buffer protocol that is writable, C-contiguous and
made of 1-byte items: a bytearray, a writable memoryview, a ctypes array, a NumPy uint8
array. The method writes into it in place, so read-only buffers (bytes) are refused.
"""

import ctypes
import operator


def is_buffer(value):
    if isinstance(value, str):
        return False
    try:
        memoryview(value).release()
    except TypeError:
        return False
    return True


class PinnedBuffer:
    """A writable buffer held for the length of one call: its address and size. The object
    cannot be resized or freed while pinned (a bytearray refuses to grow)."""

    def __init__(self, value, what):
        view = memoryview(value)
        try:
            if view.readonly:
                raise TypeError("%s: the buffer is read-only (%s); the method writes into it, so pass a "
                                "bytearray, a writable memoryview or a NumPy array" % (what, type(value).__name__))
            if not view.c_contiguous:
                raise TypeError("%s: the buffer is not C-contiguous; pass a contiguous copy" % what)
            if view.itemsize != 1:
                raise TypeError("%s: the buffer's items are %d bytes wide (format %r); pass bytes (uint8)"
                                % (what, view.itemsize, view.format))
            self.size = view.nbytes
            self._array = (ctypes.c_ubyte * self.size).from_buffer(view)
        except BaseException:
            view.release()
            raise
        self._view = view
        self.address = ctypes.addressof(self._array)

    def release(self):
        if self._view is not None:
            self._array = None
            self._view.release()
            self._view = None


def _count(name, value):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__)) from None
    if number < 0 or number > 0xFFFFFFFF:
        raise ValueError("%s = %d is not a 32-bit unsigned value" % (name, number))
    return number


def image_bytes_needed(width, height, stride, channels=3):
    """Bytes that `height` rows of `width` pixels, `stride` bytes apart, span."""
    if width == 0 or height == 0:
        return 0
    return (height - 1) * stride + width * channels


def check_image(args, sizes):
    """SetImage(pImage, dwWidth, dwHeight, dwStride): 24-bit RGB rows, corrected in place.
    `args` maps the parameter names given to their values, `sizes` buffer names to sizes."""
    if "pImage" not in sizes or not {"dwWidth", "dwHeight", "dwStride"} <= args.keys():
        return
    width = _count("dwWidth", args["dwWidth"])
    height = _count("dwHeight", args["dwHeight"])
    stride = _count("dwStride", args["dwStride"])
    if height > 1 and stride < width * 3:
        raise ValueError("dwStride = %d is less than a row of %d RGB pixels (%d bytes)" % (stride, width, width * 3))
    needed = image_bytes_needed(width, height, stride)
    if sizes["pImage"] < needed:
        raise ValueError("pImage holds %d bytes, fewer than the %d that %d rows of %d RGB pixels with stride %d "
                         "span" % (sizes["pImage"], needed, height, width, stride))


def check_results(args, sizes):
    """GetResults(lpResults, cbSize): cbSize bytes at lpResults."""
    if "lpResults" not in sizes or "cbSize" not in args:
        return
    size = _count("cbSize", args["cbSize"])
    if sizes["lpResults"] < size:
        raise ValueError("lpResults holds %d bytes, fewer than cbSize = %d" % (sizes["lpResults"], size))


# Methods whose buffer parameter has a size only the other parameters tell, by method name
# (any case): their parameter names, in order, and the check. The positions of the names
# are asked of the object itself (GetIDsOfNames), never assumed.
CONTRACTS = {
    "setimage": (("pImage", "dwWidth", "dwHeight", "dwStride"), check_image),
    "getresults": (("lpResults", "cbSize"), check_results),
}
