"""stdin and stdout as the event loop's own pipes: the message streams of ``durnel mcp``'s
stdio transport.

The SDK's stdio transport reads and writes the standard streams through a worker thread per
operation (a dozen hand-offs per tool call, most of a tool call's cost over stdio), and
passes every message through a task and a memory stream of its own each way. When both are
pipes, as they are for an assistant that launches the server, ``standard_pipes`` gives the
server message streams that the event loop reads and writes directly, in the task that
receives or sends: each incoming line is parsed as the SDK's transport parses it (a line
that is not a JSON-RPC message is handed on as the error, as there), and each outgoing
message is written whole as one line, so that messages never interleave. Like the SDK, it
moves the wire off descriptors 0 and 1 while serving (0 reads the null device, 1 writes to
stderr), so that a stray print cannot corrupt the protocol, and puts them back afterwards.
Anything else (a file, a terminal) returns None: the SDK's own transport serves those.
"""

import asyncio
import contextlib
import os
import stat

import anyio
import mcp_types
from mcp.shared.message import SessionMessage

__all__ = ["standard_pipes"]


def _is_pipe(fd):
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


class _Incoming:
    """The client's messages, one a line: ``async for message in it`` or ``receive()``.
    Cancelling a read loses nothing (the reader keeps a partial line buffered)."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self._reader = reader
        self._closed = False

    async def receive(self):
        if self._closed:
            raise anyio.ClosedResourceError
        line = await self._reader.readline()
        if not line:
            raise anyio.EndOfStream
        try:
            message = mcp_types.jsonrpc_message_adapter.validate_json(
                line.decode("utf-8", errors="replace"), by_name=False
            )
        except Exception as error:  # the SDK's transport hands the error on likewise
            return error
        return SessionMessage(message)

    def __aiter__(self):
        return self

    async def __anext__(self):
        try:
            return await self.receive()
        except anyio.EndOfStream:
            raise StopAsyncIteration from None

    async def aclose(self) -> None:
        self._closed = True

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()


class _Outgoing:
    """The server's messages, each dumped to one JSON line as the SDK's own transport does
    and handed to the pipe at once: the pipe's transport buffers whatever the pipe cannot
    take yet, and ``send`` waits only while that buffer is over its high-water mark. A
    message is whole in the buffer before ``send`` can be cancelled."""

    def __init__(self, writer: asyncio.StreamWriter) -> None:
        self._writer = writer
        self._closed = False
        self._draining = asyncio.Lock()  # some Pythons allow one drain at a time

    async def send(self, item) -> None:
        if self._closed:
            raise anyio.ClosedResourceError
        if self._writer.transport.is_closing():
            raise anyio.BrokenResourceError
        line = item.message.model_dump_json(by_alias=True, exclude_unset=True) + "\n"
        self._writer.write(line.encode("utf-8"))
        if self._writer.transport.get_write_buffer_size():
            async with self._draining:
                try:
                    await self._writer.drain()
                except ConnectionError as error:
                    raise anyio.BrokenResourceError from error

    async def aclose(self) -> None:
        self._closed = True

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()


@contextlib.asynccontextmanager
async def standard_pipes():
    """Yields (incoming, outgoing), the message streams to serve with, or None."""
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
        yield _Incoming(reader), _Outgoing(writer)
    finally:
        for opened in transports:
            opened.close()
        os.dup2(saved_in, 0)
        os.dup2(saved_out, 1)
        os.close(saved_in)
        os.close(saved_out)
