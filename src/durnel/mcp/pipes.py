"""stdin and stdout as the event loop's own pipes, for the SDK's stdio transport.

The SDK reads and writes the standard streams through a worker thread per operation (a
dozen hand-offs per tool call, most of a tool call's cost over stdio). When both are pipes,
as they are for an assistant that launches the server, ``standard_pipes`` gives the
transport objects of the same interface that the event loop reads and writes directly.
Like the SDK, it moves the wire off descriptors 0 and 1 while serving (0 reads the null
device, 1 writes to stderr), so that a stray print cannot corrupt the protocol, and puts
them back afterwards. Anything else (a file, a terminal) returns None: the SDK's own way
serves those.
"""

import asyncio
import contextlib
import os
import stat

__all__ = ["standard_pipes"]


def _is_pipe(fd):
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


class _Lines:
    """The read side: ``async for line in it`` (text lines, as the SDK's reader iterates)."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self._reader = reader

    def __aiter__(self):
        return self

    async def __anext__(self) -> str:
        line = await self._reader.readline()
        if not line:
            raise StopAsyncIteration
        return line.decode("utf-8", errors="replace")


class _Writer:
    """The write side: ``await write(text)``, ``await flush()``."""

    def __init__(self, writer: asyncio.StreamWriter) -> None:
        self._writer = writer

    async def write(self, text: str) -> None:
        self._writer.write(text.encode("utf-8"))

    async def flush(self) -> None:
        await self._writer.drain()


@contextlib.asynccontextmanager
async def standard_pipes():
    """Yields (stdin, stdout) for ``mcp.server.stdio.stdio_server``, or None."""
    if not (_is_pipe(0) and _is_pipe(1)):
        yield None
        return
    loop = asyncio.get_running_loop()
    wire_in, wire_out = os.dup(0), os.dup(1)
    saved_in, saved_out = os.dup(0), os.dup(1)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(2, 1)
    os.close(null)
    transports: list[asyncio.BaseTransport] = []
    try:
        reader = asyncio.StreamReader(limit=2**26, loop=loop)
        transport, _ = await loop.connect_read_pipe(
            lambda: asyncio.StreamReaderProtocol(reader, loop=loop), os.fdopen(wire_in, "rb", 0)
        )
        transports.append(transport)
        writing, protocol = await loop.connect_write_pipe(
            asyncio.streams.FlowControlMixin, os.fdopen(wire_out, "wb", 0)
        )
        transports.append(writing)
        writer = asyncio.StreamWriter(writing, protocol, None, loop)
        yield _Lines(reader), _Writer(writer)
    finally:
        for opened in transports:
            opened.close()
        os.dup2(saved_in, 0)
        os.dup2(saved_out, 1)
        os.close(saved_in)
        os.close(saved_out)
