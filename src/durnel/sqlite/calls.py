"""What each method does to the file, as plain functions over a cursor, in as few statements
as the contract allows: the engine runs each writing function inside one ``BEGIN IMMEDIATE``
transaction and each reading one in autocommit mode (one read transaction per statement).

The functions take plain ``str`` arguments that the engine has already converted, the
namespace, and for writes the call's clock reading ``now`` and the log cap ``maxlen`` (None:
no cap). The triggers of schema.py write the statuses and the log events of claims made or
taken over and of direct messages; the functions here write the rest.

Refusable calls return True when they took effect, else what refused them: the holder whose
claim stands, or None when there is no claim. Sends return their stamp.

Calls that may end a wait (send, broadcast, release) also return the socket names of the
waiters they concern, read in the same transaction (wakes.py): the engine wakes them once
the transaction has committed. The functions after them keep the ``waiters`` table.
"""

from ..contract import LEASE_SECONDS
from .schema import NEXT_SEQ

__all__ = [
    "broadcast",
    "claim",
    "claim_turn",
    "drain",
    "drain_waiting",
    "evict",
    "inbox",
    "join",
    "leave",
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
# The waiters a call must wake: those of one mailbox; those of every mailbox a broadcast
# reaches (the roster); the first in line for a resource.
_MAIL_WAITERS = "SELECT address FROM waiters WHERE namespace = ? AND kind = 'mail' AND key = ?"
_ROSTER_WAITERS = (
    "SELECT w.address FROM waiters AS w JOIN statuses AS s "
    "ON s.namespace = w.namespace AND s.agent = w.key WHERE w.namespace = ? AND w.kind = 'mail'"
)
_FIRST_WAITER = (
    "SELECT ticket, address FROM waiters WHERE namespace = ? AND kind = 'claim' AND key = ? "
    "ORDER BY ticket LIMIT 1"
)
_FRONT = (
    "SELECT ticket, address FROM waiters WHERE namespace = ? AND kind = 'claim' AND key = ? "
    "ORDER BY ticket LIMIT 2"
)
_CLAIM_KEYS = (
    "SELECT DISTINCT key FROM waiters WHERE namespace = ? AND kind = 'claim' AND address = ?"
)
_WAITER_AHEAD = (
    "SELECT ticket, address FROM waiters WHERE namespace = ? AND kind = 'claim' AND key = ? "
    "AND ticket < ? ORDER BY ticket DESC LIMIT 1"
)
_JOIN = "INSERT INTO waiters (namespace, kind, key, address) VALUES (?, ?, ?, ?)"
_LEAVE = "DELETE FROM waiters WHERE ticket = ?"
_EVICT = "DELETE FROM waiters WHERE address = ?"
_IS_WAITING = "SELECT 1 FROM waiters WHERE ticket = ?"
_CLAIM_STAMP = "SELECT holder, stamp FROM claims WHERE namespace = ? AND resource = ?"
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
    """(True, the first waiter for the resource) or (what refused it, ())."""
    cursor.execute(_RELEASE, (namespace, resource, agent))
    if not cursor.rowcount:
        return _holder(cursor, namespace, resource), ()
    cursor.execute(_LOG_RELEASED, (namespace, namespace, agent, resource, now))
    _trim(cursor, namespace, maxlen)
    first = cursor.execute(_FIRST_WAITER, (namespace, resource)).fetchone()
    return True, () if first is None else (first[1],)


def send(cursor, namespace, now, maxlen, sender, recipient, content):
    """(the stamp, the recipient's waiters)."""
    cursor.execute(_SEND, (namespace, recipient, sender, content, now))
    _trim(cursor, namespace, maxlen)
    return now, _addresses(cursor, _MAIL_WAITERS, (namespace, recipient))


def broadcast(cursor, namespace, now, maxlen, sender, content):
    """One copy for every agent with a status, the sender registered first so that it gets
    its own: the roster is the statuses of the namespace as the transaction sees them.
    Returns (the stamp, the waiters of every mailbox on the roster)."""
    cursor.execute(_REGISTER, (namespace, sender))
    cursor.execute(_COPIES, (sender, content, now, namespace))
    cursor.execute(_LOG_BROADCAST, (namespace, namespace, sender, content, now))
    _trim(cursor, namespace, maxlen)
    return now, _addresses(cursor, _ROSTER_WAITERS, (namespace,))


def drain(cursor, namespace, now, maxlen, agent):
    """The inbox of ``agent``, oldest first, and no longer in the file. ``now`` and
    ``maxlen`` are unused: a drain stamps and logs nothing."""
    messages = cursor.execute(_INBOX, (namespace, agent)).fetchall()
    if messages:
        cursor.execute(_EMPTY_INBOX, (namespace, agent))
    return messages


# ---- waiters: writes, inside a transaction that holds the write lock ----


def join(cursor, namespace, now, maxlen, kind, key, address):
    """A new waiter of ``kind`` for ``key``, last in line; its ticket."""
    cursor.execute(_JOIN, (namespace, kind, key, address))
    return cursor.lastrowid


def leave(cursor, namespace, now, maxlen, ticket, kind, key):
    """Removes a waiter; returns the addresses of the claim waiters that this moved to the
    front of their line (see _moved_up), to wake."""
    before = _front(cursor, namespace, key) if kind == "claim" else None
    cursor.execute(_LEAVE, (ticket,))
    return [] if before is None else _moved_up(cursor, namespace, key, before)


def evict(cursor, namespace, now, maxlen, addresses):
    """Removes the waiters of ``addresses``, whose sockets are gone; returns the addresses of
    the claim waiters that this moved to the front of their line, to wake."""
    woken = []
    for address in addresses:
        keys = [row[0] for row in cursor.execute(_CLAIM_KEYS, (namespace, address))]
        before = {key: _front(cursor, namespace, key) for key in keys}
        cursor.execute(_EVICT, (address,))
        for key in keys:
            woken.extend(_moved_up(cursor, namespace, key, before[key]))
    return [address for address in dict.fromkeys(woken) if address not in addresses]


# Only the first two waiters of a line look out for anything: the first for the claim's end,
# the second for the first's death. A departure that moves others into those places wakes
# them, so the rest of the line sleeps without looking.
def _front(cursor, namespace, key):
    """The tickets of the first two waiters for ``key``."""
    return [row[0] for row in cursor.execute(_FRONT, (namespace, key))]


def _moved_up(cursor, namespace, key, before, own=None):
    """The addresses of the first two waiters for ``key`` that were not among the first two
    ``before`` (tickets), leaving out the waiter ``own``."""
    return [
        address
        for ticket, address in cursor.execute(_FRONT, (namespace, key)).fetchall()
        if ticket not in before and ticket != own
    ]


def drain_waiting(cursor, namespace, now, maxlen, agent, ticket):
    """``drain``, and when it finds messages the waiter ``ticket`` (if any) leaves in the
    same transaction: (messages, whether the waiter still waits)."""
    messages = drain(cursor, namespace, now, maxlen, agent)
    if messages and ticket is not None:
        cursor.execute(_LEAVE, (ticket,))
        return messages, False
    return messages, ticket is not None


def claim_turn(cursor, namespace, now, maxlen, resource, agent, ticket, address, gone):
    """One turn of a claim wait, first come first served: the waiter ``ticket`` (None: not in
    line yet; a waiter whose row has gone joins again), after removing the waiter ``gone``
    ahead of it whose socket is gone (or None), claims ``resource`` if nobody is ahead of
    it; if it did, it leaves the line and this returns (True,). Otherwise it is (now) in
    line, as ``address``, and this returns (False, holder, stamp, ticket, ahead): the claim
    in its way (holder None: the resource is free, for the waiter ahead), and the waiter
    just ahead (ticket, address, whether it is first), None for the first in line. Without
    an address a waiter not yet in line stays out of it (ticket None). Either result is
    returned as (result, the addresses of the other waiters that this turn moved to the
    front of the line, to wake)."""
    before = _front(cursor, namespace, resource)
    if gone is not None:
        cursor.execute(_LEAVE, (gone,))
    if ticket is not None and cursor.execute(_IS_WAITING, (ticket,)).fetchone() is None:
        ticket = None
    first = cursor.execute(_FIRST_WAITER, (namespace, resource)).fetchone()
    in_turn = first is None or first[0] == ticket
    if in_turn and claim(cursor, namespace, now, maxlen, resource, agent) is True:
        if ticket is not None:
            cursor.execute(_LEAVE, (ticket,))
        return (True,), _moved_up(cursor, namespace, resource, before)
    row = cursor.execute(_CLAIM_STAMP, (namespace, resource)).fetchone()
    holder, stamp = (None, None) if row is None else row
    if ticket is None:
        if address is None:  # a first try that found the resource held: not in line
            return (False, holder, stamp, None, None), []
        ticket = join(cursor, namespace, now, maxlen, "claim", resource, address)
    ahead = cursor.execute(_WAITER_AHEAD, (namespace, resource, ticket)).fetchone()
    if ahead is not None:
        ahead = tuple(ahead) + (first is not None and ahead[0] == first[0],)
    woken = _moved_up(cursor, namespace, resource, before, ticket)
    return (False, holder, stamp, ticket, ahead), woken


def _addresses(cursor, query, parameters):
    return [row[0] for row in cursor.execute(query, parameters)]


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
