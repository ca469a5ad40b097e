"""Tonwell from Python: a late-bound automation client of the Tonwell component.

    import tonwell
    fixer = tonwell.Dispatch("TonwellObj.TonwellExposure")
    image = bytearray(...)                        # 24-bit RGB rows
    fixer.SetImage(image, width, height, stride)  # corrected in place; S_OK or S_FALSE

The class must be registered in the machine root's registry ($TONWELL_ROOT; `tonwell
register`). Standard library only (ctypes); see _platform for how the platform library is
found (TONWELL_PLATFORM_LIB, else the build tree beside this package, else the linker's path).
"""

from ._dispatch import Dispatch, DispatchObject, Method
from ._errors import ComError, UnknownNameError
from ._platform import (DISP_E_BADPARAMCOUNT, DISP_E_EXCEPTION, DISP_E_MEMBERNOTFOUND, DISP_E_OVERFLOW,
                        DISP_E_PARAMNOTFOUND, DISP_E_TYPEMISMATCH, DISP_E_UNKNOWNNAME, E_INVALIDARG, E_POINTER,
                        S_FALSE, S_OK, PlatformNotFoundError)

__all__ = [
    "Dispatch", "DispatchObject", "Method", "ComError", "UnknownNameError", "PlatformNotFoundError",
    "S_OK", "S_FALSE", "E_INVALIDARG", "E_POINTER", "DISP_E_BADPARAMCOUNT", "DISP_E_EXCEPTION",
    "DISP_E_MEMBERNOTFOUND", "DISP_E_OVERFLOW", "DISP_E_PARAMNOTFOUND", "DISP_E_TYPEMISMATCH",
    "DISP_E_UNKNOWNNAME",
]
