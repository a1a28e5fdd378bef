"""The durnel command (``durnel`` or ``python -m durnel``): see a coordination group at work
from outside its agents, on the engines other processes can reach.

    durnel show URL [-n NAMESPACE] [--json] [--log-tail N] [--plain]
    durnel watch URL [-n NAMESPACE] [--interval SECONDS] [--plain]
    durnel log URL [-n NAMESPACE] [--tail N] [--follow] [--json]
    durnel mcp [URL] [--http [HOST:]PORT] ...      (durnel.mcp: the group as MCP tools)
    durnel guard install|check [URL] ...           (durnel.guard: a git pre-commit hook)

``show`` prints one snapshot (``durnel.snapshot``) as tables, or as JSON; ``watch`` redraws it
about once a second until Ctrl-C, marking what changed in the last seconds, claims near the
end of their lease and lapsed ones; ``log`` prints the end of the activity log and, with
``--follow``, every event as it is logged. Nothing here changes the group; ``mcp`` and
``guard`` serve it to assistants and check commits against it (see their modules).

Tables are drawn with rich (the ``cli`` extra) on a terminal, and as plain text when rich is
missing, the output is not a terminal, or ``--plain`` asks for it.

Exit codes: 0 done (``watch`` and ``log --follow``: stopped with Ctrl-C); 1 the group could not
be read (a bad URL, a server out of reach, a missing client library, data durnel did not
write), with one line on stderr saying why; 2 bad usage (argparse's own).
"""

import argparse
import json
import os
import shutil
import sys
import time
from typing import Optional

from . import urls
from .display import ENDING_SECONDS, describe, headline, plain_text, rich_view, tables
from .errors import ClockError, ForeignDataError, MissingDependencyError
from .snapshots import (
    DEFAULT_LOG_TAIL,
    as_json,
    event_json,
    follow_log,
    open_for_reading,
    reader_for_url,
    snapshot,
    unreachable_errors,
)

__all__ = ["main"]

CHANGED_SECONDS = 3.0  # how long the live view keeps a change marked
FOLLOW_BLOCK = 1.0  # seconds one blocking read of the log waits before it asks again
CLEAR_SCREEN = "\x1b[H\x1b[2J"
CELL_WIDTH = 40  # the live view cuts ids and keys to this many characters


class Failure(Exception):
    """What the command could not do, in one line for stderr; exit code 1."""


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


# ---- reading the group ----


class Group:
    """The coordination object of the URL and namespace given, opened for reading (a SQLite
    URL naming no file is refused, not made a file), and how it is named."""

    def __init__(self, args):
        self.where = urls.redacted(args.url)
        self.unreachable = ()
        try:
            reader = reader_for_url(args.url)
            self.unreachable = tuple(reader.UNREACHABLE) if reader is not None else ()
            self.state = open_for_reading(args.url, args.namespace)
        except (MissingDependencyError, ValueError, TypeError) as error:
            raise Failure(one_line(error)) from None
        except self.unreachable as error:
            raise Failure("cannot reach %s: %s" % (self.where, one_line(error))) from None
        except (ForeignDataError, ClockError) as error:
            raise Failure(one_line(error)) from None
        if reader is None:  # an engine with no reader: say why, as snapshot() would
            try:
                unreachable_errors(self.state)
            except TypeError as error:
                raise Failure(one_line(error)) from None

    def read(self, log_tail):
        try:
            return snapshot(self.state, log_tail=log_tail)
        except self.unreachable as error:
            raise Failure("cannot reach %s: %s" % (self.where, one_line(error))) from None
        except (ForeignDataError, ClockError, TypeError) as error:
            raise Failure(one_line(error)) from None

    def follow(self, after):
        try:
            return follow_log(self.state, after, FOLLOW_BLOCK)
        except self.unreachable as error:
            raise Failure("cannot reach %s: %s" % (self.where, one_line(error))) from None
        except ForeignDataError as error:
            raise Failure(one_line(error)) from None

    def close(self):
        close = getattr(self.state, "close", None)
        if close is not None:
            close()


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


# ---- show ----


def show(args) -> int:
    group = Group(args)
    try:
        shot = group.read(args.log_tail)
    finally:
        group.close()
    if args.json:
        json.dump(as_json(shot), sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    lines, views = headline(shot, group.where), tables(shot)
    console = rich_console(args)
    if console is None:
        sys.stdout.write(plain_text(lines, views))
    else:
        console.print(rich_view(lines, views))
    return 0


# ---- watch ----


class Changes:
    """Which rows changed in the last CHANGED_SECONDS: a new or restamped claim, an agent
    whose status, claims or mailbox changed, a new log event. The first snapshot changes
    nothing."""

    def __init__(self):
        self.previous = None
        self.since = {}

    @staticmethod
    def signatures(shot):
        held = {}
        for claim in shot.claims:
            held[claim.holder] = held.get(claim.holder, 0) + 1
        boxes = {m.agent: (m.length, m.oldest_sent_at) for m in shot.mailboxes}
        rows = {
            ("agent", a.agent): (a.status, held.get(a.agent, 0), boxes.get(a.agent))
            for a in shot.agents
        }
        rows.update((("claim", c.resource), (c.holder, c.stamp)) for c in shot.claims)
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


def watch(args) -> int:
    group = Group(args)
    try:
        console = rich_console(args)
        terminal = sys.stdout.isatty()
        # the live view fits one screen: ask for no more log events than could be shown
        shot = group.read(_room(console, terminal) or DEFAULT_LOG_TAIL)
        if console is not None:
            from rich.live import Live

            with Live(console=console, screen=True, auto_refresh=False) as live:
                _watch(args, group, shot, console, terminal, live)
        else:
            _watch(args, group, shot, None, terminal, None)
    except KeyboardInterrupt:
        return 0
    finally:
        group.close()
    return 0


def _room(console, terminal) -> Optional[int]:
    """Table rows that fit the screen: its height less two lines of headline, one for a note,
    and four of space, title, header and rule per table; None when the output is not a
    terminal. Lines are never wrapped in the live view."""
    if console is not None:
        return max(console.size.height - 15, 3)
    if terminal:
        return max(shutil.get_terminal_size().lines - 15, 3)
    return None


def _watch(args, group, shot, console, terminal, live):
    changes = Changes()
    note = ""
    tick = time.monotonic()
    while True:
        changed = changes.update(shot, time.monotonic())
        lines = headline(shot, group.where)
        room = _room(console, terminal)
        views = tables(shot, urgent_first=True, changed=changed, room=room, cell_width=CELL_WIDTH)
        if live is not None:
            live.update(rich_view(lines, views, note=note, wrap=False), refresh=True)
        else:
            text = plain_text(
                lines + ([note] if note else []),
                views,
                marks=True,
                width=shutil.get_terminal_size().columns if terminal else None,
            )
            sys.stdout.write((CLEAR_SCREEN if terminal else "\n") + text)
            sys.stdout.flush()
        tick += args.interval
        time.sleep(max(tick - time.monotonic(), 0))
        tick = max(tick, time.monotonic() - args.interval)  # a slow read does not pile up
        try:
            shot = group.read(room or DEFAULT_LOG_TAIL)
            note = ""
        except Failure as failure:  # the last good snapshot stays on screen
            note = "%s; still trying (Ctrl-C stops)" % failure


# ---- log ----

_EVENT_STYLES = {
    "Claimed": "green",
    "Released": "blue",
    "MessageSent": "magenta",
    "BroadcastSent": "cyan",
}


def log(args) -> int:
    group = Group(args)
    console = None if args.json else rich_console(args)

    def emit(event):
        if args.json:
            sys.stdout.write(json.dumps(event_json(event)) + "\n")
        else:
            stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(event.at))
            who, what = describe(event)
            if console is None:
                sys.stdout.write("%s  %-13s  %s  %s\n" % (stamp, event.event, who, what))
            else:
                from rich.text import Text

                console.print(
                    Text.assemble(
                        (stamp, "dim"),
                        "  ",
                        ("%-13s" % event.event, _EVENT_STYLES.get(event.event, "")),
                        "  %s  %s" % (who, what),
                    )
                )

    try:
        # one event more than shown, so that --follow knows where the log ends now
        shot = group.read(max(args.tail, 1))
        shown = shot.log[len(shot.log) - args.tail :] if args.tail else ()
        for event in shown:
            emit(event)
        sys.stdout.flush()
        if not args.follow:
            return 0
        after = shot.log[-1].id if shot.log else None
        while True:
            for event in group.follow(after):
                emit(event)
                after = event.id
            sys.stdout.flush()
    except KeyboardInterrupt:
        return 0
    finally:
        group.close()


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


def parser() -> argparse.ArgumentParser:
    schemes = ", ".join(s + "://" for s in urls.schemes())
    top = argparse.ArgumentParser(
        prog="durnel",
        description="See a coordination group at work: its agents, claims, mailboxes and "
        "activity log, read without changing anything.",
        epilog="Exit codes: 0 done, 1 the group could not be read (one line on stderr says "
        "why), 2 bad usage.",
    )
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, help_text, run):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("url", metavar="URL", help="where the group lives (%s)" % schemes)
        sub.add_argument(
            "-n",
            "--namespace",
            default="default",
            help="the coordination group (default: %(default)s)",
        )
        sub.set_defaults(run=run)
        return sub

    sub = command("show", "Print a snapshot of the group as tables.", show)
    sub.add_argument("--json", action="store_true", help="print it as JSON instead")
    sub.add_argument(
        "--log-tail",
        type=_count,
        default=DEFAULT_LOG_TAIL,
        metavar="N",
        help="log events to include (default: %(default)s)",
    )
    sub.add_argument("--plain", action="store_true", help="plain text even on a terminal")

    sub = command(
        "watch",
        "Redraw the snapshot until Ctrl-C, marking what changed in the last %d seconds, "
        "claims with %d seconds or less left and lapsed claims."
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
        "-f", "--follow", action="store_true", help="then print events as they are logged"
    )
    sub.add_argument("--json", action="store_true", help="one JSON object per event")
    sub.add_argument("--plain", action="store_true", help="plain text even on a terminal")

    from . import guard, mcp

    mcp.add_command(commands)
    guard.add_command(commands)
    return top


def main(argv=None) -> int:
    args = parser().parse_args(argv)
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
