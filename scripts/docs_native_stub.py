"""MkDocs hook: lets mkdocstrings document the native module from its type stub.

The module ``durnel_core`` has no Python source, only the stub ``src/binding/durnel_core.pyi``
that the wheel ships beside it, and griffe (which mkdocstrings reads sources with, without
importing them) finds a stub only as a package's ``__init__.pyi``. So before the build this
hook lays the stub out as that package in a scratch directory, and puts the directory on the
Python handler's search path. The stub itself stays where the build and stubtest use it.
"""

import atexit
import shutil
import tempfile
from pathlib import Path

from mkdocs.plugins import event_priority

STUB = Path(__file__).resolve().parent.parent / "src" / "binding" / "durnel_core.pyi"
_scratch = None


# Before mkdocstrings' own on_config, which makes the handler from this configuration.
@event_priority(100)
def on_config(config):
    global _scratch
    if _scratch is None:
        _scratch = Path(tempfile.mkdtemp(prefix="durnel-docs-"))
        atexit.register(shutil.rmtree, _scratch, ignore_errors=True)
    package = _scratch / "durnel_core"
    package.mkdir(exist_ok=True)
    # Copied afresh at every build, so that `mkdocs serve` shows an edited stub.
    shutil.copyfile(STUB, package / "__init__.pyi")
    handlers = config.plugins["mkdocstrings"].config.handlers
    paths = handlers.setdefault("python", {}).setdefault("paths", [])
    if str(_scratch) not in paths:
        paths.append(str(_scratch))
    return config
