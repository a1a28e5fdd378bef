"""The SQLite engine: ``SQLiteCoordinationState``, the contract and its waits in one file for
the threads and processes of one machine, ``AsyncSQLiteCoordinationState``, the same for
asyncio programs, and the errors that only a file can give.

Needs nothing beyond the standard library's ``sqlite3``, linked against SQLite 3.24 or later
(UPSERT); importing this package with an older one raises ImportError saying so.
"""

import sqlite3

if sqlite3.sqlite_version_info < (3, 24, 0):
    raise ImportError(
        "durnel's SQLite engine needs SQLite 3.24 or later; this Python's sqlite3 module "
        "links SQLite %s" % sqlite3.sqlite_version
    )

from .aio import AsyncSQLiteCoordinationState, open_async_url
from .engine import DEFAULT_BUSY_TIMEOUT, SQLiteCoordinationState, open_url
from .errors import (
    BusyError,
    DamagedFileError,
    ForeignDataError,
    SchemaVersionError,
    StorageError,
    SystemClockError,
)
from .schema import SCHEMA_VERSION

__all__ = [
    "DEFAULT_BUSY_TIMEOUT",
    "AsyncSQLiteCoordinationState",
    "SCHEMA_VERSION",
    "BusyError",
    "DamagedFileError",
    "ForeignDataError",
    "SQLiteCoordinationState",
    "SchemaVersionError",
    "StorageError",
    "SystemClockError",
    "open_url",
    "open_async_url",
]
