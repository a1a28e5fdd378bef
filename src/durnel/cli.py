"""The durnel command (``durnel`` or ``python -m durnel``): see a coordination group at work
from outside its agents, on the engines other processes can reach.

    durnel show URL [-n NAMESPACE] [--json] [--log-tail N] [--filter PREFIX] [--plain]
    durnel watch URL [-n NAMESPACE] [--interval SECONDS] [--json] [--log-tail N]
                 [--filter PREFIX] [--plain]
    durnel log URL [-n NAMESPACE] [--tail N] [--after ID] [--follow] [--json]
               [--filter PREFIX] [--plain]
    durnel namespaces URL [--json] [--plain]
    durnel revoke URL RESOURCE_KEY [-n NAMESPACE] [--by NAME]
    durnel drop URL -n NAMESPACE [--yes]
    durnel mcp [URL] [--http [HOST:]PORT] ...      (durnel.mcp: the group as MCP tools)
    durnel guard install|check [URL] ...           (durnel.guard: a git pre-commit hook)
    durnel --version
    (and -v, -vv or --log-level LEVEL, before or after a command: durnel's logs on stderr)

``show`` prints one snapshot (``durnel.snapshot``) as tables, or as JSON; ``watch`` redraws it
about once a second until ``q`` or Ctrl-C, marking what changed in the last seconds, claims
near the end of their lease and lapsed ones, and leaves the last picture on the terminal
(with ``--json``: one JSON document per picture, one per line); ``log`` prints the end of the
activity log and, with ``--follow``, every event as it is logged, from the event numbered
``--after`` on when given; ``namespaces`` counts every namespace of a file or server.
``--filter`` keeps what concerns some agents or resources (``durnel.filters`` says exactly
what). These change nothing. Two commands act on the group, through engine methods beyond
the contract: ``revoke`` frees one claim whoever holds it (its waiters are woken, the log
says who revoked it), ``drop`` deletes a whole namespace, after asking on a terminal or with
``--yes``; an engine without the method is named in the refusal. ``mcp`` and ``guard`` serve
the group to assistants and check commits against it (see their modules).

durnel logs what an operator wants to know through ``logging.getLogger("durnel")``, silent
unless asked: ``-v`` shows its info records on stderr, ``-vv`` its debug records too,
``--log-level LEVEL`` any level (``watch`` drawing on the terminal that stderr writes to
shows the last few under its headline instead).

Tables are drawn with rich (the ``cli`` extra) on a terminal, and as plain text when rich is
missing, the output is not a terminal, or ``--plain`` asks for it; on a terminal they are made
to fit its width. Every JSON document printed carries ``format`` (``snapshots.JSON_FORMAT``).

Exit codes: 0 done (``watch`` and ``log --follow``: stopped with ``q`` or Ctrl-C); 1 the group
could not be read or acted on (a bad URL, a server out of reach, a missing client library,
data durnel did not write, no claim to revoke, a drop not confirmed), with one line on
stderr saying why; 2 bad usage (argparse's own).
"""

import argparse
import contextlib
import dataclasses
import json
import logging
import os
import shutil
import socket
import sys
import time
from collections import deque
from typing import Optional

from . import engines, urls
from .display import (
    ENDING_SECONDS,
    Table,
    clean,
    counted,
    describe,
    headline,
    plain_text,
    rich_view,
    tables,
)
from .errors import ClockError, Error, ForeignDataError, MissingDependencyError
from .filters import Selection
from .keys import KeyReader
from .snapshots import (
    DEFAULT_LOG_TAIL,
    JSON_FORMAT,
    as_json,
    event_json,
    follow_log,
    namespaces,
    snapshot,
)

__all__ = ["main"]

CHANGED_SECONDS = 3.0  # how long the live view keeps a change marked
FOLLOW_BLOCK = 1.0  # seconds one blocking read of the log waits before it asks again
CLEAR_SCREEN = "\x1b[H\x1b[2J"
CELL_WIDTH = 40  # the live view cuts ids and keys to this many characters
# With --filter, the log is read again with four times as many events while fewer than asked
# for match, up to this many events (or the number asked for, if more).
FILTER_SCAN = 2000
QUIT_KEYS = ("q", "Q")
NAMES_SHOWN = 10  # namespaces named when the one asked for is empty


class Failure(Error):
    """What the command could not do, in one line for stderr; exit code 1."""


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


# ---- reading the group ----


class Group:
    """The coordination object of the URL and namespace given, opened as a reader opens it
    (a SQLite URL naming no file is refused, not made a file), and how it is named."""

    def __init__(self, args):
        self.where = urls.redacted(args.url)
        self.unreachable: tuple[type[BaseException], ...] = ()
        self.newest = None  # the number of the newest event the last read saw
        try:
            self.engine = engine = engines.for_url(args.url)
            self.unreachable = tuple(engine.snapshot_reader().UNREACHABLE)
            self.state = engine.connect_for_reading(args.url, args.namespace)
        except (MissingDependencyError, ValueError, TypeError) as error:
            raise Failure(one_line(error)) from None
        except self.unreachable as error:
            raise Failure("cannot reach %s: %s" % (self.where, one_line(error))) from None
        except (ForeignDataError, ClockError) as error:
            raise Failure(one_line(error)) from None

    def _reading(self, read, *args):
        try:
            return read(*args)
        except self.unreachable as error:
            raise Failure("cannot reach %s: %s" % (self.where, one_line(error))) from None
        except (ForeignDataError, ClockError, TypeError) as error:
            raise Failure(one_line(error)) from None

    def read(self, log_tail, selection: Optional[Selection] = None):
        """A snapshot with the last ``log_tail`` events; with ``selection``, what it keeps,
        the log read further back (see FILTER_SCAN) until ``log_tail`` events match."""
        shot = self._reading(lambda: snapshot(self.state, log_tail=log_tail))
        self.newest = shot.log[-1].id if shot.log else None
        if selection is None:
            return shot
        kept, read = selection.apply(shot), log_tail
        limit = max(FILTER_SCAN, log_tail)
        while len(kept.log) < log_tail and read < min(shot.log_length, limit):
            read = min(read * 4, limit)
            shot = self._reading(lambda: snapshot(self.state, log_tail=read))  # noqa: B023
            kept = selection.apply(shot)
        if len(kept.log) > log_tail:
            kept = dataclasses.replace(kept, log=kept.log[len(kept.log) - log_tail :])
        return kept

    def follow(self, after, block=FOLLOW_BLOCK):
        return self._reading(follow_log, self.state, after, block)

    def namespaces(self):
        return self._reading(namespaces, self.state)

    def method(self, name, doing):
        """The object's method ``name``, beyond the contract; a Failure saying that the engine
        cannot do ``doing`` when its objects have none."""
        method = getattr(self.state, name, None)
        if not callable(method):
            raise Failure("the %s engine cannot %s" % (self.engine.name, doing))
        return method

    def act(self, method, *args):
        """``method(*args)``; what the engine refuses (a bad key, no claim) is a Failure with
        the engine's own words."""
        try:
            return self._reading(method, *args)
        except (Error, ValueError, LookupError, RuntimeError) as error:
            raise Failure(one_line(error)) from None

    def close(self):
        self.state.close()


def rich_console(args):
    """A rich Console for a terminal, or None for plain text."""
    if args.plain:
        return None
    try:
        from rich.console import Console
    except ImportError:
        return None
    console = Console(highlight=False)
    return console if console.is_terminal else None


def terminal_width(console) -> Optional[int]:
    """The width to fit: the console's, or the terminal's for plain text on one; None when
    the output is not a terminal (piped output keeps its lines whole)."""
    if console is not None:
        return console.size.width
    if sys.stdout.isatty():
        return shutil.get_terminal_size().columns
    return None


def selection_of(args) -> Optional[Selection]:
    return Selection(args.filter) if args.filter else None


def print_view(console, lines, views, *, marks=True):
    if console is None:
        sys.stdout.write(plain_text(lines, views, marks=marks, width=terminal_width(None)))
    else:
        console.print(rich_view(lines, views, width=console.size.width))


def print_json(document, indent=None):
    json.dump({"format": JSON_FORMAT, **document}, sys.stdout, indent=indent)
    sys.stdout.write("\n")


# ---- show ----


def show(args) -> int:
    group = Group(args)
    selection = selection_of(args)
    try:
        shot = group.read(args.log_tail, selection)
        others = _others(group, shot) if selection is None else ()
    finally:
        group.close()
    note = _empty_note(shot, others)
    if args.json:
        print_json(as_json(shot), indent=2)
        if note:
            sys.stderr.write("durnel: %s\n" % note)
        return 0
    lines = headline(shot, group.where, selection.describe() if selection else "")
    print_view(rich_console(args), lines + ([note] if note else []), tables(shot))
    return 0


def _others(group, shot) -> tuple:
    """The other namespaces of the file or server when ``shot`` holds nothing, else ()."""
    if shot.agents or shot.claims or shot.mailboxes or shot.log_length or shot.presence:
        return ()
    try:
        return tuple(v.namespace for v in group.namespaces() if v.namespace != shot.namespace)
    except Failure:  # an engine that cannot list them, or data it cannot read: say nothing
        return ()


def _empty_note(shot, others) -> str:
    if not others:
        return ""
    named = ", ".join(others[:NAMES_SHOWN])
    if len(others) > NAMES_SHOWN:
        named += " and %d more" % (len(others) - NAMES_SHOWN)
    return "namespace %s holds nothing; %s here: %s (show one with -n NAMESPACE)" % (
        shot.namespace,
        "the other namespace" if len(others) == 1 else "the other namespaces",
        named,
    )


# ---- watch ----


class Changes:
    """Which rows changed in the last CHANGED_SECONDS: a new or restamped claim, an agent
    whose status, claims, mailbox or process (host and pid; not merely its last call)
    changed, a call that began waiting or moved up its line, a new log event. The first
    snapshot changes nothing."""

    def __init__(self):
        self.previous = None
        self.since = {}

    @staticmethod
    def signatures(shot):
        held: dict[str, int] = {}
        for claim in shot.claims:
            held[claim.holder] = held.get(claim.holder, 0) + 1
        boxes = {m.agent: (m.length, m.oldest_sent_at) for m in shot.mailboxes}
        where = {p.agent: (p.host, p.pid) for p in shot.presence}
        rows: dict[tuple, object] = {
            ("agent", a.agent): (a.status, held.get(a.agent, 0), boxes.get(a.agent))
            for a in shot.agents
        }
        for agent, process in where.items():
            rows[("agent", agent)] = rows.get(("agent", agent)), process
        rows.update((("claim", c.resource), (c.holder, c.stamp)) for c in shot.claims)
        rows.update(
            (("waiter", w.kind, w.key, w.agent), (w.position, w.since)) for w in shot.waiters
        )
        rows.update((("event", e.id), None) for e in shot.log)
        return rows

    def update(self, shot, now):
        current = self.signatures(shot)
        if self.previous is not None:
            previous = self.previous
            for key, value in current.items():
                if key not in previous or previous[key] != value:
                    self.since[key] = now
        self.previous = current
        self.since = {k: t for k, t in self.since.items() if now - t < CHANGED_SECONDS}
        return frozenset(self.since)


class Ticks:
    """The times of the pictures, ``interval`` apart, and the wait for the next one, which
    ``q`` ends early (then ``wait`` returns False)."""

    def __init__(self, interval, keys):
        self.interval = interval
        self.keys = keys
        self.tick = time.monotonic()

    def wait(self) -> bool:
        self.tick += self.interval
        while True:
            left = self.tick - time.monotonic()
            if left <= 0:
                break
            typed = self.keys.wait(left)
            if any(key in typed for key in QUIT_KEYS):
                return False
        self.tick = max(self.tick, time.monotonic() - self.interval)  # a slow read does not pile up
        return True


def watch(args) -> int:
    group = Group(args)
    selection = selection_of(args)
    keys = KeyReader()
    try:
        if args.json:
            _stream(args, group, selection, Ticks(args.interval, keys))
            return 0
        console = rich_console(args)
        terminal = sys.stdout.isatty()
        with _logs_in_picture(console is not None or terminal) as recent:
            # the live view fits one screen: ask for no more log events than could be shown
            shot = group.read(_room(console, terminal, recent) or args.log_tail, selection)
            ticks = Ticks(args.interval, keys)
            if console is None:
                _watch(args, group, selection, shot, (None, terminal, recent), ticks, None)
                return 0
            from rich.live import Live

            drawn: list = []  # the last picture, kept to be printed again
            screen = (console, terminal, recent)
            try:
                # stderr is left alone: durnel's records go to the picture or where it points
                live_view = Live(
                    console=console, screen=True, auto_refresh=False, redirect_stderr=False
                )
                with live_view as live:
                    _watch(args, group, selection, shot, screen, ticks, (live, drawn))
            finally:
                if drawn:  # the alternate screen is gone: the last picture stays on the terminal
                    # as it was drawn, a line too long cut (print would fold it otherwise)
                    console.print(drawn[-1], no_wrap=True, overflow="ellipsis", crop=True)
            return 0
    except KeyboardInterrupt:
        return 0
    finally:
        keys.close()
        group.close()


def _room(console, terminal, recent=None) -> Optional[int]:
    """Table rows that fit the screen: its height less two lines of headline, one for a note,
    the lines of durnel's records shown (``recent``), and four of space, title, header and
    rule for each of the three tables always shown (four more are taken when the waiting
    table is); None when the output is not a terminal. Lines are never wrapped in the live
    view."""
    kept = 15 + (recent.size if recent is not None else 0)
    if console is not None:
        return max(console.size.height - kept, 3)
    if terminal:
        return max(shutil.get_terminal_size().lines - kept, 3)
    return None


def _watch(args, group, selection, shot, screen, ticks, live):
    """Draws a picture per tick until ``q`` (returns) or Ctrl-C (KeyboardInterrupt). ``screen``
    is the rich console (None: plain text), whether the output is a terminal and the records
    kept for the picture (or None). With rich, ``live`` is the Live display and a list that
    keeps the last picture drawn."""
    console, terminal, recent = screen
    changes = Changes()
    note = ""
    described = selection.describe() if selection else ""
    while True:
        changed = changes.update(shot, time.monotonic())
        lines = headline(shot, group.where, described)
        lines += list(recent.lines) if recent is not None else []
        room = _room(console, terminal, recent)
        views = tables(
            shot,
            urgent_first=True,
            changed=changed,
            room=room if room is None or not shot.waiters else max(room - 4, 3),
            cell_width=CELL_WIDTH,
        )
        if live is not None:
            view = rich_view(lines, views, note=note, wrap=False, width=console.size.width)
            live[1][:] = [view]
            live[0].update(view, refresh=True)
        else:
            text = plain_text(
                lines + ([note] if note else []),
                views,
                marks=True,
                changes=True,
                width=shutil.get_terminal_size().columns if terminal else None,
            )
            sys.stdout.write((CLEAR_SCREEN if terminal else "\n") + text)
            sys.stdout.flush()
        if not ticks.wait():
            return
        try:
            shot = group.read(room or args.log_tail, selection)
            note = ""
        except Failure as failure:  # the last good snapshot stays on screen
            note = "%s; still trying (q or Ctrl-C stops)" % failure


def _stream(args, group, selection, ticks):
    """watch --json: one snapshot per tick as one line of JSON, until ``q`` or Ctrl-C. A
    first read that fails ends the command (exit 1); a later one is said once on stderr and
    the stream goes on when the group can be read again."""
    shot = group.read(args.log_tail, selection)
    failing = False
    while True:
        if shot is not None:
            print_json(as_json(shot))
            sys.stdout.flush()
        if not ticks.wait():
            return
        try:
            shot = group.read(args.log_tail, selection)
            failing = False
        except Failure as failure:
            shot = None
            if not failing:
                sys.stderr.write("durnel: %s; still trying\n" % failure)
                sys.stderr.flush()
            failing = True


# ---- log ----

_EVENT_STYLES = {
    "Claimed": "green",
    "Released": "blue",
    "MessageSent": "magenta",
    "BroadcastSent": "cyan",
    "Revoked": "red",
}


def log(args) -> int:
    group = Group(args)
    selection = selection_of(args)
    console = None if args.json else rich_console(args)
    width = None if args.json else terminal_width(console)

    def emit(event):
        if selection is not None and not selection.event(event):
            return
        if args.json:
            print_json(event_json(event))
            return
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(event.at))
        who, what = describe(event)
        if console is None:
            line = "%s  %-13s  %s  %s" % (stamp, event.event, who, what)
            sys.stdout.write((line[:width] if width else line) + "\n")
        else:
            from rich.text import Text

            console.print(
                Text.assemble(
                    (stamp, "dim"),
                    "  ",
                    ("%-13s" % event.event, _EVENT_STYLES.get(event.event, "")),
                    "  %s  %s" % (who, what),
                ),
                overflow="ellipsis",
                no_wrap=True,
            )

    try:
        if args.after is not None:
            after = args.after
        else:
            # one event more than shown, so that --follow knows where the log ends now
            shot = group.read(max(args.tail, 1), selection)
            for event in shot.log[len(shot.log) - args.tail :] if args.tail else ():
                emit(event)
            sys.stdout.flush()
            if not args.follow:
                return 0
            after = group.newest  # the last event read, matching the filter or not
        while True:
            events = group.follow(after, FOLLOW_BLOCK if args.follow else 0)
            for event in events:
                emit(event)
                after = event.id
            sys.stdout.flush()
            if not events and not args.follow:
                return 0
    except KeyboardInterrupt:
        return 0
    finally:
        group.close()


# ---- namespaces ----


def list_namespaces(args) -> int:
    group = Group(args)
    try:
        found = group.namespaces()
    finally:
        group.close()
    if args.json:
        print_json({"namespaces": [view._asdict() for view in found]}, indent=2)
        return 0
    table = Table(
        "Namespaces",
        ("namespace", "agents", "claims", "messages", "log events"),
        (1, 2, 3, 4),
        [_namespace_row(view) for view in found],
    )
    lines = ["%s on %s" % (counted(len(found), "namespace"), group.where)]
    print_view(rich_console(args), lines, [table], marks=False)
    return 0


def _namespace_row(view):
    from .display import Row

    return Row(("namespace", view.namespace), (clean(view.namespace), *map(str, view[1:])))


# ---- acting ----


def operator() -> str:
    """Who acts when --by is not given: the operator of this machine."""
    return "operator@" + socket.gethostname()


def revoke(args) -> int:
    group = Group(args)
    try:
        method = group.method("revoke", "revoke a claim")
        holder = group.act(method, args.resource_key, args.by)  # whose claim it was
    finally:
        group.close()
    sys.stdout.write(
        "revoked %s%s in namespace %s on %s, logged as revoked by %s\n"
        % (
            clean(args.resource_key),
            ", held by " + clean(holder) if isinstance(holder, str) else "",
            clean(args.namespace),
            group.where,
            clean(args.by),
        )
    )
    return 0


def drop(args) -> int:
    group = Group(args)
    try:
        method = group.method("delete_namespace", "delete a namespace")
        view = next((v for v in group.namespaces() if v.namespace == args.namespace), None)
        if view is None:
            raise Failure(
                "namespace %s holds nothing on %s: nothing to delete"
                % (clean(args.namespace), group.where)
            )
        what = "namespace %s (%s, %s, %s, %s)" % (
            clean(view.namespace),
            counted(view.agents, "agent"),
            counted(view.claims, "claim"),
            counted(view.messages, "message"),
            counted(view.log_events, "log event"),
        )
        if not args.yes:
            if not sys.stdin.isatty():
                raise Failure("not deleting %s: no terminal to ask on; pass --yes" % what)
            try:
                answer = input("delete %s? [y/N] " % what)
            except EOFError:
                answer = ""
            if answer.strip().lower() not in ("y", "yes"):
                raise Failure("nothing deleted")
        group.act(method)
    finally:
        group.close()
    sys.stdout.write("deleted %s on %s\n" % (what, group.where))
    return 0


# ---- logging ----


RECENT_LOGS = 3  # durnel's records shown under the live view's headline


class _Recent(logging.Handler):
    """Keeps the last ``size`` records, formatted, for the live view to show."""

    def __init__(self, formatter, size=RECENT_LOGS):
        super().__init__()
        self.setFormatter(formatter)
        self.size = size
        self.lines: deque = deque(maxlen=size)

    def emit(self, record):
        self.lines.append(self.format(record))


_shown: list = []  # the handler that show_logs added to durnel's logger, if any


@contextlib.contextmanager
def _logs_in_picture(drawn_on_terminal):
    """While a picture is redrawn on the terminal that stderr writes to as well, durnel's
    records shown are kept for the picture (its last RECENT_LOGS, under the headline)
    instead of being written between two redraws; yields the _Recent handler, else None."""
    if not (_shown and drawn_on_terminal and sys.stderr.isatty()):
        yield None
        return
    logger, handler = logging.getLogger("durnel"), _shown[0]
    recent = _Recent(handler.formatter)
    logger.removeHandler(handler)
    logger.addHandler(recent)
    try:
        yield recent
    finally:
        logger.removeHandler(recent)
        logger.addHandler(handler)


def _log_level(text):
    level = logging.getLevelName(text.upper())
    if not isinstance(level, int):
        raise argparse.ArgumentTypeError(
            "not a logging level: %r (debug, info, warning, error, critical)" % text
        )
    return level


def show_logs(args) -> None:
    """Shows durnel's log records of the level asked for (-v: info, -vv: debug) on stderr."""
    level = getattr(args, "log_level", None)
    if level is None:
        verbose = getattr(args, "verbose", 0)
        if not verbose:
            return
        level = logging.INFO if verbose == 1 else logging.DEBUG
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(
        logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s", "%H:%M:%S")
    )
    logger = logging.getLogger("durnel")
    for shown in _shown:  # main run again in one process: one handler, not two
        logger.removeHandler(shown)
    logger.addHandler(handler)
    logger.setLevel(level)
    _shown[:] = [handler]


def _logging_options(parser) -> None:
    # SUPPRESS: a command's parser must not reset what was given before the command
    parser.add_argument(
        "-v",
        "--verbose",
        action="count",
        default=argparse.SUPPRESS,
        help="show durnel's logs on stderr: -v its info records, -vv its debug records too",
    )
    parser.add_argument(
        "--log-level",
        type=_log_level,
        default=argparse.SUPPRESS,
        metavar="LEVEL",
        help="show durnel's log records of LEVEL and above on stderr (debug, info, warning, error)",
    )


# ---- arguments ----


def _positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text) from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be more than 0 seconds: %r" % text)
    return value


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more: %r" % text)
    return value


def _prefix(text):
    if not text:
        raise argparse.ArgumentTypeError("an empty prefix matches everything; leave it out")
    return text


def _who(text):
    if not text.strip():
        raise argparse.ArgumentTypeError("the log must name who revokes: give a name")
    return text


class _Version(argparse.Action):
    """--version, read only when asked (importlib.metadata costs more than the command's
    start)."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest, default=argparse.SUPPRESS, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from .version import package_version

        sys.stdout.write("durnel %s\n" % package_version())
        parser.exit()


FILTER_HELP = (
    "keep only what concerns agents or resources whose names start with PREFIX: claims whose "
    "holder or resource matches (a resource key whole, file:src/, or without its kind, src/), "
    "agents that match or hold such a claim, their mailboxes, log events naming a matching "
    "agent or resource; repeat it to keep what any matches"
)


def parser() -> argparse.ArgumentParser:
    schemes = ", ".join(s + "://" for engine in engines.engines() for s in engine.schemes)
    top = argparse.ArgumentParser(
        prog="durnel",
        description="See a coordination group at work: its agents, claims, waiting calls, "
        "mailboxes and activity log, read without changing anything; revoke a stuck claim or "
        "drop a namespace.",
        epilog="Exit codes: 0 done, 1 the group could not be read or acted on (one line on "
        "stderr says why), 2 bad usage.",
    )
    top.add_argument("--version", action=_Version, help="print durnel's version and exit")
    _logging_options(top)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, help_text, run, namespace="read"):
        """A command on a URL; ``namespace`` "read" (-n and --filter), "act" (-n),
        "required" (-n that must be given) or None (every namespace)."""
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("url", metavar="URL", help="where the group lives (%s)" % schemes)
        if namespace == "required":
            sub.add_argument("-n", "--namespace", required=True, help="the coordination group")
        elif namespace:
            sub.add_argument(
                "-n",
                "--namespace",
                default="default",
                help="the coordination group (default: %(default)s)",
            )
        else:  # every namespace of the file or server is read through the default one
            sub.set_defaults(namespace="default")
        if namespace == "read":
            sub.add_argument(
                "--filter", action="append", type=_prefix, metavar="PREFIX", help=FILTER_HELP
            )
        _logging_options(sub)
        sub.set_defaults(run=run)
        return sub

    def log_tail(sub, text):
        sub.add_argument(
            "--log-tail",
            type=_count,
            default=DEFAULT_LOG_TAIL,
            metavar="N",
            help="%s (default: %%(default)s)" % text,
        )

    sub = command("show", "Print a snapshot of the group as tables.", show)
    sub.add_argument("--json", action="store_true", help="print it as JSON instead")
    log_tail(sub, "log events to include")
    sub.add_argument("--plain", action="store_true", help="plain text even on a terminal")

    sub = command(
        "watch",
        "Redraw the snapshot until q or Ctrl-C, marking what changed in the last %d seconds, "
        "claims with %d seconds or less left and lapsed claims; the last picture stays."
        % (CHANGED_SECONDS, ENDING_SECONDS),
        watch,
    )
    sub.add_argument(
        "--interval",
        type=_positive_seconds,
        default=1.0,
        metavar="SECONDS",
        help="time between two snapshots (default: %(default)s)",
    )
    sub.add_argument(
        "--json", action="store_true", help="one JSON document per snapshot, one per line"
    )
    log_tail(sub, "log events per snapshot when the output is not a screen (with --json)")
    sub.add_argument("--plain", action="store_true", help="plain text even on a terminal")

    sub = command("log", "Print the end of the activity log, and follow it with --follow.", log)
    sub.add_argument(
        "--tail",
        type=_count,
        default=DEFAULT_LOG_TAIL,
        metavar="N",
        help="events to print first (default: %(default)s)",
    )
    sub.add_argument(
        "--after",
        type=_count,
        metavar="ID",
        help="print the events numbered after ID instead (an id that log --json printed): "
        "to resume where an earlier run stopped",
    )
    sub.add_argument(
        "-f", "--follow", action="store_true", help="then print events as they are logged"
    )
    sub.add_argument("--json", action="store_true", help="one JSON object per event")
    sub.add_argument("--plain", action="store_true", help="plain text even on a terminal")

    sub = command(
        "namespaces",
        "List the namespaces of a file or server with their counts.",
        list_namespaces,
        namespace=None,
    )
    sub.add_argument("--json", action="store_true", help="print them as JSON instead")
    sub.add_argument("--plain", action="store_true", help="plain text even on a terminal")

    sub = command(
        "revoke",
        "Free a claim whoever holds it, before its lease ends: its waiters are woken and the "
        "log names who revoked it. Exit 1 when there is no such claim.",
        revoke,
        namespace="act",
    )
    sub.add_argument(
        "resource_key", metavar="RESOURCE_KEY", help="the claim's key: file:PATH or task:ID"
    )
    sub.add_argument(
        "--by",
        type=_who,
        default=operator(),
        metavar="NAME",
        help="who revokes it, as the log will say (default: %(default)s)",
    )

    sub = command(
        "drop",
        "Delete one namespace: its agents, claims, mailboxes and log. Asks first on a "
        "terminal; elsewhere refuses without --yes.",
        drop,
        namespace="required",
    )
    sub.add_argument("--yes", action="store_true", help="delete without asking")

    from . import guard, mcp

    mcp.add_command(commands)
    guard.add_command(commands)
    return top


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    show_logs(args)
    try:
        return args.run(args)
    except Failure as failure:
        sys.stderr.write("durnel: %s\n" % failure)
        return 1
    except BrokenPipeError:
        # the reader went away (durnel log -f | head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
