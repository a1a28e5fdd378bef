"""How a coordination URL is shown in messages: never with its password (``redacted``
replaces it with ``***``). Which engine serves a URL is the registry's to say
(``durnel.engines``).
"""

import re

__all__ = ["redacted"]

_PASSWORD = re.compile(r"^([a-z][a-z0-9+.-]*://[^:@/]*:)([^@/]*)@", re.IGNORECASE)


def redacted(url: str) -> str:
    """``url`` with its password, if any, replaced by ``***``."""
    return _PASSWORD.sub(r"\1***@", url)
