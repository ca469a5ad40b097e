"""The component driven by name through IDispatch, checked against the `tonwell` tool,
which calls the same component through its vtable."""

import ctypes
import os
import subprocess
import sys
import threading
import unittest

import support  # noqa: F401  (the private machine root, before anything is created)
import tonwell
from tonwell import _platform

try:
    import numpy
except ImportError:
    numpy = None

W, H = 9, 7


class DispatchTestCase(unittest.TestCase):
    def setUp(self):
        self.obj = tonwell.Dispatch(support.PROGID)
        self.addCleanup(self.obj.close)


class CorrectionTests(DispatchTestCase):
    def test_dark_image_matches_the_vtable_path(self):
        packed = support.dark_image(W, H)
        expected = support.fixed_by_tool(W, H, packed)
        self.assertNotEqual(expected, packed, "the reference image must be one the component changes")
        image = bytearray(packed)
        self.assertEqual(self.obj.SetImage(image, W, H, W * 3), tonwell.S_OK)
        self.assertEqual(bytes(image), expected)

    def test_stride_padding_is_left_alone(self):
        packed = support.dark_image(W, H)
        expected = support.fixed_by_tool(W, H, packed)
        stride = W * 3 + 5
        image = support.with_stride(packed, W, H, stride)
        self.assertEqual(self.obj.SetImage(image, W, H, stride), tonwell.S_OK)
        self.assertEqual(image, support.with_stride(expected, W, H, stride))

    def test_strength_through_initialize_matches_the_tool(self):
        grey = bytes([128]) * (W * H * 3)
        image = bytearray(grey)
        self.assertEqual(self.obj.SetImage(image, W, H, W * 3), tonwell.S_FALSE, "normal and no strength")
        self.assertEqual(bytes(image), grey)
        self.assertEqual(self.obj.Initialize(15), tonwell.S_OK)
        self.assertEqual(self.obj.SetImage(image, W, H, W * 3), tonwell.S_OK)
        self.assertEqual(bytes(image), support.fixed_by_tool(W, H, grey, "--strength", "15"))

    def test_keyword_arguments_by_parameter_name(self):
        packed = support.dark_image(W, H)
        image = bytearray(packed)
        self.obj.SetImage(image, dwStride=W * 3, dwHeight=H, dwWidth=W)
        self.assertEqual(bytes(image), support.fixed_by_tool(W, H, packed))

    def test_names_are_resolved_by_the_object(self):
        # The platform's type information matches names without regard to case.
        image = bytearray(support.dark_image(W, H))
        self.assertEqual(self.obj.setimage(image, W, H, W * 3), tonwell.S_OK)
        self.assertEqual(self.obj.GetResults(bytearray(4), 4), tonwell.S_OK)

    def test_writable_memoryview(self):
        packed = support.dark_image(W, H)
        storage = bytearray(packed)
        self.obj.SetImage(memoryview(storage), W, H, W * 3)
        self.assertEqual(bytes(storage), support.fixed_by_tool(W, H, packed))

    def test_objects_on_another_thread(self):
        # Each thread enters its own apartment before it creates an object.
        results = []

        def work():
            obj = tonwell.Dispatch(support.PROGID)
            image = bytearray(support.dark_image(W, H))
            results.append((obj.SetImage(image, W, H, W * 3), bytes(image)))
            obj.close()

        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        self.assertEqual(results, [(tonwell.S_OK, support.fixed_by_tool(W, H, support.dark_image(W, H)))])

    def test_bytearray_is_released_after_the_call(self):
        image = bytearray(support.dark_image(W, H))
        self.obj.SetImage(image, W, H, W * 3)
        image.extend(b"xyz")  # released after the call: no export is left behind
        self.assertEqual(len(image), W * H * 3 + 3)


@unittest.skipIf(numpy is None, "NumPy is not installed")
class NumpyTests(DispatchTestCase):
    def test_uint8_array(self):
        packed = support.dark_image(W, H)
        array = numpy.frombuffer(packed, dtype=numpy.uint8).reshape(H, W, 3).copy()
        self.assertEqual(self.obj.SetImage(array, W, H, W * 3), tonwell.S_OK)
        self.assertEqual(array.tobytes(), support.fixed_by_tool(W, H, packed))

    def test_non_contiguous_and_wide_arrays_are_refused(self):
        array = numpy.zeros((H, 2 * W, 3), dtype=numpy.uint8)
        with self.assertRaisesRegex(TypeError, "contiguous"):
            self.obj.SetImage(array[:, ::2], W, H, W * 3)
        with self.assertRaisesRegex(TypeError, "bytes wide"):
            self.obj.SetImage(numpy.zeros((H, W, 3), dtype=numpy.uint16), W, H, W * 3)
        readonly = numpy.zeros((H, W, 3), dtype=numpy.uint8)
        readonly.setflags(write=False)
        with self.assertRaisesRegex(TypeError, "read-only"):
            self.obj.SetImage(readonly, W, H, W * 3)


class BufferRejectionTests(DispatchTestCase):
    def test_read_only_buffers(self):
        for value in (support.dark_image(W, H), memoryview(support.dark_image(W, H))):
            with self.assertRaisesRegex(TypeError, "read-only") as caught:
                self.obj.SetImage(value, W, H, W * 3)
            self.assertIn("argument 1", str(caught.exception))

    def test_non_contiguous_memoryview(self):
        storage = bytearray(2 * W * H * 3)
        with self.assertRaisesRegex(TypeError, "contiguous"):
            self.obj.SetImage(memoryview(storage)[::2], W, H, W * 3)

    def test_too_small_buffer_is_refused_before_the_call(self):
        short = support.dark_image(W, H)[:-1]
        cases = [
            ((W, H, W * 3), {}),
            ((), {"dwWidth": W, "dwHeight": H, "dwStride": W * 3}),
            ((W, H, W * 3 + 1), {}),  # padded rows need (H-1) more bytes
        ]
        for positional, named in cases:
            image = bytearray(short) if not positional else bytearray(support.dark_image(W, H))[:-1]
            with self.subTest(positional=positional, named=named):
                with self.assertRaisesRegex(ValueError, "fewer than"):
                    self.obj.SetImage(image, *positional, **named)
                # Had the component run, the dark bytes would have been brightened.
                self.assertEqual(bytes(image), short)

    def test_rows_that_overlap_are_refused(self):
        image = bytearray(W * H * 3)
        with self.assertRaisesRegex(ValueError, "dwStride"):
            self.obj.SetImage(image, W, H, W * 3 - 1)

    def test_results_buffer_smaller_than_its_size(self):
        with self.assertRaisesRegex(ValueError, "cbSize"):
            self.obj.GetResults(bytearray(2), 3)

    def test_image_of_no_pixels_needs_no_bytes(self):
        self.assertIn(self.obj.SetImage(bytearray(), 0, 0, 0), (tonwell.S_OK, tonwell.S_FALSE))

    def test_non_buffer_objects_are_refused(self):
        with self.assertRaisesRegex(TypeError, "cannot pass a list"):
            self.obj.SetImage([1, 2, 3], 1, 1, 3)


class ErrorTests(DispatchTestCase):
    def test_unknown_member(self):
        with self.assertRaises(tonwell.UnknownNameError) as caught:
            self.obj.Brighten
        self.assertEqual(caught.exception.hresult, tonwell.DISP_E_UNKNOWNNAME)
        self.assertIsInstance(caught.exception, AttributeError)
        self.assertFalse(hasattr(self.obj, "Brighten"))

    def test_unknown_keyword(self):
        with self.assertRaises(tonwell.ComError) as caught:
            self.obj.SetImage(bytearray(3), 1, 1, dwStrde=3)
        self.assertEqual(caught.exception.hresult, tonwell.DISP_E_UNKNOWNNAME)
        self.assertEqual(caught.exception.argument, "dwStrde")

    def test_wrong_argument_counts(self):
        image = bytearray(support.dark_image(W, H))
        for args in ((image, W, H), (image, W, H, W * 3, 0), ()):
            with self.subTest(count=len(args)):
                with self.assertRaises(tonwell.ComError) as caught:
                    self.obj.SetImage(*args)
                self.assertEqual(caught.exception.hresult, tonwell.DISP_E_BADPARAMCOUNT)
        self.assertEqual(bytes(image), support.dark_image(W, H))

    def test_conversions_the_object_refuses(self):
        for value, hresult in (("bright", tonwell.DISP_E_TYPEMISMATCH), (-1, tonwell.DISP_E_OVERFLOW),
                               (2**32, tonwell.DISP_E_OVERFLOW)):
            with self.subTest(value=value):
                with self.assertRaises(tonwell.ComError) as caught:
                    self.obj.Initialize(value)
                self.assertEqual(caught.exception.hresult, hresult)
                self.assertEqual(caught.exception.argument, 0)
        self.assertEqual(self.obj.Initialize(" 12 "), tonwell.S_OK, "text converts as VariantChangeType does")
        other = tonwell.Dispatch(support.PROGID)
        self.addCleanup(other.close)
        for value in (None, other):  # VT_NULL and VT_DISPATCH are no numbers
            with self.subTest(value=value):
                with self.assertRaises(tonwell.ComError) as caught:
                    self.obj.Initialize(value)
                self.assertEqual(caught.exception.hresult, tonwell.DISP_E_TYPEMISMATCH)

    def test_method_failure_carries_the_exception_info(self):
        # SetImage without an image fails with ERROR_INVALID_DATA as an HRESULT. A Python
        # buffer always has an address, so the null pointer is put in by hand.
        dispid = self.obj._ids_of_names(["SetImage"])[0]
        variants = (_platform.VARIANT * 4)()
        variants[3].vt, variants[3].byref = _platform.VT_BYREF | _platform.VT_UI1, None
        for slot, value in ((2, 1), (1, 1), (0, 3)):
            variants[slot].vt, variants[slot].lVal = _platform.VT_I4, value
        with self.assertRaises(tonwell.ComError) as caught:
            self.obj._call(self.obj._pointer(), "SetImage", dispid, variants, 4, [], [])
        error = caught.exception
        self.assertEqual(error.hresult, tonwell.DISP_E_EXCEPTION)
        self.assertEqual(error.scode, 0x8007000D)
        self.assertTrue(error.description)
        self.assertIn("scode = 0x8007000D", str(error))

    def test_unregistered_class(self):
        with self.assertRaises(tonwell.ComError) as caught:
            tonwell.Dispatch("TonwellObj.NoSuchClass")
        self.assertTrue(caught.exception.hresult & 0x80000000)

    def test_released_object(self):
        obj = tonwell.Dispatch(support.PROGID)
        method = obj.Initialize
        with obj:
            self.assertEqual(method(12), tonwell.S_OK)
        with self.assertRaisesRegex(ValueError, "released"):
            method(12)
        obj.close()  # a second release does nothing

    def test_platform_library_missing(self):
        env = dict(os.environ, TONWELL_PLATFORM_LIB="/nonexistent/libtonwellplatform.so")
        code = "import tonwell\ntry:\n tonwell.Dispatch('X.Y')\nexcept tonwell.PlatformNotFoundError as e:\n print(e)"
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        self.assertIn("TONWELL_PLATFORM_LIB", out.stdout)


class TypeInformationTests(DispatchTestCase):
    def test_dir_lists_the_members(self):
        names = dir(self.obj)
        for member in ("Initialize", "SetImage", "GetResults"):
            self.assertIn(member, names)
        self.assertNotIn("QueryInterface", names)

    def test_method_doc_gives_the_parameters(self):
        self.assertEqual(self.obj.SetImage.__doc__, "SetImage(pImage, dwWidth, dwHeight, dwStride)")
        self.assertEqual(self.obj.GetResults.__doc__, "GetResults(lpResults, cbSize)")

    def test_properties_cannot_be_set(self):
        with self.assertRaises(AttributeError):
            self.obj.Strength = 3


class PlatformTypeTests(unittest.TestCase):
    def test_layouts_match_the_platform(self):
        self.assertEqual(ctypes.sizeof(_platform.VARIANT), 16)
        self.assertEqual(ctypes.sizeof(_platform.GUID), 16)
        self.assertEqual(str(_platform.iid("IID_IDispatch")), "{00020400-0000-0000-C000-000000000046}")

    def test_text_round_trips_through_a_bstr(self):
        for text in ("", "Tonwell", "Belichtung \u00fc \U0001F4F7"):
            self.assertEqual(_platform.take_bstr(_platform.alloc_bstr(text)), text)


if __name__ == "__main__":
    unittest.main()
