"""What a namespace may be: the name of one coordination group, the same on every engine.

On Redis a namespace becomes the hash tag of every key of its group (``durnel:{<namespace>}:...``),
so that one group's keys share one cluster slot. A tag ends at the first ``}``, and an empty tag
makes Redis hash the whole key, so a namespace must be non-empty and free of braces; every
engine keeps the same rule, so that a group can move between engines under its name.
"""

__all__ = ["check_namespace"]


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
