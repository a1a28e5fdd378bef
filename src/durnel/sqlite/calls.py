"""What each method does to the file, as plain functions over a cursor, in as few statements
as the contract allows: the engine runs each writing function inside one ``BEGIN IMMEDIATE``
transaction and each reading one in autocommit mode (one read transaction per statement).

The functions take plain ``str`` arguments that the engine has already converted, the
namespace, and for writes the call's clock reading ``now`` and the log cap ``maxlen`` (None:
no cap). The triggers of schema.py write the statuses and the log events of claims made or
taken over and of direct messages; the functions here write the rest.

Refusable calls return True when they took effect, else what refused them: the holder whose
claim stands, or None when there is no claim. Sends return their stamp.
"""

from ..contract import LEASE_SECONDS
from .schema import NEXT_SEQ

__all__ = [
    "broadcast",
    "claim",
    "drain",
    "inbox",
    "release",
    "renew",
    "send",
    "status",
]

# A fresh claim, or the takeover of a lapsed one (the clock may have gone back: a negative
# age is young). Nothing happens to a claim that holds; the call then reads its holder.
# Parameters are plain "?" bound from tuples (Python 3.12 deprecates numbered ones there), so a
# value used twice is passed twice.
_CLAIM = (
    "INSERT INTO claims (namespace, resource, holder, stamp) VALUES (?, ?, ?, ?) "
    "ON CONFLICT (namespace, resource) DO UPDATE SET holder = excluded.holder, "
    "stamp = excluded.stamp WHERE excluded.stamp - claims.stamp >= %d" % LEASE_SECONDS
)
_HOLDER = "SELECT holder FROM claims WHERE namespace = ? AND resource = ?"
_RENEW = "UPDATE claims SET stamp = ? WHERE namespace = ? AND resource = ? AND holder = ?"
_RELEASE = "DELETE FROM claims WHERE namespace = ? AND resource = ? AND holder = ?"
_LOG_RELEASED = (
    "INSERT INTO log (namespace, seq, event, agent, resource, at) "
    "VALUES (?, %s, 'Released', ?, ?, ?)" % (NEXT_SEQ % "?")
)
_SEND = (
    "INSERT INTO messages (namespace, recipient, sender, content, sent_at, broadcast) "
    "VALUES (?, ?, ?, ?, ?, 0)"
)
_REGISTER = "INSERT OR IGNORE INTO statuses (namespace, agent, status) VALUES (?, ?, 'idle')"
_COPIES = (
    "INSERT INTO messages (namespace, recipient, sender, content, sent_at, broadcast) "
    "SELECT namespace, agent, ?, ?, ?, 1 FROM statuses WHERE namespace = ?"
)
_LOG_BROADCAST = (
    "INSERT INTO log (namespace, seq, event, from_agent, content, at) "
    "VALUES (?, %s, 'BroadcastSent', ?, ?, ?)" % (NEXT_SEQ % "?")
)
_INBOX = (
    "SELECT sender, recipient, content, sent_at FROM messages "
    "WHERE namespace = ? AND recipient = ? ORDER BY id"
)
_EMPTY_INBOX = "DELETE FROM messages WHERE namespace = ? AND recipient = ?"
_STATUS = "SELECT status FROM statuses WHERE namespace = ? AND agent = ?"
_TRIM = (
    "DELETE FROM log WHERE namespace = ? "
    "AND seq <= (SELECT max(seq) FROM log WHERE namespace = ?) - ?"
)


# ---- writes: inside a transaction that holds the write lock ----


def claim(cursor, namespace, now, maxlen, resource, agent):
    cursor.execute(_CLAIM, (namespace, resource, agent, now))
    if cursor.rowcount:
        _trim(cursor, namespace, maxlen)
        return True
    return _holder(cursor, namespace, resource)


def renew(cursor, namespace, now, maxlen, resource, agent):
    cursor.execute(_RENEW, (now, namespace, resource, agent))
    return True if cursor.rowcount else _holder(cursor, namespace, resource)


def release(cursor, namespace, now, maxlen, resource, agent):
    cursor.execute(_RELEASE, (namespace, resource, agent))
    if not cursor.rowcount:
        return _holder(cursor, namespace, resource)
    cursor.execute(_LOG_RELEASED, (namespace, namespace, agent, resource, now))
    _trim(cursor, namespace, maxlen)
    return True


def send(cursor, namespace, now, maxlen, sender, recipient, content):
    cursor.execute(_SEND, (namespace, recipient, sender, content, now))
    _trim(cursor, namespace, maxlen)
    return now


def broadcast(cursor, namespace, now, maxlen, sender, content):
    """One copy for every agent with a status, the sender registered first so that it gets
    its own: the roster is the statuses of the namespace as the transaction sees them."""
    cursor.execute(_REGISTER, (namespace, sender))
    cursor.execute(_COPIES, (sender, content, now, namespace))
    cursor.execute(_LOG_BROADCAST, (namespace, namespace, sender, content, now))
    _trim(cursor, namespace, maxlen)
    return now


def drain(cursor, namespace, now, maxlen, agent):
    """The inbox of ``agent``, oldest first, and no longer in the file. ``now`` and
    ``maxlen`` are unused: a drain stamps and logs nothing."""
    messages = cursor.execute(_INBOX, (namespace, agent)).fetchall()
    if messages:
        cursor.execute(_EMPTY_INBOX, (namespace, agent))
    return messages


def _holder(cursor, namespace, resource):
    row = cursor.execute(_HOLDER, (namespace, resource)).fetchone()
    return None if row is None else row[0]


def _trim(cursor, namespace, maxlen):
    if maxlen is not None:
        cursor.execute(_TRIM, (namespace, namespace, maxlen))


# ---- reads: one statement, one read transaction, no write lock ----


def inbox(cursor, namespace, agent):
    """(sender, agent, content, sent_at) of every message for ``agent``, oldest first."""
    return cursor.execute(_INBOX, (namespace, agent)).fetchall()


def status(cursor, namespace, agent):
    """The stored status of ``agent``, None if it has none."""
    row = cursor.execute(_STATUS, (namespace, agent)).fetchone()
    return None if row is None else row[0]
