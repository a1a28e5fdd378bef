"""How the durnel command shows a snapshot: a headline and its tables (agents with their
mailboxes and, where the engine records it, when and where from each was last seen; claims;
the calls waiting, when any wait; the end of the activity log), as plain text or as rich
renderables.

The tables are built once, engine- and library-neutral (``Table``, ``Row``), then drawn by
``plain_text`` or ``rich_view``; the rich library (the ``cli`` extra) is imported only by
``rich_view``. Times are the engine's clock in UTC; ages and seconds left come from the
snapshot's own reading. A row can be marked: a claim ``lapsed`` or ``ending`` (at most
ENDING_SECONDS left), and any row ``changed`` (the live view marks what changed lately).
Text that agents chose (ids, keys, message contents) is shown with its control characters
escaped, so that it cannot move the cursor or break a row. Given a width (a terminal's), a
table's text columns are cut, the widest first, until its rows fit, so that a row stays one
line with every column in it; counts are written in words that agree with them.
"""

import time
from collections import Counter
from typing import NamedTuple, Optional

from .snapshots import LogEvent, Snapshot

__all__ = [
    "ENDING_SECONDS",
    "counted",
    "Row",
    "Table",
    "describe",
    "headline",
    "plain_text",
    "rich_view",
    "tables",
]

ENDING_SECONDS = 60  # a claim with this many seconds left or fewer is shown as ending
CONTENT_WIDTH = 60  # message contents are cut to this many characters in tables
MIN_CELL = 10  # a text column made narrower to fit a width keeps at least this many


class Row(NamedTuple):
    key: tuple  # what the row is about, stable from one snapshot to the next
    cells: tuple
    mark: str = ""  # "", "ending" or "lapsed"
    changed: bool = False


class Table(NamedTuple):
    title: str
    columns: tuple
    right: tuple  # indexes of right-aligned columns
    rows: list
    hidden: int = 0  # rows left out for lack of room


def clean(text: str, width: Optional[int] = None) -> str:
    """``text`` with control characters escaped (``\\n``, ``\\x00``), cut to ``width``."""
    if not text.isprintable():
        text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
    if width is not None and len(text) > width:
        text = text[: width - 3] + "..."
    return text


def clock(stamp: int) -> str:
    return time.strftime("%H:%M:%S", time.gmtime(stamp))


def duration(seconds: int) -> str:
    if seconds < 60:
        return "%ds" % seconds
    if seconds < 3600:
        return "%dm%02ds" % divmod(seconds, 60)
    if seconds < 86400:
        return "%dh%02dm" % divmod(seconds // 60, 60)
    return "%dd%02dh" % divmod(seconds // 3600, 24)


def counted(number: int, noun: str) -> str:
    """``number`` and ``noun``, plural unless the number is 1: "1 agent", "2 mailboxes"."""
    if number == 1:
        return "1 " + noun
    return "%d %s%s" % (number, noun, "es" if noun.endswith(("s", "x")) else "s")


def headline(shot: Snapshot, where: str, selection: str = "") -> list:
    """Two lines: which group, where and when (and ``selection``, what a filter kept); then
    what it holds, counted: the agents as the agents table lists them, those with a status
    by status and those seen calling without one (never on the roster) apart."""
    statuses: Counter[str] = Counter(a.status for a in shot.agents)
    listed = _names(shot) if shot.mailboxes or shot.presence else shot.agents
    if len(listed) > len(shot.agents):
        statuses["without status"] = len(listed) - len(shot.agents)
    lapsed = sum(c.lapsed for c in shot.claims)
    ending = sum(not c.lapsed and c.seconds_left <= ENDING_SECONDS for c in shot.claims)
    return [
        "namespace %s on %s, %s UTC%s"
        % (
            clean(shot.namespace),
            where,
            time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(shot.now)),
            ", " + selection if selection else "",
        ),
        "%s (%s), %s (%d ending, %d lapsed), %s in %s, %s"
        % (
            counted(len(listed), "agent"),
            ", ".join("%d %s" % (n, s) for s, n in sorted(statuses.items())) or "none",
            counted(len(shot.claims), "claim"),
            ending,
            lapsed,
            counted(sum(m.length for m in shot.mailboxes), "message"),
            counted(len(shot.mailboxes), "mailbox"),
            counted(shot.log_length, "log event"),
        ),
    ]


def describe(event: LogEvent, width: Optional[int] = None) -> tuple:
    """(who, what) of a log event: the agent and its resource (and who revoked it), or
    sender -> recipient and the message ("*" for a broadcast); ids cut to ``width``,
    contents to CONTENT_WIDTH."""
    if event.event == "Revoked":
        return clean(event.agent or "", width), "%s, revoked by %s" % (
            clean(event.resource or "", width),
            clean(event.from_agent or "", width),
        )
    if event.from_agent is not None:
        to = event.to_agent if event.to_agent is not None else "*"
        return (
            "%s -> %s" % (clean(event.from_agent, width), clean(to, width)),
            clean(event.content or "", CONTENT_WIDTH),
        )
    return clean(event.agent or "", width), clean(event.resource or "", width)


def _urgency(claim, changed) -> int:
    """Lapsed claims first, then those ending, then those changed lately, then the rest."""
    if claim.lapsed:
        return 0
    if claim.seconds_left <= ENDING_SECONDS:
        return 1
    return 2 if ("claim", claim.resource) in changed else 3


def _claim_mark(claim) -> str:
    if claim.lapsed:
        return "lapsed"
    return "ending" if claim.seconds_left <= ENDING_SECONDS else ""


def _names(shot: Snapshot) -> list:
    """The agents the agents table lists: the roster, then the owners of mailboxes (none on
    Redis or SQLite) and the agents seen calling that are on neither."""
    names = [a.agent for a in shot.agents]
    if shot.mailboxes or shot.presence:
        known = set(names)
        for agent in [m.agent for m in shot.mailboxes] + [p.agent for p in shot.presence]:
            if agent not in known:
                known.add(agent)
                names.append(agent)
    return names


def _seen(view) -> tuple:
    """The LAST SEEN and WHERE cells of an agent's presence ("-" for an agent never seen)."""
    if view is None:
        return "-", "-"
    return duration(view.age) + " ago", clean("%s:%d" % (view.host, view.pid))


def _waiting_for(waiter, cell_width) -> str:
    if waiter.kind == "mail":
        return "mailbox of " + clean(waiter.key, cell_width)
    return clean(waiter.key, cell_width)


def tables(
    shot: Snapshot,
    *,
    urgent_first: bool = False,
    changed: frozenset = frozenset(),
    room: Optional[int] = None,
    cell_width: Optional[int] = None,
) -> list:
    """The agents, claims, waiting (only when a call waits) and log tables. Sorted by name,
    or with ``urgent_first`` by what needs a look: agents changed lately, then by fullest
    mailbox; claims lapsed, ending, changed lately, then by seconds left; waiting calls stay
    in their lines' order. The agents table has LAST SEEN and WHERE columns when the
    snapshot holds any agent's presence ("-" for an agent without), and lists the agents
    seen calling without a status too. Rows whose key is in ``changed`` are marked changed.
    ``room`` caps the rows of all the tables together (the live view's screen); each table
    keeps a fair share and the rest is counted as hidden, the log keeping its newest events.
    ``cell_width`` cuts ids and keys to that many characters."""
    held = Counter(c.holder for c in shot.claims)
    boxes = {m.agent: m for m in shot.mailboxes}
    statuses = {a.agent: a.status for a in shot.agents}
    seen = {p.agent: p for p in shot.presence}
    names = _names(shot)
    if urgent_first:
        names.sort(
            key=lambda n: (("agent", n) not in changed, -(boxes[n].length if n in boxes else 0), n)
        )
        claims = sorted(
            shot.claims, key=lambda c: (_urgency(c, changed), c.seconds_left, c.resource)
        )
    else:
        names.sort()
        claims = list(shot.claims)
    waiters = list(shot.waiters)
    log = list(shot.log)
    every_name = len(names)
    shares = _shares((len(names), len(claims), len(waiters), len(log)), room)
    names, claims, waiters = names[: shares[0]], claims[: shares[1]], waiters[: shares[2]]
    log = log[len(log) - shares[3] :] if shares[3] else []

    agent_rows = []
    for name in names:
        box = boxes.get(name)
        key = ("agent", name)
        cells = (
            clean(name, cell_width),
            statuses.get(name, "-"),
            str(held[name]) if held[name] else "",
            str(box.length) if box else "",
            duration(box.oldest_age) if box else "",
        )
        if seen:
            cells += _seen(seen.get(name))
        agent_rows.append(Row(key, cells, changed=key in changed))
    claim_rows = []
    for claim in claims:
        key = ("claim", claim.resource)
        claim_rows.append(
            Row(
                key,
                (
                    clean(claim.resource, cell_width),
                    clean(claim.holder, cell_width),
                    clock(claim.stamp),
                    duration(claim.age),
                    "lapsed" if claim.lapsed else duration(claim.seconds_left),
                ),
                _claim_mark(claim),
                key in changed,
            )
        )
    waiter_rows = []
    for waiter in waiters:
        waiting = ("waiter", waiter.kind, waiter.key, waiter.agent)
        waiter_rows.append(
            Row(
                waiting,
                (
                    _waiting_for(waiter, cell_width),
                    str(waiter.position) if waiter.position else "",
                    clean(waiter.agent, cell_width),
                    clock(waiter.since),
                    duration(shot.now - waiter.since if shot.now > waiter.since else 0),
                    "-" if waiter.pid is None else clean("%s:%d" % (waiter.host, waiter.pid)),
                ),
                changed=waiting in changed,
            )
        )
    log_rows = []
    for event in log:
        logged = ("event", event.id)
        who, what = describe(event, cell_width)
        log_rows.append(
            Row(logged, (clock(event.at), event.event, who, what), changed=logged in changed)
        )
    agent_columns = ("agent", "status", "claims", "mailbox", "oldest")
    shown = [
        Table(
            "Agents",
            agent_columns + (("last seen", "where") if seen else ()),
            (2, 3, 4, 5) if seen else (2, 3, 4),
            agent_rows,
            every_name - len(agent_rows),
        ),
        Table(
            "Claims",
            ("resource", "holder", "since", "age", "left"),
            (2, 3, 4),
            claim_rows,
            len(shot.claims) - len(claim_rows),
        ),
    ]
    if shot.waiters:
        shown.append(
            Table(
                "Waiting",
                ("waiting for", "#", "agent", "since", "waited", "where"),
                (1, 3, 4),
                waiter_rows,
                len(shot.waiters) - len(waiter_rows),
            )
        )
    shown.append(
        Table(
            "Log (last %d of %s)" % (len(log_rows), counted(shot.log_length, "event")),
            ("time", "event", "who", "what"),
            (),
            log_rows,
        )
    )
    return shown


def _shares(wanted, room):
    """How many rows each table gets out of ``room``: an equal share each, and what a table
    does not need goes to the others in order."""
    if room is None:
        return list(wanted)
    room = max(room, 0)
    shares = [0] * len(wanted)
    left = list(range(len(wanted)))
    while room > 0 and left:
        each = max(room // len(left), 1)
        for i in list(left):
            give = min(each, wanted[i] - shares[i], room)
            shares[i] += give
            room -= give
            if shares[i] == wanted[i]:
                left.remove(i)
            if room == 0:
                break
    return shares


# ---- plain text ----

_PLAIN_MARKS = {"lapsed": "x", "ending": "!"}


def _aligned(cells, widths, right, prefix=""):
    text = "  ".join(
        cell.rjust(w) if i in right else cell.ljust(w)
        for i, (cell, w) in enumerate(zip(cells, widths))
    )
    return (prefix + text).rstrip()


def _widths(table, width=None, prefix=0):
    """The width of each column: its widest cell, or, when the rows would be longer than
    ``width`` (``prefix`` characters of marks included), less for the text columns, the
    widest first, down to MIN_CELL characters (or their header's length)."""
    widths = [len(c) for c in table.columns]
    for row in table.rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row.cells)]
    if width is None:
        return widths
    room = width - prefix - 2 * (len(widths) - 1)
    if sum(widths) <= room:
        return widths
    text = [i for i in range(len(widths)) if i not in table.right]
    floors = {i: min(widths[i], max(len(table.columns[i]), MIN_CELL)) for i in text}

    def capped(cap):
        return [max(min(w, cap), floors[i]) if i in floors else w for i, w in enumerate(widths)]

    cap = max(widths[i] for i in text) if text else 0
    while cap > 0 and sum(capped(cap)) > room:
        cap -= 1
    return capped(cap)


def _cells(row, widths):
    """The row's cells cut to their column's width."""
    return tuple(cell if len(cell) <= w else clean(cell, w) for cell, w in zip(row.cells, widths))


def _title(table):
    hidden = " (%d more not shown)" % table.hidden if table.hidden else ""
    return "%s:%s%s" % (table.title, "" if table.rows else " none", hidden)


def plain_text(
    lines: list,
    tables_: list,
    *,
    marks: bool = False,
    changes: bool = False,
    width: Optional[int] = None,
):
    """The headline and the tables as aligned text. Each row starts with a column of marks:
    with ``changes``, ``*`` for a row changed lately; with ``marks``, ``!`` for a claim
    ending or ``x`` for a lapsed one. With ``width`` (a terminal's) the tables' rows are made
    to fit it (see ``_widths``), and whatever is still longer is cut to it."""
    out = list(lines)
    blank = (" " if changes else "") + (" " if marks else "")
    blank += " " if blank else ""
    for table in tables_:
        out.append("")
        out.append(_title(table))
        if not table.rows:
            continue
        widths = _widths(table, width, len(blank))
        out.append(_aligned(table.columns, widths, table.right, blank))
        for row in table.rows:
            prefix = blank
            if blank:
                prefix = ("*" if row.changed else " ") if changes else ""
                prefix += _PLAIN_MARKS.get(row.mark, " ") if marks else ""
                prefix += " "
            out.append(_aligned(_cells(row, widths), widths, table.right, prefix))
    if width is not None:
        out = [text[:width] for text in out]
    return "\n".join(out) + "\n"


# ---- rich ----

_RICH_STYLES = {"lapsed": "red", "ending": "yellow"}


def rich_view(
    lines: list,
    tables_: list,
    *,
    note: str = "",
    wrap: bool = True,
    width: Optional[int] = None,
):
    """The headline and the tables as one rich Text: titles and headers bold, a rule under
    each header, lapsed claims red, ending ones yellow, rows changed lately in reverse video;
    ``note`` (an error) in red below the headline. With ``width`` the tables' rows are made
    to fit it (see ``_widths``). Without ``wrap`` a line longer than the screen is cut with
    an ellipsis (the live view: one line per row, always); with it, folded.

    The columns are laid out here as in plain text, not by rich's Table, whose layout of
    every cell costs several times more than the rest of a redraw of the live view."""
    from rich.text import Text

    view = Text(no_wrap=not wrap, overflow="fold" if wrap else "ellipsis", end="")
    view.append(lines[0] + "\n", "bold")
    for line in lines[1:]:
        view.append(line + "\n")
    if note:
        view.append(note + "\n", "bold red")
    for table in tables_:
        view.append("\n" + _title(table) + "\n", "bold")
        if not table.rows:
            continue
        widths = _widths(table, width)
        view.append(_aligned(table.columns, widths, table.right) + "\n", "bold")
        view.append("\u2500" * (sum(widths) + 2 * len(widths) - 2) + "\n")
        for row in table.rows:
            style = _RICH_STYLES.get(row.mark, "")
            if row.changed:
                style = (style + " reverse").strip()
            view.append(_aligned(_cells(row, widths), widths, table.right) + "\n", style or None)
    return view
