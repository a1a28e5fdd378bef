"""The SQLite engine: ``SQLiteCoordinationState``, the contract in one file for the threads
and processes of one machine, and the errors that only a file can give.

Needs nothing beyond the standard library's ``sqlite3``, linked against SQLite 3.24 or later
(UPSERT); importing this package with an older one raises ImportError saying so.
"""

import sqlite3

if sqlite3.sqlite_version_info < (3, 24, 0):
    raise ImportError(
        "durnel's SQLite engine needs SQLite 3.24 or later; this Python's sqlite3 module "
        "links SQLite %s" % sqlite3.sqlite_version
    )

from .engine import DEFAULT_BUSY_TIMEOUT, SQLiteCoordinationState, open_url
from .errors import (
    BusyError,
    ForeignDataError,
    SchemaVersionError,
    StorageError,
    SystemClockError,
)
from .schema import SCHEMA_VERSION

__all__ = [
    "DEFAULT_BUSY_TIMEOUT",
    "SCHEMA_VERSION",
    "BusyError",
    "ForeignDataError",
    "SQLiteCoordinationState",
    "SchemaVersionError",
    "StorageError",
    "SystemClockError",
    "open_url",
]
