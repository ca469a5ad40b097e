"""Late-bound automation: objects created by ProgID and called by name through IDispatch.

Member names become DISPIDs through GetIDsOfNames and calls go through Invoke, so nothing
about the component's members is compiled in. Only the standard IUnknown and IDispatch (and,
for dir(), ITypeInfo) vtable layouts are known here.

Threading: the class is apartment-threaded. Each thread that creates an object enters an
apartment first (CoInitializeEx, once per thread); use an object on the thread that created
it. Calls release the GIL while the component runs.
"""

import ctypes
import threading

from . import _buffers
from . import _errors
from . import _platform as P

_apartment = threading.local()
RPC_E_CHANGED_MODE = 0x80010106


def _enter_apartment():
    if getattr(_apartment, "entered", False):
        return
    hr = P.library().CoInitializeEx(None, P.COINIT_APARTMENTTHREADED)
    # A thread some other code put in the multithreaded apartment stays there; in-process
    # classes are still created there.
    if P.unsigned(hr) != RPC_E_CHANGED_MODE:
        _errors.raise_for(hr, "CoInitializeEx")
    _apartment.entered = True


def _class_id(name):
    lib = P.library()
    clsid = P.GUID()
    if name.startswith("{"):
        _errors.raise_for(lib.CLSIDFromString(P.olestr(name), ctypes.byref(clsid)), "CLSIDFromString(%r)" % name)
    else:
        _errors.raise_for(lib.CLSIDFromProgID(P.olestr(name), ctypes.byref(clsid)), "CLSIDFromProgID(%r)" % name)
    return clsid


def Dispatch(name):
    """Creates the registered class `name` (a ProgID such as "TonwellObj.TonwellExposure", or
    a class identifier in braces) in process and returns its IDispatch as a DispatchObject.
    Raises ComError (e.g. REGDB_E_CLASSNOTREG) or PlatformNotFoundError."""
    _enter_apartment()
    clsid = _class_id(name)
    pointer = ctypes.c_void_p()
    hr = P.library().CoCreateInstance(ctypes.byref(clsid), None, P.CLSCTX_INPROC_SERVER,
                                      ctypes.byref(P.iid("IID_IDispatch")), ctypes.byref(pointer))
    _errors.raise_for(hr, "CoCreateInstance(%s)" % name)
    if not pointer.value:
        raise _errors.ComError(P.E_POINTER, "CoCreateInstance(%s)" % name, description="no object returned")
    return DispatchObject(pointer.value, name)


class _Argument:
    """One argument as a VARIANT, and what it holds on to for the call."""

    def __init__(self):
        self.pinned = None
        self.owns_bstr = False


def _to_variant(value, variant, argument, what):
    if isinstance(value, DispatchObject):
        variant.vt = P.VT_DISPATCH
        variant.byref = value._pointer()  # borrowed for the call, as in-parameters are
    elif value is None:
        variant.vt = P.VT_NULL
    elif isinstance(value, bool):
        variant.vt = P.VT_BOOL
        variant.boolVal = -1 if value else 0
    elif isinstance(value, int):
        if -2**31 <= value < 2**31:
            variant.vt, variant.lVal = P.VT_I4, value
        elif -2**63 <= value < 2**63:
            variant.vt, variant.llVal = P.VT_I8, value
        elif 0 <= value < 2**64:
            variant.vt, variant.ullVal = P.VT_UI8, value
        else:
            raise OverflowError("%s: %d does not fit in 64 bits" % (what, value))
    elif isinstance(value, float):
        variant.vt, variant.dblVal = P.VT_R8, value
    elif isinstance(value, str):
        variant.bstrVal = P.alloc_bstr(value)
        variant.vt = P.VT_BSTR
        argument.owns_bstr = True
    elif _buffers.is_buffer(value):
        argument.pinned = _buffers.PinnedBuffer(value, what)
        variant.vt = P.VT_BYREF | P.VT_UI1
        variant.byref = argument.pinned.address
    else:
        raise TypeError("%s: cannot pass a %s through automation" % (what, type(value).__name__))


def _from_variant(variant):
    """The Python value of a result VARIANT; the VARIANT keeps its own reference."""
    vt = variant.vt
    simple = {
        P.VT_I1: "cVal", P.VT_UI1: "bVal", P.VT_I2: "iVal", P.VT_UI2: "uiVal", P.VT_I4: "lVal",
        P.VT_UI4: "ulVal", P.VT_INT: "lVal", P.VT_UINT: "ulVal", P.VT_I8: "llVal", P.VT_UI8: "ullVal",
        P.VT_R4: "fltVal", P.VT_R8: "dblVal",
    }
    if vt in (P.VT_EMPTY, P.VT_NULL):
        return None
    if vt in simple:
        return getattr(variant, simple[vt])
    if vt == P.VT_BOOL:
        return variant.boolVal != 0
    if vt == P.VT_ERROR:
        return P.unsigned(variant.scode)
    if vt == P.VT_BSTR:
        return P.bstr_text(variant.bstrVal) or ""
    if vt == P.VT_DISPATCH:
        if not variant.byref:
            return None
        P.call_slot(variant.byref, P.IUNKNOWN_ADDREF, P.ULONG, ())
        return DispatchObject(variant.byref, "IDispatch")
    raise TypeError("a result of variant type 0x%04X is not supported" % vt)


class Method:
    """A member of a dispatch object, bound to it; calling it invokes the member by DISPID."""

    def __init__(self, owner, name, dispid):
        self._owner = owner
        self._name = name
        self._dispid = dispid
        params = owner._members().get(name.lower())
        self.__doc__ = "%s(%s)" % (name, ", ".join(params)) if params is not None else name

    def __call__(self, *args, **kwargs):
        return self._owner._invoke(self._name, self._dispid, args, kwargs)

    def __repr__(self):
        return "<method %s of %r>" % (self.__doc__, self._owner)


class DispatchObject:
    """An automation object reached through IDispatch. `obj.Name(args...)` calls the member
    Name; positional arguments and keyword arguments named as the member's parameters are
    passed as VARIANTs:

      int -> VT_I4 (VT_I8/VT_UI8 beyond 32 bits; the object converts to its parameter type)
      bool -> VT_BOOL, float -> VT_R8, str -> VT_BSTR, None -> VT_NULL,
      a DispatchObject -> VT_DISPATCH,
      a writable C-contiguous buffer of bytes -> VT_BYREF|VT_UI1 pointing at it, written in place.

    A call returns the member's result; a member without one returns its success code (S_OK
    0, or S_FALSE 1: SetImage's "nothing changed"). Failures raise ComError. Known size
    contracts (SetImage's image, GetResults' buffer) are checked before the call, so a
    buffer that is too small raises ValueError and never reaches the object.
    """

    def __init__(self, pointer, name):
        object.__setattr__(self, "_ptr", pointer)
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_dispids", {})
        object.__setattr__(self, "_positions", {})
        object.__setattr__(self, "_member_cache", None)

    def __repr__(self):
        state = "released" if not self._ptr else "at 0x%x" % self._ptr
        return "<tonwell.DispatchObject %s %s>" % (self._name, state)

    def close(self):
        """Releases the object now; later calls raise ValueError."""
        pointer = self._ptr
        object.__setattr__(self, "_ptr", None)
        P.release(pointer)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # at interpreter exit the library may be gone already
            pass

    def _pointer(self):
        if not self._ptr:
            raise ValueError("%r: the object has been released" % self)
        return self._ptr

    def __setattr__(self, name, value):
        raise AttributeError("cannot set %r: %s has no properties to put" % (name, self._name))

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        dispid = self._dispids.get(name)
        if dispid is None:
            dispid = self._ids_of_names([name])[0]
            self._dispids[name] = dispid
        return Method(self, name, dispid)

    def __dir__(self):
        return sorted(set(object.__dir__(self)) | set(self._member_names()))

    # --- IDispatch ---

    def _ids_of_names(self, names):
        """GetIDsOfNames for a member and (optionally) its parameter names."""
        arrays = [P.olestr(n) for n in names]
        pointers = (ctypes.POINTER(P.OLECHAR) * len(names))(*[ctypes.cast(a, ctypes.POINTER(P.OLECHAR)) for a in arrays])
        ids = (P.DISPID * len(names))()
        hr = P.call_slot(self._pointer(), P.IDISPATCH_GETIDSOFNAMES, P.HRESULT,
                         (ctypes.POINTER(P.GUID), ctypes.c_void_p, P.UINT, P.LCID, ctypes.c_void_p),
                         ctypes.byref(P.iid("IID_NULL")), pointers, len(names), P.LOCALE_USER_DEFAULT, ids)
        if hr < 0:
            unknown = [n for n, i in zip(names, ids) if i == P.DISPID_UNKNOWN]
            operation = "GetIDsOfNames(%s)" % ", ".join(names)
            _errors.raise_for(hr, operation, argument=unknown[0] if unknown and len(names) > 1 else None)
        return list(ids)

    def _contract_positions(self, name):
        """{parameter name: position} for a method with a known size contract, or None."""
        key = name.lower()
        if key not in self._positions:
            contract = _buffers.CONTRACTS.get(key)
            positions = None
            if contract is not None:
                try:
                    ids = self._ids_of_names([name] + list(contract[0]))
                    positions = dict(zip(contract[0], ids[1:]))
                except _errors.ComError:
                    positions = None  # not the component whose contract this is
            self._positions[key] = positions
        return self._positions[key]

    def _invoke(self, name, dispid, args, kwargs):
        pointer = self._pointer()
        keywords = list(kwargs)
        named_ids = self._ids_of_names([name] + keywords)[1:] if keywords else []
        count = len(args) + len(keywords)
        variants = (P.VARIANT * max(count, 1))()
        # rgvarg holds the named arguments first, then the positional ones last first.
        order = [(kwargs[k], i, "argument %r" % k) for i, k in enumerate(keywords)]
        order += [(args[p], count - 1 - p, "argument %d" % (p + 1)) for p in range(len(args))]
        arguments = [_Argument() for _ in range(count)]
        try:
            for value, slot, what in order:
                _to_variant(value, variants[slot], arguments[slot], what)
            self._check_contract(name, args, dict(zip(named_ids, kwargs.values())), arguments, count)
            return self._call(pointer, name, dispid, variants, count, keywords, named_ids)
        finally:
            for slot, argument in enumerate(arguments):
                if argument.owns_bstr:
                    P.library().VariantClear(ctypes.byref(variants[slot]))
                if argument.pinned is not None:
                    argument.pinned.release()

    def _check_contract(self, name, args, named, arguments, count):
        positions = self._contract_positions(name)
        if not positions:
            return
        _, check = _buffers.CONTRACTS[name.lower()]
        values, sizes = {}, {}
        for param, position in positions.items():
            if position < len(args):
                value, slot = args[position], count - 1 - position
            elif position in named:
                value = named[position]
                slot = list(named).index(position)
            else:
                continue
            values[param] = value
            if arguments[slot].pinned is not None:
                sizes[param] = arguments[slot].pinned.size
        check(values, sizes)

    def _call(self, pointer, name, dispid, variants, count, keywords, named_ids):
        named = (P.DISPID * max(len(named_ids), 1))(*named_ids)
        params = P.DISPPARAMS(variants if count else None, named if named_ids else None, count, len(named_ids))
        result = P.VARIANT()
        excep = P.EXCEPINFO()
        arg_error = P.UINT(0xFFFFFFFF)
        hr = P.call_slot(pointer, P.IDISPATCH_INVOKE, P.HRESULT,
                         (P.DISPID, ctypes.POINTER(P.GUID), P.LCID, P.WORD, ctypes.POINTER(P.DISPPARAMS),
                          ctypes.POINTER(P.VARIANT), ctypes.POINTER(P.EXCEPINFO), ctypes.POINTER(P.UINT)),
                         dispid, ctypes.byref(P.iid("IID_NULL")), P.LOCALE_USER_DEFAULT,
                         P.DISPATCH_METHOD | P.DISPATCH_PROPERTYGET, ctypes.byref(params), ctypes.byref(result),
                         ctypes.byref(excep), ctypes.byref(arg_error))
        try:
            if hr < 0:
                self._raise_invoke_error(hr, name, excep, arg_error.value, count, keywords)
            if result.vt == P.VT_EMPTY:
                return hr
            return _from_variant(result)
        finally:
            P.library().VariantClear(ctypes.byref(result))

    @staticmethod
    def _raise_invoke_error(hr, name, excep, arg_error, count, keywords):
        details = {}
        if P.unsigned(hr) == P.DISP_E_EXCEPTION:
            if excep.pfnDeferredFillIn:
                ctypes.CFUNCTYPE(P.HRESULT, ctypes.POINTER(P.EXCEPINFO))(excep.pfnDeferredFillIn)(ctypes.byref(excep))
            source = P.take_bstr(excep.bstrSource)
            description = P.take_bstr(excep.bstrDescription)
            P.take_bstr(excep.bstrHelpFile)
            scode = excep.scode if excep.scode else excep.wCode
            details = {"scode": scode, "source": source,
                       "description": description or _errors._message(scode)}
        elif P.unsigned(hr) in (P.DISP_E_TYPEMISMATCH, P.DISP_E_OVERFLOW, P.DISP_E_PARAMNOTFOUND) \
                and arg_error < count:
            details["argument"] = keywords[arg_error] if arg_error < len(keywords) else count - 1 - arg_error
        _errors.raise_for(hr, name, **details)

    # --- type information, for dir() and docstrings ---

    def _member_names(self):
        return [params[0] for params in self._members_with_case().values()]

    def _members(self):
        """{lower-case member name: [parameter names]} from the object's type information."""
        return {key: names[1:] for key, names in self._members_with_case().items()}

    def _members_with_case(self):
        if self._member_cache is None:
            try:
                members = self._read_type_info()
            except (_errors.ComError, ValueError):
                members = {}
            object.__setattr__(self, "_member_cache", members)
        return self._member_cache

    def _read_type_info(self):
        pointer = self._pointer()
        info = ctypes.c_void_p()
        hr = P.call_slot(pointer, P.IDISPATCH_GETTYPEINFO, P.HRESULT, (P.UINT, P.LCID, ctypes.c_void_p),
                         0, P.LOCALE_USER_DEFAULT, ctypes.byref(info))
        _errors.raise_for(hr, "GetTypeInfo")
        members = {}
        try:
            attr = ctypes.POINTER(P.TYPEATTR)()
            _errors.raise_for(P.call_slot(info.value, P.ITYPEINFO_GETTYPEATTR, P.HRESULT, (ctypes.c_void_p,),
                                          ctypes.byref(attr)), "GetTypeAttr")
            try:
                functions = attr.contents.cFuncs
            finally:
                P.call_slot(info.value, P.ITYPEINFO_RELEASETYPEATTR, None, (ctypes.c_void_p,), attr)
            for index in range(functions):
                names = self._function_names(info.value, index)
                if names:
                    members.setdefault(names[0].lower(), names)
        finally:
            P.release(info.value)
        return members

    @staticmethod
    def _function_names(info, index):
        desc = ctypes.POINTER(P.FUNCDESC)()
        hr = P.call_slot(info, P.ITYPEINFO_GETFUNCDESC, P.HRESULT, (P.UINT, ctypes.c_void_p), index,
                         ctypes.byref(desc))
        _errors.raise_for(hr, "GetFuncDesc")
        try:
            fd = desc.contents
            if fd.wFuncFlags & (P.FUNCFLAG_FRESTRICTED | P.FUNCFLAG_FHIDDEN):
                return None
            slots = fd.cParams + 1
            names = (P.BSTR * slots)()
            got = P.UINT(0)
            hr = P.call_slot(info, P.ITYPEINFO_GETNAMES, P.HRESULT, (P.DISPID, ctypes.c_void_p, P.UINT,
                                                                   ctypes.POINTER(P.UINT)),
                             fd.memid, names, slots, ctypes.byref(got))
            texts = [P.take_bstr(names[i]) for i in range(min(got.value, slots))]
            _errors.raise_for(hr, "GetNames")
            return texts
        finally:
            P.call_slot(info, P.ITYPEINFO_RELEASEFUNCDESC, None, (ctypes.c_void_p,), desc)
