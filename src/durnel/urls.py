"""Coordination URLs: which engine serves a URL scheme, and how a URL is shown in messages.

Engines register their schemes here (``register``); ``open_url`` finds the engine for a URL
and imports it only then, so ``import durnel`` loads no engine's client library. A URL is
never shown with its password: ``redacted`` replaces it with ``***``.
"""

import importlib
import re
from urllib.parse import urlsplit

__all__ = ["open_url", "redacted", "register", "schemes"]

# scheme -> (module, attribute, async attribute): the callables ``attribute(url, namespace)``
# of ``module`` that open the engine's object and its asyncio object
_ENGINES = {}

_PASSWORD = re.compile(r"^([a-z][a-z0-9+.-]*://[^:@/]*:)([^@/]*)@", re.IGNORECASE)


def redacted(url):
    """``url`` with its password, if any, replaced by ``***``."""
    return _PASSWORD.sub(r"\1***@", url)


def register(schemes, module, attribute, async_attribute=None):
    """Serves URLs of each of ``schemes`` with ``module.attribute(url, namespace)``, and asyncio
    programs with ``module.async_attribute(url, namespace)``."""
    for scheme in schemes:
        _ENGINES[scheme] = (module, attribute, async_attribute)


def schemes():
    """The registered schemes, in the order they were registered."""
    return tuple(_ENGINES)


def open_url(url, namespace, asynchronous=False):
    """The coordination object of the engine registered for ``url``'s scheme (its asyncio
    object if ``asynchronous``). Raises TypeError
    for a URL that is not a str, ValueError for one that cannot be parsed or whose scheme no
    engine serves, and MissingDependencyError when the engine's client is not installed."""
    if not isinstance(url, str):
        raise TypeError("url must be a str or None, not %s" % type(url).__qualname__)
    try:
        scheme = urlsplit(url).scheme
    except ValueError as error:
        raise ValueError(
            "cannot parse the coordination URL %r: %s" % (redacted(url), error)
        ) from None
    engine = _ENGINES.get(scheme)
    if engine is None:
        raise ValueError(
            "unsupported coordination URL %r: the scheme must be one of %s"
            % (redacted(url), ", ".join(s + "://" for s in _ENGINES))
        )
    module, attribute, async_attribute = engine
    if asynchronous:
        if async_attribute is None:
            raise ValueError(
                "the engine of %r has no asyncio client yet; run its calls in a thread "
                "(asyncio.to_thread)" % (redacted(url),)
            )
        attribute = async_attribute
    return getattr(importlib.import_module(module), attribute)(url, namespace)
