"""The version of durnel: ``durnel.__version__`` and ``durnel --version``.

The version is written once, in the ``project()`` line of CMakeLists.txt; the build puts it
in the distribution's metadata (pyproject.toml reads it from there). An installed package
reports its distribution's version. A package imported from a source tree (``src/durnel``
with PYTHONPATH, or an editable install) reports the version written in that tree's
CMakeLists.txt instead: a distribution installed in the same environment may be an older
build of other code. Read once, when first asked, since importing importlib.metadata costs
more than importing durnel.
"""

import os
import re
from typing import Optional

__all__ = ["DISTRIBUTION", "package_version"]

DISTRIBUTION = "durnel_core"
UNKNOWN = "0+unknown"  # neither installed nor in a source tree (a copied directory, say)

# the pattern that pyproject.toml gives scikit-build-core's regex provider
_PROJECT = re.compile(r"project\(durnel_core\b[^)]*\bVERSION\s+(?P<value>[0-9][0-9.]*)")
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

_version: Optional[str] = None


def _source_tree_version() -> Optional[str]:
    """The version in CMakeLists.txt, if this package is ``src/durnel`` of a source tree."""
    path = os.path.join(os.path.dirname(os.path.dirname(_PACKAGE_DIR)), "CMakeLists.txt")
    try:
        with open(path, encoding="utf-8") as handle:
            found = _PROJECT.search(handle.read())
    except (OSError, UnicodeDecodeError):
        return None
    return found.group("value") if found else None


def _installed_version() -> tuple:
    """(version, whether the distribution holds this very package), or (None, False)."""
    from importlib import metadata

    try:
        distribution = metadata.distribution(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None, False
    ours = os.path.join(_PACKAGE_DIR, "__init__.py")
    try:
        theirs = os.path.abspath(str(distribution.locate_file("durnel/__init__.py")))
        same = os.path.exists(theirs) and os.path.samefile(theirs, ours)
    except OSError:
        same = False
    return distribution.version, same


def package_version() -> str:
    global _version
    if _version is None:
        installed, same = _installed_version()
        if same:
            _version = installed
        else:
            _version = _source_tree_version() or installed or UNKNOWN
    return _version
