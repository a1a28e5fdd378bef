"""The layout of a durnel SQLite file, how a file is recognised as one, and how it is made or
brought up to date.

A durnel file carries ``PRAGMA application_id`` = APPLICATION_ID ("drnl") and ``PRAGMA
user_version`` = its schema version. Every namespace lives in the same tables, told apart by
their ``namespace`` column; the DDL below, comments included, is what ``sqlite3 state.db
.schema`` prints. Statuses and most log events are written by triggers, so every statement
that changes a claim or sends a direct message keeps them in step. (The triggers use UPSERT
rather than INSERT OR REPLACE: inside a trigger, the conflict policy of the statement that
fired it would override an OR clause.)

Versions: 1 holds claims, statuses, messages and the log; 2 adds ``waiters``, the agents
blocked in a wait (see wakes.py); 3 gives each waiter its process (pid and ``process``) and
a socket name that cannot be read as a path, and numbers log events so that a call fails
whole after a ``seq`` that durnel does not write; 4 adds ``presence`` (who called last, when and
from where), gives a claim its holder's process when it dies with it, and gives each waiter
its agent, its host and when it began waiting. ``prepare`` runs once per connection: an empty
file (no tables, no application id) is made into a durnel file of this version in one
transaction, so that concurrent first users cannot make it twice; a file of this version is
checked object by object against the DDL, and must hold nothing else (no table, index,
trigger or view of anyone else's: a trigger could undo every call while each one seems to
succeed); a file of an earlier version is checked against that version's DDL
and migrated by the statements of MIGRATIONS inside one ``BEGIN IMMEDIATE`` transaction that
also raises ``user_version``, so every other process sees the old schema or the new one, and
a file keeps its data (the waiters of a version 2 file go: see MIGRATIONS; a version 3
file's claims and waiters are copied into their new tables, tickets and their sequence
kept). Durnels that read only an earlier version then refuse the file with
SchemaVersionError instead of missing the waiters. Anything else raises ForeignDataError
naming what is wrong, before anything is written.
"""

import logging
import sqlite3

from ..contract import STATUSES
from .errors import ForeignDataError, SchemaVersionError, StorageError

__all__ = ["APPLICATION_ID", "DDL_BY_VERSION", "SCHEMA_VERSION", "prepare"]

APPLICATION_ID = 0x64726E6C  # "drnl"
SCHEMA_VERSION = 4

_log = logging.getLogger("durnel.sqlite")

# The event number of the next log entry of a namespace (log rows are numbered per namespace).
_NEXT_SEQ_1 = "(SELECT ifnull(max(seq), 0) + 1 FROM log WHERE namespace = %s)"
# From version 3, NULL after a seq that durnel does not write (not an integer, or the largest
# one), which the log's NOT NULL refuses: the call fails whole instead of numbering its event
# with whatever that sum gives.
_NEXT_SEQ = (
    "(SELECT CASE WHEN last IS NULL THEN 1 "
    "WHEN typeof(last) = 'integer' AND last < 9223372036854775807 THEN last + 1 END "
    "FROM (SELECT max(seq) AS last FROM log WHERE namespace = %s))"
)

DDL_1 = (
    """CREATE TABLE claims (
    -- One row per claim, held or lapsed: a lapsed claim stays until it is taken over or
    -- released. It has lapsed when the clock reads stamp + 300 or later.
    namespace TEXT NOT NULL,
    resource TEXT NOT NULL,  -- 'file:<path>' or 'task:<task id>'
    holder TEXT NOT NULL,
    stamp INTEGER NOT NULL,  -- whole Unix seconds of the claim or its last renewal
    PRIMARY KEY (namespace, resource),
    CHECK (typeof(resource) = 'text' AND typeof(holder) = 'text' AND typeof(stamp) = 'integer')
) WITHOUT ROWID""",
    """CREATE TABLE statuses (
    -- Every agent seen by a status-writing call; the rows of a namespace are its broadcast
    -- roster. An agent without a row reads 'idle'.
    namespace TEXT NOT NULL,
    agent TEXT NOT NULL,
    status TEXT NOT NULL CHECK (status IN (%s)),
    PRIMARY KEY (namespace, agent),
    CHECK (typeof(agent) = 'text')
) WITHOUT ROWID"""
    % ", ".join("'%s'" % status for status in STATUSES),
    """CREATE TABLE messages (
    -- Every mailbox: the rows of one (namespace, recipient), in id order, are its inbox.
    id INTEGER PRIMARY KEY,  -- arrival order
    namespace TEXT NOT NULL,
    recipient TEXT NOT NULL,
    sender TEXT NOT NULL,
    content TEXT NOT NULL,
    sent_at INTEGER NOT NULL,  -- whole Unix seconds
    broadcast INTEGER NOT NULL CHECK (broadcast IN (0, 1)),  -- 1: this inbox's copy of one
    CHECK (typeof(recipient) = 'text' AND typeof(sender) = 'text'
           AND typeof(content) = 'text' AND typeof(sent_at) = 'integer')
)""",
    "CREATE INDEX inboxes ON messages (namespace, recipient)",
    """CREATE TABLE log (
    -- The activity log: every claim, takeover, release, message and broadcast, numbered
    -- per namespace (seq) in the order the calls took effect.
    namespace TEXT NOT NULL,
    seq INTEGER NOT NULL,
    event TEXT NOT NULL,  -- Claimed, Released, MessageSent or BroadcastSent
    agent TEXT,  -- Claimed and Released: the holder
    resource TEXT,  -- Claimed and Released
    from_agent TEXT,  -- MessageSent and BroadcastSent
    to_agent TEXT,  -- MessageSent
    content TEXT,  -- MessageSent and BroadcastSent
    at INTEGER NOT NULL,  -- whole Unix seconds
    PRIMARY KEY (namespace, seq)
) WITHOUT ROWID""",
    """CREATE TRIGGER claim_made AFTER INSERT ON claims BEGIN
    INSERT INTO statuses (namespace, agent, status) VALUES (NEW.namespace, NEW.holder, 'busy')
        ON CONFLICT (namespace, agent) DO UPDATE SET status = excluded.status
            WHERE status <> excluded.status;
    INSERT INTO log (namespace, seq, event, agent, resource, at)
        VALUES (NEW.namespace, %s, 'Claimed', NEW.holder, NEW.resource, NEW.stamp);
END"""
    % (_NEXT_SEQ_1 % "NEW.namespace"),
    # A lapsed claim taken over, by another agent or its own holder; a renewal sets only
    # the stamp and fires nothing.
    """CREATE TRIGGER claim_taken_over AFTER UPDATE OF holder ON claims BEGIN
    INSERT INTO statuses (namespace, agent, status) VALUES (NEW.namespace, NEW.holder, 'busy')
        ON CONFLICT (namespace, agent) DO UPDATE SET status = excluded.status
            WHERE status <> excluded.status;
    INSERT INTO log (namespace, seq, event, agent, resource, at)
        VALUES (NEW.namespace, %s, 'Claimed', NEW.holder, NEW.resource, NEW.stamp);
    INSERT INTO log (namespace, seq, event, agent, resource, at)
        VALUES (NEW.namespace, %s, 'Released', OLD.holder, OLD.resource, NEW.stamp);
END"""
    % (_NEXT_SEQ_1 % "NEW.namespace", _NEXT_SEQ_1 % "NEW.namespace"),
    # The Released event of a release is written by the call itself, with the call's clock.
    """CREATE TRIGGER claim_released AFTER DELETE ON claims BEGIN
    INSERT INTO statuses (namespace, agent, status) VALUES (OLD.namespace, OLD.holder, 'idle')
        ON CONFLICT (namespace, agent) DO UPDATE SET status = excluded.status
            WHERE status <> excluded.status;
END""",
    """CREATE TRIGGER message_sent AFTER INSERT ON messages WHEN NEW.broadcast = 0 BEGIN
    INSERT INTO statuses (namespace, agent, status) VALUES (NEW.namespace, NEW.recipient, 'idle')
        ON CONFLICT (namespace, agent) DO NOTHING;
    INSERT INTO log (namespace, seq, event, from_agent, to_agent, content, at)
        VALUES (NEW.namespace, %s, 'MessageSent', NEW.sender, NEW.recipient, NEW.content,
                NEW.sent_at);
END"""
    % (_NEXT_SEQ_1 % "NEW.namespace"),
)

# Version 2: the waiters, and the index by which a call finds the ones it must wake.
WAITERS_2 = (
    """CREATE TABLE waiters (
    -- One row per wait that sleeps: a mailbox's waiters (kind 'mail', key = the agent) are
    -- woken by the sends and broadcasts that reach it; a resource's (kind 'claim', key = the
    -- resource key) are served in ticket order, the first one claiming when the claim ends.
    -- A waiter sleeps on the Unix datagram socket named address in the directory
    -- <database file>-wake; a row whose socket is gone is left by a process that died.
    ticket INTEGER PRIMARY KEY AUTOINCREMENT,  -- arrival order, never reused
    namespace TEXT NOT NULL,
    kind TEXT NOT NULL CHECK (kind IN ('mail', 'claim')),
    key TEXT NOT NULL,
    address TEXT NOT NULL
)""",
    "CREATE INDEX waiters_by_key ON waiters (namespace, kind, key, ticket)",
)

# Version 3: a waiter names its process, whose life is the waiter's, and its socket by a
# name that cannot be read as a path.
WAITERS = (
    """CREATE TABLE waiters (
    -- One row per wait that sleeps: a mailbox's waiters (kind 'mail', key = the agent) are
    -- woken by the sends and broadcasts that reach it; a resource's (kind 'claim', key = the
    -- resource key) are served in ticket order, the first one claiming when the claim ends.
    -- A waiter sleeps on a Unix datagram socket of its process, called address in the
    -- file's wake place; a row whose process is gone was left by a process that died.
    ticket INTEGER PRIMARY KEY AUTOINCREMENT,  -- arrival order, never reused
    namespace TEXT NOT NULL,
    kind TEXT NOT NULL CHECK (kind IN ('mail', 'claim')),
    key TEXT NOT NULL,
    address TEXT NOT NULL  -- 16 hexadecimal digits
        CHECK (length(address) = 16 AND address NOT GLOB '*[^0-9a-f]*'),
    pid INTEGER NOT NULL CHECK (typeof(pid) = 'integer' AND pid > 0),
    process TEXT NOT NULL  -- which process pid was: boot, namespaces, start time ('' unknown)
)""",
    "CREATE INDEX waiters_by_key ON waiters (namespace, kind, key, ticket)",
)

# Version 3 also numbers the log as _NEXT_SEQ says, in its triggers too.
CORE = tuple(
    statement.replace(_NEXT_SEQ_1 % "NEW.namespace", _NEXT_SEQ % "NEW.namespace")
    for statement in DDL_1
)
_TRIGGERS = tuple(statement for statement in CORE if statement.startswith("CREATE TRIGGER"))
_CLAIM_TRIGGERS = tuple(statement for statement in _TRIGGERS if " ON claims " in statement)

# Version 4: a claim may die with its holder's process; a waiter says who waits, since when
# and on which host; presence says when each agent last called, and through what.
CLAIMS_4 = """CREATE TABLE claims (
    -- One row per claim, held or lapsed: a lapsed claim stays until it is taken over or
    -- released. It has lapsed when the clock reads stamp + 300 or later, or, if it names its
    -- holder's process (pid and process), once that process has ended.
    namespace TEXT NOT NULL,
    resource TEXT NOT NULL,  -- 'file:<path>' or 'task:<task id>'
    holder TEXT NOT NULL,
    stamp INTEGER NOT NULL,  -- whole Unix seconds of the claim or its last renewal
    pid INTEGER,  -- NULL, or the process of an object opened with ephemeral_claims
    process TEXT,  -- which process pid was, as in waiters
    PRIMARY KEY (namespace, resource),
    CHECK (typeof(resource) = 'text' AND typeof(holder) = 'text' AND typeof(stamp) = 'integer'),
    CHECK (pid IS NULL AND process IS NULL
           OR typeof(pid) = 'integer' AND pid > 0 AND typeof(process) = 'text')
) WITHOUT ROWID"""
WAITERS_4 = (
    """CREATE TABLE waiters (
    -- One row per wait that sleeps: a mailbox's waiters (kind 'mail', key = the agent) are
    -- woken by the sends and broadcasts that reach it; a resource's (kind 'claim', key = the
    -- resource key) are served in ticket order, the first one claiming when the claim ends.
    -- A waiter sleeps on a Unix datagram socket of its process, called address in the
    -- file's wake place; a row whose process is gone was left by a process that died.
    ticket INTEGER PRIMARY KEY AUTOINCREMENT,  -- arrival order, never reused
    namespace TEXT NOT NULL,
    kind TEXT NOT NULL CHECK (kind IN ('mail', 'claim')),
    key TEXT NOT NULL,
    address TEXT NOT NULL  -- 16 hexadecimal digits
        CHECK (length(address) = 16 AND address NOT GLOB '*[^0-9a-f]*'),
    pid INTEGER NOT NULL CHECK (typeof(pid) = 'integer' AND pid > 0),
    process TEXT NOT NULL,  -- which process pid was: boot, namespaces, start time ('' unknown)
    agent TEXT NOT NULL DEFAULT '',  -- the agent that waits ('' unknown)
    host TEXT NOT NULL DEFAULT '',  -- the host name of its process ('' unknown)
    since INTEGER NOT NULL DEFAULT 0  -- whole Unix seconds when it began waiting (0 unknown)
)""",
    "CREATE INDEX waiters_by_key ON waiters (namespace, kind, key, ticket)",
)
PRESENCE = """CREATE TABLE presence (
    -- When each agent was last seen calling and from where: written by the agent's own calls
    -- in their transaction, at most once a second per coordination object and agent.
    namespace TEXT NOT NULL,
    agent TEXT NOT NULL,
    last_seen INTEGER NOT NULL,  -- whole Unix seconds
    host TEXT NOT NULL,
    pid INTEGER NOT NULL,
    object_id TEXT NOT NULL,  -- the coordination object's id, 16 hexadecimal digits
    PRIMARY KEY (namespace, agent)
) WITHOUT ROWID"""
_CORE_4 = tuple(CLAIMS_4 if s.startswith("CREATE TABLE claims") else s for s in CORE)

DDL_BY_VERSION = {
    1: DDL_1,
    2: DDL_1 + WAITERS_2,
    3: CORE + WAITERS,
    4: _CORE_4 + WAITERS_4 + (PRESENCE,),
}
DDL = DDL_BY_VERSION[SCHEMA_VERSION]
# The statements that take a file of version N to version N + 1. The waiters of a version 2
# file sleep where this durnel does not look for them, so their rows go; the durnel that made
# them refuses the file from then on.
MIGRATIONS = {
    1: WAITERS_2,
    2: tuple("DROP TRIGGER " + trigger.split()[2] for trigger in _TRIGGERS)
    + _TRIGGERS
    + ("DROP TABLE waiters",)
    + WAITERS,
    # A table is copied through a temporary one and made anew (ALTER TABLE ADD COLUMN would
    # leave a schema text that no new file has); the claims' triggers are made after the
    # copy, which logs nothing, and the waiters keep their tickets and the sequence beyond.
    3: (
        "CREATE TEMP TABLE durnel_claims AS SELECT namespace, resource, holder, stamp FROM claims",
        "DROP TABLE claims",
        CLAIMS_4,
        "INSERT INTO claims (namespace, resource, holder, stamp) SELECT * FROM temp.durnel_claims",
    )
    + _CLAIM_TRIGGERS
    + (
        "DROP TABLE temp.durnel_claims",
        "CREATE TEMP TABLE durnel_waiters AS SELECT * FROM waiters",
        "CREATE TEMP TABLE durnel_sequence AS SELECT seq FROM sqlite_sequence "
        "WHERE name = 'waiters'",
        "DROP TABLE waiters",
    )
    + WAITERS_4
    + (
        "INSERT INTO sqlite_sequence (name, seq) SELECT 'waiters', seq FROM temp.durnel_sequence",
        "INSERT INTO waiters (ticket, namespace, kind, key, address, pid, process) "
        "SELECT * FROM temp.durnel_waiters",
        "DROP TABLE temp.durnel_waiters",
        "DROP TABLE temp.durnel_sequence",
        PRESENCE,
    ),
}

NEXT_SEQ = _NEXT_SEQ  # for the calls' own log events

# Every object of the file, SQLite's own included: a name that starts with "sqlite_" is no
# sign of SQLite's (PRAGMA writable_schema lets anyone give one to a trigger).
_OBJECTS = "SELECT name, type, tbl_name, sql FROM sqlite_master"
# What SQLite itself may add to a file of any schema: the statistics of ANALYZE.
_SQLITES = {
    "sqlite_stat1": ("table", "sqlite_stat1", "CREATE TABLE sqlite_stat1(tbl,idx,stat)"),
    "sqlite_stat4": (
        "table",
        "sqlite_stat4",
        "CREATE TABLE sqlite_stat4(tbl,idx,neq,nlt,ndlt,sample)",
    ),
}
_expected: dict[int, dict] = {}


def expected_objects(version=SCHEMA_VERSION):
    """name -> (type, table, sql) of every object of schema ``version``, as SQLite stores
    them."""
    if version not in _expected:
        scratch = sqlite3.connect(":memory:")
        try:
            for statement in DDL_BY_VERSION[version]:
                scratch.execute(statement)
            _expected[version] = {row[0]: row[1:] for row in scratch.execute(_OBJECTS)}
        finally:
            scratch.close()
    return _expected[version]


EMPTY, OURS, OLDER = "empty", "ours", "older"


def inspect(cursor, where):
    """EMPTY for a database without tables or ids, OURS for a durnel file of this schema,
    OLDER for one of an earlier version that prepare() migrates; raises ForeignDataError or
    SchemaVersionError for anything else. ``where`` names the file in messages. Reads in one
    read transaction, so that a file being made by another process is seen before or after,
    never halfway."""
    cursor.execute("BEGIN")
    try:
        found = _read(cursor)
    finally:
        cursor.execute("COMMIT")
    return _judge(where, *found)


def prepare(cursor, where):
    """Makes an empty database a durnel file, migrates one of an earlier version, or checks
    that it is one of this version (see the module's docstring), and puts it in WAL mode;
    ``cursor`` is on a connection in autocommit mode."""
    if inspect(cursor, where) == OURS:
        _wal(cursor, where)
        return
    _wal(cursor, where)
    cursor.execute("BEGIN IMMEDIATE")
    try:
        # Judged again under the write lock: another process may have made or migrated it.
        application_id, version, found = _read(cursor)
        kind = _judge(where, application_id, version, found)
        if kind == EMPTY:
            for statement in DDL:
                cursor.execute(statement)
            cursor.execute("PRAGMA application_id = %d" % APPLICATION_ID)
        elif kind == OLDER:
            for step in range(version, SCHEMA_VERSION):
                for statement in MIGRATIONS[step]:
                    cursor.execute(statement)
        if kind != OURS:
            cursor.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        cursor.execute("COMMIT")
        if kind == OLDER:
            _log.info("migrated %s from schema version %d to %d", where, version, SCHEMA_VERSION)
    except BaseException:
        if cursor.connection.in_transaction:
            cursor.execute("ROLLBACK")
        raise


def _read(cursor):
    application_id = cursor.execute("PRAGMA application_id").fetchone()[0]
    version = cursor.execute("PRAGMA user_version").fetchone()[0]
    found = {row[0]: row[1:] for row in cursor.execute(_OBJECTS)}
    return application_id, version, found


def _judge(where, application_id, version, found):
    if application_id == 0 and version == 0 and not found:
        return EMPTY
    if application_id != APPLICATION_ID:
        if application_id:
            why = "its application_id is %d" % application_id
        else:
            why = "it holds %s" % ", ".join("%s %s" % (found[n][0], n) for n in sorted(found))
        raise ForeignDataError(
            "%s is a SQLite database that durnel did not make: %s" % (where, why)
        )
    if version > SCHEMA_VERSION:
        raise SchemaVersionError(
            "%s was made by a newer durnel (schema version %d; this one reads version %d): "
            "upgrade durnel_core to use it" % (where, version, SCHEMA_VERSION)
        )
    if version not in DDL_BY_VERSION:
        raise ForeignDataError(
            "%s carries durnel's application_id but the unknown schema version %d"
            % (where, version)
        )
    wrong = []
    expected = expected_objects(version)
    for name, (kind, table, sql) in sorted(expected.items()):
        if name not in found:
            wrong.append("the %s %s is missing" % (kind, name))
        elif found[name] != (kind, table, sql):
            wrong.append("the %s %s is not the one durnel makes" % (kind, name))
    for name in sorted(set(found) - set(expected)):
        if _SQLITES.get(name) == found[name]:
            continue
        wrong.append("the %s %s is not durnel's" % (found[name][0], name))
    if wrong:
        raise ForeignDataError(
            "%s is not a durnel file as this durnel makes them: %s" % (where, "; ".join(wrong))
        )
    return OURS if version == SCHEMA_VERSION else OLDER


def _wal(cursor, where):
    mode = cursor.execute("PRAGMA journal_mode").fetchone()[0]
    if mode.lower() != "wal":
        mode = cursor.execute("PRAGMA journal_mode = WAL").fetchone()[0]
        if mode.lower() != "wal":
            raise StorageError(
                "%s cannot be put in WAL mode (it stays in %s mode; SQLite needs shared memory "
                "beside the file, which network file systems do not give)" % (where, mode)
            )
