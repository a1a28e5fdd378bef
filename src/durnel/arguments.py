"""Argument conversion shared by the engines of this package, as the in-process engine does it.

Every argument of the nine methods must be a ``str`` (a subclass is fine, and counts as its
characters): anything else raises ``TypeError("argument '<name>': '<type>' object cannot be
converted to 'PyString'")``, and a ``str`` that UTF-8 cannot encode (a lone surrogate) raises
``UnicodeEncodeError``. Engines convert every argument before they touch their storage, so a
bad argument changes nothing.
"""

__all__ = ["FAILED_TYPE_NAME", "plain", "utf8"]

FAILED_TYPE_NAME = "<failed to extract type name>"


# The type's own flags, as the native module reads them: isinstance() would ask the value's
# __class__, which a proxy (a Mock(spec=str)) fakes and another object may make raise.
_flags = type.__dict__["__flags__"].__get__
_STR_SUBCLASS = 1 << 28  # Py_TPFLAGS_UNICODE_SUBCLASS


def _type_name(value):
    try:
        name = type(value).__qualname__
    except Exception:
        return FAILED_TYPE_NAME
    return name if isinstance(name, str) else FAILED_TYPE_NAME


def utf8(parameter: str, value: object) -> bytes:
    """The UTF-8 of the str argument ``parameter``; TypeError or UnicodeEncodeError if it has
    none."""
    if not _flags(type(value)) & _STR_SUBCLASS:
        raise TypeError(
            "argument '%s': '%s' object cannot be converted to 'PyString'"
            % (parameter, _type_name(value))
        )
    return str.encode(value, "utf-8")  # type: ignore[arg-type]


def plain(parameter: str, value: object) -> str:
    """The str argument ``parameter`` as a plain ``str`` of the same characters, checked as
    ``utf8`` checks it."""
    utf8(parameter, value)
    return str.__str__(value)
