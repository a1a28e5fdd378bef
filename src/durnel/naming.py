"""Names shared by the engines: namespaces and how a URL is shown in messages.

A namespace becomes the Redis hash tag of every key of its group (``durnel:{<namespace>}:...``),
so that one group's keys share one cluster slot. A tag ends at the first ``}``, and an empty
tag makes Redis hash the whole key, so a namespace must be non-empty and free of braces.
"""

import re

__all__ = ["check_namespace", "redacted"]


def check_namespace(namespace):
    """Returns ``namespace`` if it can name a group; raises TypeError or ValueError if not."""
    if not isinstance(namespace, str):
        raise TypeError("namespace must be a str, not %s" % type(namespace).__qualname__)
    if not namespace or "{" in namespace or "}" in namespace:
        raise ValueError(
            "namespace must be a non-empty str without '{' or '}', not %r" % (namespace,)
        )
    namespace.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError here
    return namespace


_PASSWORD = re.compile(r"^([a-z][a-z0-9+.-]*://[^:@/]*:)([^@/]*)@", re.IGNORECASE)


def redacted(url):
    """``url`` with its password, if any, replaced by ``***``."""
    return _PASSWORD.sub(r"\1***@", url)
