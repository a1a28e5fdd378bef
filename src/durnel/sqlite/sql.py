"""What each method does to the file, as plain functions over a cursor, in as few statements
as the contract allows: the engine runs each writing function inside one ``BEGIN IMMEDIATE``
transaction and each reading one in autocommit mode (one read transaction per statement).

The functions take plain ``str`` arguments that the engine has already converted, the
namespace, and for writes the call's clock reading ``now`` and the log cap ``maxlen`` (None:
no cap). The triggers of schema.py write the statuses and the log events of claims made or
taken over and of direct messages; the functions here write the rest.

Refusable calls return True when they took effect, else what refused them: the holder whose
claim stands, or None when there is no claim. Sends return their stamp.

A claim taken or renewed through an object opened with ``ephemeral_claims`` names its holder's
process (``mortal``: (pid, process) as processes.py describes them, else None); a claim
whose named process has ended counts as lapsed wherever a lapse is judged (``claim`` takes
it over, a claim turn serves the line). The functions that may free such a claim, pass over a
paused first waiter or remove a dead one append what they did to ``notes`` (a list of
tuples, or None), for the engine to log once the transaction has committed.

``seen`` records an agent's presence in the transaction of the call it precedes; ``revoke``
and ``delete_namespace`` serve an operator, beyond the contract.

Calls that may end a wait (send, broadcast, release, revoke) also return the waiters they concern,
as rows (ticket, address, pid, process) read in the same transaction (wakes.py): the engine
wakes them once the transaction has committed. The functions after them keep the
``waiters`` table. A drain takes its messages whole, so that ``restore`` can put back, as
they were, messages that never reached their caller.
"""

from ..contract import LEASE_SECONDS
from . import processes
from .schema import NEXT_SEQ

__all__ = [
    "broadcast",
    "claim",
    "claim_turn",
    "delete_namespace",
    "drain",
    "drain_waiting",
    "evict",
    "inbox",
    "join",
    "leave",
    "look",
    "release",
    "renew",
    "restore",
    "revoke",
    "seen",
    "seen_reading",
    "send",
    "status",
    "waiters_of",
    "waiting_processes",
]

# A fresh claim, or the takeover of a lapsed one (the clock may have gone back: a negative
# age is young). Nothing happens to a claim that holds; the call then reads its holder.
# Parameters are plain "?" bound from tuples (Python 3.12 deprecates numbered ones there), so a
# value used twice is passed twice.
_CLAIM = (
    "INSERT INTO claims (namespace, resource, holder, stamp, pid, process) "
    "VALUES (?, ?, ?, ?, ?, ?) "
    "ON CONFLICT (namespace, resource) DO UPDATE SET holder = excluded.holder, "
    "stamp = excluded.stamp, pid = excluded.pid, process = excluded.process "
    "WHERE excluded.stamp - claims.stamp >= %d" % LEASE_SECONDS
)
_HOLDER = "SELECT holder FROM claims WHERE namespace = ? AND resource = ?"
_HELD = "SELECT holder, stamp, pid, process FROM claims WHERE namespace = ? AND resource = ?"
# A claim whose holder's process has ended, taken over (the triggers log it as a takeover).
_TAKE_OVER = (
    "UPDATE claims SET holder = ?, stamp = ?, pid = ?, process = ? "
    "WHERE namespace = ? AND resource = ?"
)
_RENEW = (
    "UPDATE claims SET stamp = ?, pid = ?, process = ? "
    "WHERE namespace = ? AND resource = ? AND holder = ?"
)
_SEEN = (
    "INSERT INTO presence (namespace, agent, last_seen, host, pid, object_id) "
    "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (namespace, agent) DO UPDATE SET "
    "last_seen = excluded.last_seen, host = excluded.host, pid = excluded.pid, "
    "object_id = excluded.object_id"
)
_REVOKE = "DELETE FROM claims WHERE namespace = ? AND resource = ?"
_SET_STATUS = "UPDATE statuses SET status = ? WHERE namespace = ? AND agent = ?"
_LOG_REVOKED = (
    "INSERT INTO log (namespace, seq, event, agent, resource, from_agent, at) "
    "VALUES (?, %s, 'Revoked', ?, ?, ?, ?)" % (NEXT_SEQ % "?")
)
# Every table of a namespace, claims first: their trigger writes statuses, deleted after.
_TABLES = ("claims", "messages", "statuses", "log", "waiters", "presence")
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
# A drain keeps what it takes whole, so that it can be put back as it was (see restore).
_TAKEN = (
    "SELECT sender, recipient, content, sent_at, broadcast FROM messages "
    "WHERE namespace = ? AND recipient = ? ORDER BY id"
)
_EMPTY_INBOX = "DELETE FROM messages WHERE namespace = ? AND recipient = ?"
_LOWEST_ID = "SELECT ifnull(min(id), 1) FROM messages"
_PUT_BACK = (
    "INSERT INTO messages (id, namespace, recipient, sender, content, sent_at, broadcast) "
    "VALUES (?, ?, ?, ?, ?, ?, ?)"
)
_LAST_SEQ = "SELECT ifnull(max(seq), 0) FROM log WHERE namespace = ?"
_UNLOG = "DELETE FROM log WHERE namespace = ? AND seq > ?"
_STATUS = "SELECT status FROM statuses WHERE namespace = ? AND agent = ?"
# Whether a mailbox holds anything, and whether a waiter is still listed, in one read.
_LOOK = (
    "SELECT EXISTS (SELECT 1 FROM messages WHERE namespace = ? AND recipient = ?), "
    "EXISTS (SELECT 1 FROM waiters WHERE ticket = ?)"
)
# A waiter as the calls hand it to the engine, to wake or to judge: (ticket, address, pid,
# process). The waiters a call must wake: those of one mailbox; those of every mailbox a
# broadcast reaches (the roster); the first in line for a resource.
_WAITER = "ticket, address, pid, process"
_MAIL_WAITERS = "SELECT %s FROM waiters WHERE namespace = ? AND kind = 'mail' AND key = ?" % _WAITER
_ROSTER_WAITERS = (
    "SELECT w.ticket, w.address, w.pid, w.process FROM waiters AS w JOIN statuses AS s "
    "ON s.namespace = w.namespace AND s.agent = w.key WHERE w.namespace = ? AND w.kind = 'mail'"
)
_FRONT = (
    "SELECT %s FROM waiters WHERE namespace = ? AND kind = 'claim' AND key = ? "
    "ORDER BY ticket LIMIT 2" % _WAITER
)
_WAITER_AHEAD = (
    "SELECT %s FROM waiters WHERE namespace = ? AND kind = 'claim' AND key = ? "
    "AND ticket < ? ORDER BY ticket DESC LIMIT 1" % _WAITER
)
_JOIN = (
    "INSERT INTO waiters (namespace, kind, key, address, pid, process, agent, host, since) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"
)
_LEAVE = "DELETE FROM waiters WHERE ticket = ?"
_REJOIN = (
    "INSERT INTO waiters (ticket, namespace, kind, key, address, pid, process, agent, host, "
    "since) VALUES (?, ?, 'claim', ?, ?, ?, ?, ?, ?, ?)"
)
_NAMESPACE_WAITERS = "SELECT %s FROM waiters WHERE namespace = ?" % _WAITER
_LINE_OF = "SELECT namespace, key FROM waiters WHERE ticket = ? AND kind = 'claim'"
_IS_WAITING = "SELECT 1 FROM waiters WHERE ticket = ?"
_PROCESSES = "SELECT DISTINCT pid, process FROM waiters"
_OF_PROCESS = "SELECT %s FROM waiters WHERE pid = ? AND process = ?" % _WAITER
_TRIM = (
    "DELETE FROM log WHERE namespace = ? "
    "AND seq <= (SELECT max(seq) FROM log WHERE namespace = ?) - ?"
)


# ---- writes: inside a transaction that holds the write lock ----


def seen(cursor, namespace, now, maxlen, presence, call, *arguments):
    """Records ``presence`` (agent, host, pid, object id) at ``now``, then makes the writing
    ``call``; returns what it returns."""
    cursor.execute(_SEEN, (namespace, presence[0], now) + presence[1:])
    return call(cursor, namespace, now, maxlen, *arguments)


def seen_reading(cursor, namespace, now, maxlen, presence, call, *arguments):
    """``seen`` for a reading ``call`` (one that takes no clock): a read made a write once in
    a while, for the presence of its caller."""
    cursor.execute(_SEEN, (namespace, presence[0], now) + presence[1:])
    return call(cursor, namespace, *arguments)


def claim(cursor, namespace, now, maxlen, resource, agent, mortal=None, notes=None):
    pid, process = mortal or (None, None)
    cursor.execute(_CLAIM, (namespace, resource, agent, now, pid, process))
    if cursor.rowcount:
        _trim(cursor, namespace, maxlen)
        return True
    holder, _, held_by, held_in = cursor.execute(_HELD, (namespace, resource)).fetchone()
    if held_in is None or processes.judge(held_by, held_in) != processes.DEAD:
        return holder
    cursor.execute(_TAKE_OVER, (agent, now, pid, process, namespace, resource))
    _trim(cursor, namespace, maxlen)
    if notes is not None:
        notes.append(("freed", namespace, resource, holder, held_by))
    return True


def renew(cursor, namespace, now, maxlen, resource, agent, mortal=None):
    pid, process = mortal or (None, None)
    cursor.execute(_RENEW, (now, pid, process, namespace, resource, agent))
    return True if cursor.rowcount else _holder(cursor, namespace, resource)


def revoke(cursor, namespace, now, maxlen, resource, by):
    """Frees the claim on ``resource`` whoever holds it, leaving the holder's status as it
    was (as a takeover does), and logs a Revoked event naming the holder and ``by``: (the
    holder, the first waiter for the resource), or (None, ()) when there is no claim."""
    holder = _holder(cursor, namespace, resource)
    if holder is None:
        return None, ()
    status = cursor.execute(_STATUS, (namespace, holder)).fetchall()
    cursor.execute(_REVOKE, (namespace, resource))
    if status:
        cursor.execute(_SET_STATUS, (status[0][0], namespace, holder))
    cursor.execute(_LOG_REVOKED, (namespace, namespace, holder, resource, by, now))
    _trim(cursor, namespace, maxlen)
    return holder, _front(cursor, namespace, resource)[:1]


def delete_namespace(cursor, namespace, now, maxlen):
    """Deletes every row of the namespace, in every table: (how many, the waiters that were
    sleeping there, to wake: each finds its row gone and takes its place again)."""
    waiting = cursor.execute(_NAMESPACE_WAITERS, (namespace,)).fetchall()
    deleted = 0
    for table in _TABLES:
        cursor.execute("DELETE FROM %s WHERE namespace = ?" % table, (namespace,))
        deleted += cursor.rowcount
    return deleted, waiting


def release(cursor, namespace, now, maxlen, resource, agent):
    """(True, the first waiter for the resource) or (what refused it, ())."""
    cursor.execute(_RELEASE, (namespace, resource, agent))
    if not cursor.rowcount:
        return _holder(cursor, namespace, resource), ()
    cursor.execute(_LOG_RELEASED, (namespace, namespace, agent, resource, now))
    _trim(cursor, namespace, maxlen)
    return True, _front(cursor, namespace, resource)[:1]


def send(cursor, namespace, now, maxlen, sender, recipient, content):
    """(the stamp, the recipient's waiters)."""
    cursor.execute(_SEND, (namespace, recipient, sender, content, now))
    _trim(cursor, namespace, maxlen)
    return now, cursor.execute(_MAIL_WAITERS, (namespace, recipient)).fetchall()


def broadcast(cursor, namespace, now, maxlen, sender, content):
    """One copy for every agent with a status, the sender registered first so that it gets
    its own: the roster is the statuses of the namespace as the transaction sees them.
    Returns (the stamp, the waiters of every mailbox on the roster)."""
    cursor.execute(_REGISTER, (namespace, sender))
    cursor.execute(_COPIES, (sender, content, now, namespace))
    cursor.execute(_LOG_BROADCAST, (namespace, namespace, sender, content, now))
    _trim(cursor, namespace, maxlen)
    return now, cursor.execute(_ROSTER_WAITERS, (namespace,)).fetchall()


def drain(cursor, namespace, now, maxlen, agent):
    """The inbox of ``agent``, oldest first, and no longer in the file: rows of (sender,
    recipient, content, sent_at, broadcast), the message and whether it is a broadcast's
    copy. ``now`` and ``maxlen`` are unused: a drain stamps and logs nothing."""
    messages = cursor.execute(_TAKEN, (namespace, agent)).fetchall()
    if messages:
        cursor.execute(_EMPTY_INBOX, (namespace, agent))
    return messages


def restore(cursor, namespace, now, maxlen, agent, messages):
    """Puts drained ``messages`` (rows of ``drain``) back in front of ``agent``'s inbox, in
    their order, as they were: below the lowest id of any inbox, so before every message
    there. The trigger of direct messages logs each again as it goes in; those events go
    too, so the log reads as if the messages had never left."""
    last = cursor.execute(_LAST_SEQ, (namespace,)).fetchone()[0]
    first = cursor.execute(_LOWEST_ID).fetchone()[0] - len(messages)
    cursor.executemany(
        _PUT_BACK,
        [
            (first + i, namespace, agent, sender, content, sent_at, broadcast)
            for i, (sender, _, content, sent_at, broadcast) in enumerate(messages)
        ],
    )
    cursor.execute(_UNLOG, (namespace, last))


# ---- waiters: writes, inside a transaction that holds the write lock ----


def join(cursor, namespace, now, maxlen, kind, key, address, pid, process, agent, host):
    """A new waiter of ``kind`` for ``key``, last in line, since ``now``: its ticket."""
    cursor.execute(_JOIN, (namespace, kind, key, address, pid, process, agent, host, now))
    return cursor.lastrowid


def leave(cursor, namespace, now, maxlen, ticket, kind, key):
    """Removes a waiter; returns the claim waiters whose place in the first two of their line
    this changed (see _moved_up), to wake."""
    before = _tickets(_front(cursor, namespace, key)) if kind == "claim" else None
    cursor.execute(_LEAVE, (ticket,))
    return [] if before is None else _moved_up(cursor, namespace, key, before)


def evict(cursor, namespace, now, maxlen, tickets):
    """Removes the waiters of ``tickets``, of any namespace, whose process or socket is gone;
    returns the claim waiters whose place in the first two of their line this changed, to
    wake."""
    lines = {}
    for ticket in tickets:
        line = cursor.execute(_LINE_OF, (ticket,)).fetchall()
        if line and line[0] not in lines:
            lines[line[0]] = _tickets(_front(cursor, *line[0]))
    cursor.executemany(_LEAVE, [(ticket,) for ticket in tickets])
    woken = {}
    for (space, key), before in lines.items():
        for row in _moved_up(cursor, space, key, before):
            woken[row[0]] = row
    return list(woken.values())


# Only the first two waiters of a line look out for anything: the first for the claim's end,
# the second for the first's death. A departure that moves others into those places, or from
# the second place to the first, wakes them, so the rest of the line sleeps without looking.
def _front(cursor, namespace, key):
    """The first two waiters for ``key``."""
    return cursor.execute(_FRONT, (namespace, key)).fetchall()


def _tickets(rows):
    return [row[0] for row in rows]


def _moved_up(cursor, namespace, key, before, own=None):
    """Those of the first two waiters for ``key`` whose place differs from theirs in
    ``before`` (tickets of the first two then), leaving out the waiter ``own``."""
    return [
        row
        for place, row in enumerate(_front(cursor, namespace, key))
        if row[0] != own and (place >= len(before) or before[place] != row[0])
    ]


def drain_waiting(cursor, namespace, now, maxlen, agent, ticket):
    """``drain``, and when it finds messages the waiter ``ticket`` (if any) leaves in the
    same transaction: (messages, whether the waiter is still listed)."""
    messages = drain(cursor, namespace, now, maxlen, agent)
    if ticket is None:
        return messages, False
    if messages:
        cursor.execute(_LEAVE, (ticket,))
        return messages, False
    return messages, bool(cursor.execute(_IS_WAITING, (ticket,)).fetchall())


def claim_turn(
    cursor, namespace, now, maxlen, resource, agent, ticket, waiter, gone, passed, mortal, notes
):
    """One turn of a claim wait, first come first served: the waiter ``ticket`` (None: not in
    line yet; a waiter whose row has gone takes its place again, by its ticket), after
    removing the waiter ``gone`` ahead of it whose process is gone (or None), and the waiter
    ``passed`` if it is still first in line while the resource is free (it let the resource
    be free too long: a paused process), claims ``resource`` (as ``mortal``) if nobody is
    ahead of it; if it did, it leaves the line and this returns (True,). Otherwise it is
    (now) in line, as ``waiter`` (address, pid, process, agent, host), and this returns
    (False, holder, stamp, ticket, ahead, first, held_by): the claim in its way (holder None:
    the resource is free, for the waiter ahead), the waiter just ahead (ticket, address, pid,
    process, whether it is first), None for the first in line, the ticket of the first in
    line, and the (pid, process) that the claim dies with, or None. Without ``waiter`` a
    waiter not yet in line stays out of it (ticket None). Either result is returned as
    (result, the other waiters that this turn moved in the first two places of the line, to
    wake)."""
    front = _front(cursor, namespace, resource)
    before = _tickets(front)
    if gone is not None:
        cursor.execute(_LEAVE, (gone,))
        if cursor.rowcount:
            notes.append(("gone", namespace, resource, gone))
        if gone in before:
            front = _front(cursor, namespace, resource)
    if (
        passed is not None
        and front
        and front[0][0] == passed
        and _free(cursor.execute(_HELD, (namespace, resource)).fetchall(), now)
    ):
        cursor.execute(_LEAVE, (passed,))
        notes.append(("passed", namespace, resource, passed))
        front = _front(cursor, namespace, resource)
    if ticket is not None and not cursor.execute(_IS_WAITING, (ticket,)).fetchall():
        if waiter is None:
            ticket = None
        else:
            cursor.execute(_REJOIN, (ticket, namespace, resource) + tuple(waiter) + (now,))
            front = _front(cursor, namespace, resource)
    first = front[0][0] if front else None
    in_turn = first is None or first == ticket
    if in_turn and claim(cursor, namespace, now, maxlen, resource, agent, mortal, notes) is True:
        if ticket is not None:
            cursor.execute(_LEAVE, (ticket,))
        return (True,), _moved_up(cursor, namespace, resource, before)
    found = cursor.execute(_HELD, (namespace, resource)).fetchall()
    holder, stamp, held_by, held_in = found[0] if found else (None, None, None, None)
    held = None if held_in is None else (held_by, held_in)
    if ticket is None:
        if waiter is None:  # a first try that found the resource held: not in line
            return (False, holder, stamp, None, None, first, held), []
        ticket = join(cursor, namespace, now, maxlen, "claim", resource, *waiter)
    first = ticket if first is None else first
    ahead = cursor.execute(_WAITER_AHEAD, (namespace, resource, ticket)).fetchall()
    ahead = tuple(ahead[0]) + (ahead[0][0] == first,) if ahead else None
    woken = _moved_up(cursor, namespace, resource, before, ticket)
    return (False, holder, stamp, ticket, ahead, first, held), woken


def _free(found, now):
    """Whether the claim of ``found`` (rows of _HELD) leaves its resource free: there is
    none, or it has lapsed, or its holder's process has ended."""
    if not found:
        return True
    _, stamp, pid, process = found[0]
    if now - stamp >= LEASE_SECONDS:
        return True
    return process is not None and processes.judge(pid, process) == processes.DEAD


def _holder(cursor, namespace, resource):
    found = cursor.execute(_HOLDER, (namespace, resource)).fetchall()
    return found[0][0] if found else None


def _trim(cursor, namespace, maxlen):
    if maxlen is not None:
        cursor.execute(_TRIM, (namespace, namespace, maxlen))


# ---- reads: one statement, one read transaction, no write lock ----
# Each runs to its end (fetchall): a statement left half-read keeps its read transaction, and
# with it the write-ahead log's every frame since, until the connection's next statement.


def inbox(cursor, namespace, agent):
    """(sender, agent, content, sent_at) of every message for ``agent``, oldest first."""
    return cursor.execute(_INBOX, (namespace, agent)).fetchall()


def status(cursor, namespace, agent):
    """The stored status of ``agent``, None if it has none."""
    found = cursor.execute(_STATUS, (namespace, agent)).fetchall()
    return found[0][0] if found else None


def look(cursor, namespace, agent, ticket):
    """(whether ``agent``'s mailbox holds anything, whether the waiter ``ticket`` is listed)."""
    return cursor.execute(_LOOK, (namespace, agent, ticket)).fetchall()[0]


def waiting_processes(cursor, namespace):
    """(pid, process) of every process with a waiter listed, in any namespace."""
    return cursor.execute(_PROCESSES).fetchall()


def waiters_of(cursor, namespace, pid, process):
    """The waiters of one process, in any namespace."""
    return cursor.execute(_OF_PROCESS, (pid, process)).fetchall()
