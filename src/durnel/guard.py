"""``durnel guard``: file claims enforced where it matters, at commit time.

    durnel guard install [URL] [-n NAMESPACE] [--agent NAME]
    durnel guard check [URL] [-n NAMESPACE] [--agent NAME]

``install`` writes the git pre-commit hook of the repository of the working directory (where
``git rev-parse --git-path hooks`` says, so ``core.hooksPath`` is honoured). A pre-commit hook
already there that is not durnel's is kept as ``pre-commit.before-durnel`` and run first;
its refusal refuses the commit. Installing again rewrites durnel's hook (a new URL, say) and
keeps the chained one.

``check`` (what the hook runs) refuses the commit, exit code 1, when a file it adds, changes
or deletes is held by an unlapsed claim of another agent (``file:<path>`` with the path as
git shows it, relative to the repository's top, or as an absolute path), naming each file's
holder and the time left. The committing agent is ``$DURNEL_AGENT``, else the ``--agent``
given at install; without either every holder counts as another. Without a URL the group
is the one ``durnel mcp`` serves by default from the repository's top, the SQLite file
``.durnel/state.db`` there; where there is no such file nobody holds anything. A group that
cannot be read refuses the commit, saying why.

The override, for one commit: ``DURNEL_GUARD=off git commit ...`` (the chained hook still
runs); ``git commit --no-verify`` skips every hook.
"""

import os
import shlex
import stat
import subprocess
import sys

__all__ = ["add_command"]

HOOK = "pre-commit"
CHAINED = "pre-commit.before-durnel"
MARK = "# durnel guard:"
OVERRIDE = "DURNEL_GUARD"
AGENT_VARIABLE = "DURNEL_AGENT"

HOOK_TEMPLATE = """#!/bin/sh
%(mark)s refuses a commit touching a file that another agent holds an unlapsed claim on.
# Written by `durnel guard install`. Skip it for one commit: DURNEL_GUARD=off git commit ...
# A hook that was here before runs first: %(chained)s beside this file.
chained="$(dirname "$0")/%(chained)s"
if [ -x "$chained" ]; then "$chained" "$@" || exit $?; fi
[ "$DURNEL_GUARD" = off ] && exit 0
exec %(command)s
"""


def _git(*args, cwd=None) -> str:
    from .cli import Failure

    try:
        done = subprocess.run(["git", *args], capture_output=True, text=True, cwd=cwd)
    except OSError as error:
        raise Failure("cannot run git: %s" % error) from None
    if done.returncode != 0:
        raise Failure("git %s: %s" % (args[0], " ".join(done.stderr.split())))
    return done.stdout


def _default_url(top: str) -> str:
    return "sqlite:///" + os.path.join(top, ".durnel", "state.db")


def install(args) -> int:
    top = _git("rev-parse", "--show-toplevel").strip()
    hooks = os.path.abspath(_git("rev-parse", "--git-path", "hooks").strip())
    os.makedirs(hooks, exist_ok=True)
    hook, chained = os.path.join(hooks, HOOK), os.path.join(hooks, CHAINED)
    url = args.url or _default_url(top)
    command = [sys.executable, "-m", "durnel", "guard", "check", url, "-n", args.namespace]
    if args.agent is not None:
        command += ["--agent", args.agent]
    if os.path.lexists(hook) and not _ours(hook):
        if os.path.lexists(chained):
            from .cli import Failure

            raise Failure("both %s and %s exist already: nothing was changed" % (hook, chained))
        os.rename(hook, chained)
    text = HOOK_TEMPLATE % {
        "mark": MARK,
        "chained": CHAINED,
        "command": " ".join(shlex.quote(part) for part in command),
    }
    partial = hook + ".durnel-new"
    with open(partial, "w") as out:
        out.write(text)
    os.chmod(partial, os.stat(partial).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    os.replace(partial, hook)
    sys.stdout.write(
        "durnel guard: %s checks every commit against %s%s\n"
        % (hook, _shown(url), " (after %s)" % CHAINED if os.path.lexists(chained) else "")
    )
    return 0


def _ours(hook: str) -> bool:
    try:
        with open(hook, errors="replace") as source:
            return MARK in source.read(4096)
    except OSError:
        return False


def _shown(url):
    from .urls import redacted

    return redacted(url)


def _claims(url, namespace):
    """The stored claims of the group at ``url``, as durnel.snapshot lists them."""
    from . import engines
    from .cli import Failure
    from .errors import ClockError, ForeignDataError, MissingDependencyError
    from .snapshots import snapshot

    try:
        engine = engines.for_url(url)
        unreachable = tuple(engine.snapshot_reader().UNREACHABLE)
    except (MissingDependencyError, ValueError, TypeError) as error:
        raise Failure(str(error)) from None
    try:
        state = engine.connect_for_reading(url, namespace)
    except FileNotFoundError:
        return ()  # no group file yet: nobody holds anything
    except unreachable + (ValueError, TypeError, ForeignDataError, ClockError) as error:
        raise Failure("cannot read %s: %s" % (_shown(url), error)) from None
    with state:
        try:
            return snapshot(state).claims
        except unreachable + (TypeError, ForeignDataError, ClockError) as error:
            raise Failure("cannot read %s: %s" % (_shown(url), error)) from None


def check(args) -> int:
    from .cli import Failure

    top = _git("rev-parse", "--show-toplevel").strip()
    staged = _git("diff", "--cached", "--name-only", "--no-renames", "-z", cwd=top)
    paths = [p for p in staged.split("\0") if p]
    if not paths:
        return 0
    agent = os.environ.get(AGENT_VARIABLE) or args.agent
    url = args.url or _default_url(top)
    try:
        claims = _claims(url, args.namespace)
    except Failure as failure:
        raise Failure(
            "%s; nothing was committed (%s=off git commit ... commits without the check)"
            % (failure, OVERRIDE)
        ) from None
    held = {c.resource: c for c in claims if not c.lapsed and c.holder != agent}
    refused = []
    for path in paths:
        for key in ("file:" + path, "file:" + os.path.join(top, path)):
            claim = held.get(key)
            if claim is not None:
                left = "%dm%02ds" % divmod(claim.seconds_left, 60)
                refused.append("  %s: held by %s for %s more" % (path, claim.holder, left))
                break
    if not refused:
        return 0
    sys.stderr.write(
        "durnel guard: this commit touches %s that %s:\n%s\n"
        "Nothing was committed. Ask the holder, or wait until it is released; to commit anyway:"
        " %s=off git commit ...\n"
        % (
            "a file" if len(refused) == 1 else "files",
            "another agent holds" if agent is None else "agents other than %s hold" % agent,
            "\n".join(refused),
            OVERRIDE,
        )
    )
    return 1


def add_command(commands) -> None:
    """Adds ``guard`` to the durnel command's subparsers."""
    help_text = "Refuse git commits touching files that other agents hold (a pre-commit hook)."
    guard = commands.add_parser("guard", help=help_text, description=help_text)
    actions = guard.add_subparsers(dest="action", metavar="ACTION", required=True)
    for name, run, text in (
        ("install", install, "Write the pre-commit hook of this repository (chaining one there)."),
        ("check", check, "Check the staged files (what the hook runs); exit 1 to refuse."),
    ):
        sub = actions.add_parser(name, help=text, description=text)
        sub.add_argument(
            "url",
            metavar="URL",
            nargs="?",
            help="where the group lives (default: .durnel/state.db at the repository's top)",
        )
        sub.add_argument("-n", "--namespace", default="default", help="the group")
        sub.add_argument(
            "--agent",
            help="the committing agent, whose own claims never refuse (else $%s)" % AGENT_VARIABLE,
        )
        sub.set_defaults(run=run)
