"""durnel: one coordination contract for agents, in one process or across machines.

``connect()`` gives the in-process engine, the native ``durnel_core.CoordinationState``;
``connect("redis://host:6379/0", namespace="build")`` gives the same nine methods on a Redis
server (``durnel.redis.RedisCoordinationState``, which needs the ``redis`` extra:
``pip install "durnel_core[redis]"``). Agents written against ``Coordination`` run on both.
"""

from typing import Optional
from urllib.parse import urlsplit

from .naming import redacted
from .protocol import Coordination, Message, Status

__all__ = ["Coordination", "Message", "Status", "connect"]

REDIS_SCHEMES = ("redis", "rediss", "unix")


def connect(url: Optional[str] = None, *, namespace: str = "default") -> Coordination:
    """A coordination object: in-process without a URL, on a Redis server with one.

    ``url`` is ``redis://[[user]:password@]host[:port][/db]``, ``rediss://...`` (TLS) or
    ``unix://[[user]:password@]/path/to/socket[?db=N]``. ``namespace`` names one coordination
    group on that server; groups share nothing. Without a URL every call makes a new, empty
    in-process object (the namespace is then only checked, not used). Raises ``ValueError``
    for a URL that cannot be parsed or whose scheme is not one of these.
    """
    if url is None:
        from .naming import check_namespace

        check_namespace(namespace)
        import durnel_core

        return durnel_core.CoordinationState()
    if not isinstance(url, str):
        raise TypeError("url must be a str or None, not %s" % type(url).__qualname__)
    try:
        scheme = urlsplit(url).scheme
    except ValueError as error:
        raise ValueError(
            "cannot parse the coordination URL %r: %s" % (redacted(url), error)
        ) from None
    if scheme not in REDIS_SCHEMES:
        raise ValueError(
            "unsupported coordination URL %r: the scheme must be one of %s"
            % (redacted(url), ", ".join(s + "://" for s in REDIS_SCHEMES))
        )
    from .redis import RedisCoordinationState

    return RedisCoordinationState(url, namespace)
