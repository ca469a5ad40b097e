"""The platform library, its C types and the standard COM vtable call.

The library is found, in this order, at:
  1. $TONWELL_PLATFORM_LIB, the full path of libtonwellplatform.so;
  2. the build tree beside this package: <checkout>/build/lib/libtonwellplatform.so;
  3. the dynamic linker's search path (an installed libtonwellplatform.so).
It is loaded on first use, not on import, so a process may set TONWELL_ROOT (the machine
root whose registry names the classes) after importing the package.

Widths follow the platform's binary interface: HRESULT, LONG and DWORD are 32-bit, OLECHAR
and BSTR text are UTF-16 code units, and the calling convention is the C one of the host ABI.
"""

import ctypes
import os
import threading

HRESULT = ctypes.c_int32
DWORD = ctypes.c_uint32
ULONG = ctypes.c_uint32
UINT = ctypes.c_uint32
WORD = ctypes.c_uint16
LONG = ctypes.c_int32
LCID = ctypes.c_uint32
DISPID = ctypes.c_int32
VARTYPE = ctypes.c_uint16
OLECHAR = ctypes.c_uint16
BSTR = ctypes.POINTER(OLECHAR)  # not c_wchar_p: wchar_t is 32-bit here, OLECHAR is not

S_OK = 0
S_FALSE = 1
E_NOINTERFACE = 0x80004002
E_POINTER = 0x80004003
E_INVALIDARG = 0x80070057
DISP_E_MEMBERNOTFOUND = 0x80020003
DISP_E_PARAMNOTFOUND = 0x80020004
DISP_E_TYPEMISMATCH = 0x80020005
DISP_E_UNKNOWNNAME = 0x80020006
DISP_E_EXCEPTION = 0x80020009
DISP_E_OVERFLOW = 0x8002000A
DISP_E_BADPARAMCOUNT = 0x8002000E

CLSCTX_INPROC_SERVER = 0x1
COINIT_APARTMENTTHREADED = 0x2
LOCALE_USER_DEFAULT = 0x0400
DISPATCH_METHOD = 0x1
DISPATCH_PROPERTYGET = 0x2
DISPID_UNKNOWN = -1

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8 = 0, 1, 2, 3, 4, 5
VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL = 8, 9, 10, 11
VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT = 16, 17, 18, 19, 20, 21, 22, 23
VT_BYREF = 0x4000

FUNCFLAG_FRESTRICTED = 0x1
FUNCFLAG_FHIDDEN = 0x40

FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200
FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000


def unsigned(hr):
    """An HRESULT as the unsigned 32-bit number it is written as (0x8002000E)."""
    return hr & 0xFFFFFFFF


class GUID(ctypes.Structure):
    _fields_ = [("Data1", ctypes.c_uint32), ("Data2", ctypes.c_uint16), ("Data3", ctypes.c_uint16),
                ("Data4", ctypes.c_uint8 * 8)]

    def __str__(self):
        d = bytes(self.Data4)
        return "{%08X-%04X-%04X-%s-%s}" % (self.Data1, self.Data2, self.Data3, d[:2].hex().upper(),
                                           d[2:].hex().upper())


class _VariantValue(ctypes.Union):
    _fields_ = [("llVal", ctypes.c_int64), ("ullVal", ctypes.c_uint64), ("lVal", ctypes.c_int32),
                ("ulVal", ctypes.c_uint32), ("iVal", ctypes.c_int16), ("uiVal", ctypes.c_uint16),
                ("cVal", ctypes.c_int8), ("bVal", ctypes.c_uint8), ("fltVal", ctypes.c_float),
                ("dblVal", ctypes.c_double), ("boolVal", ctypes.c_int16), ("scode", ctypes.c_int32),
                ("bstrVal", BSTR), ("byref", ctypes.c_void_p)]


class VARIANT(ctypes.Structure):
    _anonymous_ = ("value",)
    _fields_ = [("vt", VARTYPE), ("wReserved1", WORD), ("wReserved2", WORD), ("wReserved3", WORD),
                ("value", _VariantValue)]


class DISPPARAMS(ctypes.Structure):
    _fields_ = [("rgvarg", ctypes.POINTER(VARIANT)), ("rgdispidNamedArgs", ctypes.POINTER(DISPID)),
                ("cArgs", UINT), ("cNamedArgs", UINT)]


class EXCEPINFO(ctypes.Structure):
    _fields_ = [("wCode", WORD), ("wReserved", WORD), ("bstrSource", BSTR), ("bstrDescription", BSTR),
                ("bstrHelpFile", BSTR), ("dwHelpContext", DWORD), ("pvReserved", ctypes.c_void_p),
                ("pfnDeferredFillIn", ctypes.c_void_p), ("scode", ctypes.c_int32)]


class TYPEDESC(ctypes.Structure):
    _fields_ = [("lptdesc", ctypes.c_void_p), ("vt", VARTYPE)]


class IDLDESC(ctypes.Structure):
    _fields_ = [("dwReserved", ctypes.c_size_t), ("wIDLFlags", ctypes.c_uint16)]


class ELEMDESC(ctypes.Structure):
    _fields_ = [("tdesc", TYPEDESC), ("idldesc", IDLDESC)]  # the union's other member has this layout too


class TYPEATTR(ctypes.Structure):
    _fields_ = [("guid", GUID), ("lcid", LCID), ("dwReserved", DWORD), ("memidConstructor", DISPID),
                ("memidDestructor", DISPID), ("lpstrSchema", ctypes.c_void_p), ("cbSizeInstance", ULONG),
                ("typekind", ctypes.c_int32), ("cFuncs", WORD), ("cVars", WORD), ("cImplTypes", WORD),
                ("cbSizeVft", WORD), ("cbAlignment", WORD), ("wTypeFlags", WORD), ("wMajorVerNum", WORD),
                ("wMinorVerNum", WORD), ("tdescAlias", TYPEDESC), ("idldescType", IDLDESC)]


class FUNCDESC(ctypes.Structure):
    _fields_ = [("memid", DISPID), ("lprgscode", ctypes.c_void_p), ("lprgelemdescParam", ctypes.c_void_p),
                ("funckind", ctypes.c_int32), ("invkind", ctypes.c_int32), ("callconv", ctypes.c_int32),
                ("cParams", ctypes.c_int16), ("cParamsOpt", ctypes.c_int16), ("oVft", ctypes.c_int16),
                ("cScodes", ctypes.c_int16), ("elemdescFunc", ELEMDESC), ("wFuncFlags", WORD)]


# Slots of the platform's standard interfaces, in declaration order.
IUNKNOWN_QUERYINTERFACE, IUNKNOWN_ADDREF, IUNKNOWN_RELEASE = 0, 1, 2
IDISPATCH_GETTYPEINFOCOUNT, IDISPATCH_GETTYPEINFO, IDISPATCH_GETIDSOFNAMES, IDISPATCH_INVOKE = 3, 4, 5, 6
ITYPEINFO_GETTYPEATTR, ITYPEINFO_GETFUNCDESC, ITYPEINFO_GETNAMES = 3, 5, 7
ITYPEINFO_RELEASETYPEATTR, ITYPEINFO_RELEASEFUNCDESC = 19, 20

_prototypes = {}


def call_slot(interface, slot, restype, argtypes, *args):
    """Calls vtable slot `slot` of the interface pointer `interface` (an int) with `args`.

    The interface pointer goes first, as the platform's C ABI passes `this`."""
    key = (restype, tuple(argtypes))
    prototype = _prototypes.get(key)
    if prototype is None:
        prototype = _prototypes[key] = ctypes.CFUNCTYPE(restype, ctypes.c_void_p, *argtypes)
    vtable = ctypes.cast(interface, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    return prototype(vtable[slot])(interface, *args)


def release(interface):
    if interface:
        call_slot(interface, IUNKNOWN_RELEASE, ULONG, ())


class PlatformNotFoundError(OSError):
    """The platform library could not be found or loaded."""


_lock = threading.Lock()
_lib = None


def _candidates():
    explicit = os.environ.get("TONWELL_PLATFORM_LIB")
    if explicit:
        return [explicit]
    checkout = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return [os.path.join(checkout, "build", "lib", "libtonwellplatform.so"), "libtonwellplatform.so"]


def _declare(lib):
    ref = ctypes.POINTER(GUID)
    out = ctypes.POINTER(ctypes.c_void_p)
    signatures = {
        "CoInitializeEx": (HRESULT, [ctypes.c_void_p, DWORD]),
        "CLSIDFromProgID": (HRESULT, [ctypes.POINTER(OLECHAR), ref]),
        "CLSIDFromString": (HRESULT, [ctypes.POINTER(OLECHAR), ref]),
        "CoCreateInstance": (HRESULT, [ref, ctypes.c_void_p, DWORD, ref, out]),
        "SysAllocStringLen": (BSTR, [ctypes.POINTER(OLECHAR), UINT]),
        "SysFreeString": (None, [BSTR]),
        "SysStringLen": (UINT, [BSTR]),
        "VariantInit": (None, [ctypes.POINTER(VARIANT)]),
        "VariantClear": (HRESULT, [ctypes.POINTER(VARIANT)]),
        "FormatMessageW": (DWORD, [DWORD, ctypes.c_void_p, DWORD, DWORD, ctypes.POINTER(OLECHAR), DWORD,
                                   ctypes.c_void_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library():
    """The loaded platform library (a ctypes.CDLL); raises PlatformNotFoundError."""
    global _lib
    with _lock:
        if _lib is None:
            errors = []
            for path in _candidates():
                if os.sep in path and not os.path.exists(path):
                    errors.append("%s: no such file" % path)
                    continue
                try:
                    lib = ctypes.CDLL(path)
                except OSError as error:
                    errors.append(str(error))
                    continue
                _declare(lib)
                _lib = lib
                break
            else:
                raise PlatformNotFoundError(
                    "cannot load the Tonwell platform library (set TONWELL_PLATFORM_LIB to the path of "
                    "libtonwellplatform.so): " + "; ".join(errors))
        return _lib


def iid(name):
    """An interface identifier the platform library exports, e.g. "IID_IDispatch"."""
    return GUID.in_dll(library(), name)


def olestr(text):
    """`text` as a zero-terminated OLECHAR array."""
    units = text.encode("utf-16-le", "surrogatepass")
    count = len(units) // 2
    array = (OLECHAR * (count + 1))()
    ctypes.memmove(array, units, len(units))
    return array


def alloc_bstr(text):
    units = text.encode("utf-16-le", "surrogatepass")
    count = len(units) // 2
    array = (OLECHAR * max(count, 1)).from_buffer_copy(units or b"\0\0")
    bstr = library().SysAllocStringLen(array, count)
    if not bstr:
        raise MemoryError("SysAllocStringLen failed")
    return bstr


def bstr_text(bstr):
    """The text of a BSTR (None for a null one); the BSTR is not freed."""
    if not bstr:
        return None
    count = library().SysStringLen(bstr)
    return ctypes.string_at(bstr, count * 2).decode("utf-16-le", "surrogatepass")


def take_bstr(bstr):
    """The text of a BSTR, which is freed."""
    try:
        return bstr_text(bstr)
    finally:
        if bstr:
            library().SysFreeString(bstr)


def message_text(hr):
    """The platform's message text for an HRESULT, without its line ending; None when it has none."""
    buffer = (OLECHAR * 512)()
    count = library().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, None,
                                     unsigned(hr), 0, buffer, len(buffer), None)
    if not count:
        return None
    text = ctypes.string_at(buffer, count * 2).decode("utf-16-le", "replace").strip()
    return text or None
