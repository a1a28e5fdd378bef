"""The errors that only the SQLite engine gives. Each call that raises one changed nothing.

Each derives from ``durnel.Error`` (through its engine-neutral class in ``durnel.errors``
where there is one) and from the ``sqlite3`` error that SQLite itself would have raised, so
callers may catch either.
Problems with the file's place (a missing directory, no write permission) are the standard
``FileNotFoundError``, ``IsADirectoryError`` and ``PermissionError``.
"""

import sqlite3

from .. import errors

__all__ = [
    "BusyError",
    "DamagedFileError",
    "ForeignDataError",
    "SchemaVersionError",
    "StorageError",
    "SystemClockError",
]


class ForeignDataError(errors.ForeignDataError, sqlite3.DatabaseError):
    """The file is not a SQLite database, or one that durnel did not make (another program's
    tables, durnel's tables changed by something else, rows in durnel's tables that durnel
    would not write). The message names the file and what is wrong."""


class DamagedFileError(ForeignDataError):
    """SQLite found the file damaged ("database disk image is malformed"): its bytes are not
    what SQLite wrote. The message names the file."""


class SchemaVersionError(ForeignDataError):
    """The file was made by a newer durnel, whose schema version this one cannot read."""


class BusyError(errors.BusyError, sqlite3.OperationalError):
    """Another connection held the file's write lock for longer than ``busy_timeout``."""


class StorageError(errors.Error, sqlite3.OperationalError):
    """SQLite could not write the file: the disk is full, the file became read-only, or the
    operating system reported an I/O error. The transaction was rolled back."""


class SystemClockError(errors.ClockError):
    """This machine's wall clock reads a time before 1970."""
