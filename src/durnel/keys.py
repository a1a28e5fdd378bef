"""Keys pressed while ``durnel watch`` runs, so that ``q`` can stop it as Ctrl-C does.

``KeyReader`` puts the terminal of stdin in cbreak mode while it is open (keys arrive one by
one and are not echoed; Ctrl-C still interrupts) and restores the terminal's mode when it is
closed, whatever ends the command. ``wait(seconds)`` sleeps until that time has passed or a
key came, and returns what was typed ("" for nothing). Where stdin is no terminal (a pipe, a
file), or belongs to the foreground job of another process group (``durnel watch &``, which
must not stop on SIGTTOU), it only sleeps. On Windows it polls the console (msvcrt).
"""

import os
import sys
import time
from typing import Any

__all__ = ["KeyReader"]

POLL_SECONDS = 0.05  # how often the Windows console is asked for a key


class KeyReader:
    def __init__(self, stream=None):
        self._fd = None
        self._saved: Any = None  # the terminal's attributes, as termios gives them
        self._console = False
        stream = sys.stdin if stream is None else stream
        try:
            fd = stream.fileno()
            if not os.isatty(fd):
                return
        except (AttributeError, ValueError, OSError):  # closed, or no file behind it
            return
        if sys.platform == "win32":
            self._console = True
            return
        import termios
        import tty

        try:
            if os.tcgetpgrp(fd) != os.getpgrp():
                return
            self._saved = termios.tcgetattr(fd)
            tty.setcbreak(fd, termios.TCSANOW)
        except (OSError, termios.error):
            return
        self._fd = fd

    def wait(self, seconds: float) -> str:
        if self._console:
            return self._poll_console(seconds)
        if self._fd is None:
            time.sleep(max(seconds, 0))
            return ""
        import select

        ready, _, _ = select.select([self._fd], [], [], max(seconds, 0))
        if not ready:
            return ""
        try:
            return os.read(self._fd, 64).decode("utf-8", "replace")
        except OSError:
            return ""

    def _poll_console(self, seconds):
        if sys.platform != "win32":  # (a console is polled on Windows alone)
            return ""
        import msvcrt

        deadline = time.monotonic() + seconds
        while True:
            if msvcrt.kbhit():
                return msvcrt.getwch()
            left = deadline - time.monotonic()
            if left <= 0:
                return ""
            time.sleep(min(POLL_SECONDS, left))

    def close(self) -> None:
        if self._fd is not None:
            import termios

            try:
                termios.tcsetattr(self._fd, termios.TCSADRAIN, self._saved)
            except (OSError, termios.error):
                pass
            self._fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
