"""The exceptions a failed COM or automation call raises."""

from . import _platform


class ComError(Exception):
    """A COM or automation call failed.

    hresult      the call's result, as an unsigned 32-bit number (0x80020006)
    scode        for DISP_E_EXCEPTION: the method's own failure code (EXCEPINFO.scode),
                 else None
    description  for DISP_E_EXCEPTION: EXCEPINFO's description, or the platform's message
                 text for scode when the method gave none; else the message text for hresult
    source       for DISP_E_EXCEPTION: EXCEPINFO's source, when given
    argument     for DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW and DISP_E_PARAMNOTFOUND: the
                 position (0 first) of the positional argument, or the keyword name, at fault
    """

    def __init__(self, hresult, operation, scode=None, description=None, source=None, argument=None):
        self.hresult = _platform.unsigned(hresult)
        self.scode = None if scode is None else _platform.unsigned(scode)
        self.description = description
        self.source = source
        self.argument = argument
        self.operation = operation
        text = "%s failed: hr = 0x%08X" % (operation, self.hresult)
        if self.scode is not None:
            text += ", scode = 0x%08X" % self.scode
        if description:
            text += " (%s)" % description
        if argument is not None:
            text += ", argument %r" % (argument,)
        super().__init__(text)


class UnknownNameError(ComError, AttributeError):
    """GetIDsOfNames does not know the name (DISP_E_UNKNOWNNAME); also an AttributeError, so
    hasattr() and getattr() with a default work on dispatch objects."""


def raise_for(hr, operation, **details):
    """Raises ComError for a failed HRESULT; returns a success HRESULT unchanged."""
    if hr >= 0:
        return hr
    if "description" not in details:
        details["description"] = _message(hr)
    cls = UnknownNameError if _platform.unsigned(hr) == _platform.DISP_E_UNKNOWNNAME else ComError
    raise cls(hr, operation, **details)


def _message(hr):
    try:
        return _platform.message_text(hr)
    except (OSError, AttributeError):
        return None
