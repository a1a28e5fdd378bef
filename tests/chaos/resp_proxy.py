"""A loopback TCP proxy of ours in front of a redis-server. It reads RESP well enough to tell
one request, and one reply, from the next, so that it can do on purpose what networks and
servers do by accident:

- lose a reply: the request is passed on and run, its reply is not passed back, and both
  sides of the connection are closed (the client sees the connection drop after its call
  ran); aimed at drains, only a reply that carries messages is lost; with ``hold``, the
  replies to the same bytes (its retries: the same request id) are lost too for that long,
  and with ``then`` the next request of the same session (its first argument) is then
  delayed by that long;
- delay a request: it is held back while the client times out and sends it again on a new
  connection, then sent late, on a connection of its own (right after the next request
  that touches its first key passes, as a late packet may arrive just after a newer one,
  or after ``hold`` at the latest), and its reply dropped;
- duplicate a request: its bytes are written twice in one write, so that the server runs
  the copies back to back, and the second reply is swallowed (TCP never duplicates, but a
  client library or a middlebox retrying on its own does);
- make a pub/sub connection go silent: its server side is closed, so the server forgets its
  subscriptions, while its client side stays open and nothing passes either way any more.

Faults are aimed at FCALLs of a function whose name ends with ``target`` (b"_drain": drains
and the looks of message waits), or at any FCALL, and may ask for a key containing ``key``.
``upstream`` can be changed (a failover): the connections to the old server are closed and
new ones go to the new one.
"""

import collections
import socket
import threading
import time

__all__ = ["RespProxy", "frame_end"]

_SCALAR = b"+-:_,#("
_BLOB = b"$!="
_AGGREGATE = b"*~>"
_PAIRS = b"%|"


def frame_end(buffer, position=0):
    """Where the RESP2/RESP3 value that starts at ``buffer[position]`` ends, or None while it
    is not all there."""
    line_end = buffer.find(b"\r\n", position)
    if line_end < 0:
        return None
    kind = buffer[position : position + 1]
    after = line_end + 2
    if kind in _SCALAR or not kind:
        return after
    count = int(buffer[position + 1 : line_end])
    if kind in _BLOB:
        end = after + count + 2 if count >= 0 else after
        return end if len(buffer) >= end else None
    if count < 0:
        return after
    for _ in range(count * 2 if kind in _PAIRS else count):
        after = frame_end(buffer, after)
        if after is None:
            return None
    if kind == b"|":  # an attribute comes before the reply it describes
        return frame_end(buffer, after)
    return after


def request_words(frame):
    """The arguments of a request (an array of bulk strings, as clients send them)."""
    words = []
    position = frame.find(b"\r\n") + 2
    while position < len(frame):
        line_end = frame.find(b"\r\n", position)
        size = int(frame[position + 1 : line_end])
        words.append(frame[line_end + 2 : line_end + 2 + size])
        position = line_end + 2 + size + 2
    return words


def request_keys(frame):
    """The keys of a FCALL request."""
    words = request_words(frame)
    return tuple(w.decode("utf-8", "replace") for w in words[3 : 3 + int(words[2])])


class Fault:
    """One armed fault: what it does, to which requests, and what it did."""

    def __init__(self, kind, target=b"", hold=0.0, key=b"", then=None):
        self.kind, self.target, self.hold, self.key, self.then = kind, target, hold, key, then
        self.frame = None  # the request it hit (a lost reply with hold: its retries too)
        self.until = None
        self.hits = 0
        self.fired_at = None
        self.keys = ()  # the keys of the request it hit first

    def matches(self, words):
        return (
            len(words) > 1
            and words[0].upper() == b"FCALL"
            and (not self.target or words[1].endswith(self.target))
            and (not self.key or any(self.key in word for word in words[3:]))
        )


class _Link:
    """One client connection and its connection to the server."""

    def __init__(self, proxy, client, upstream):
        self.proxy = proxy
        self.client = client
        self.server = upstream
        self.replies = collections.deque()  # per request passed on: pass, lose or swallow
        self.pubsub = False
        self.silent = False
        self.lock = threading.Lock()
        for pump in (self._requests, self._replies):
            threading.Thread(target=pump, daemon=True).start()

    def close(self):
        for end in (self.client, self.server):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()
        self.proxy.forget(self)

    def go_silent(self):
        """The server side closed, the client's left open and unanswered."""
        self.silent = True
        try:
            self.server.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _requests(self):
        pending = bytearray()
        try:
            while True:
                data = self.client.recv(65536)
                if not data:
                    break
                if self.silent:
                    continue
                pending += data
                out = bytearray()
                while not self.silent:
                    end = frame_end(pending)
                    if end is None:
                        break
                    frame = bytes(pending[:end])
                    del pending[:end]
                    out += self._request(frame)
                if out:
                    self.server.sendall(out)
        except (OSError, ValueError):
            pass
        self.close()  # the client is gone (a silent link too)

    def _request(self, frame):
        words = request_words(frame)
        if words and words[0].upper() in (b"SSUBSCRIBE", b"SUBSCRIBE", b"PSUBSCRIBE"):
            self.pubsub = True
        if self.pubsub:  # its replies are pushes, not one per request: passed on as they come
            if self.proxy.silence_due():
                self.go_silent()
                return b""
            return frame
        action, hold = self.proxy.take(frame, words)
        if action == "lose?":  # decided when its reply shows whether it carries a batch
            with self.lock:
                self.replies.append((action, hold, frame))
            return frame
        if action == "delay":  # the client will time out and retry elsewhere
            self.silent = True
            self.proxy.hold_back(frame, hold)
            return b""
        with self.lock:
            if action == "duplicate":
                self.replies.extend(("pass", "swallow"))
                return frame + frame
            self.replies.append(action)
        return frame

    def _replies(self):
        pending = bytearray()
        try:
            while True:
                data = self.server.recv(65536)
                if not data:
                    break
                if self.pubsub:
                    self.client.sendall(data)
                    continue
                pending += data
                out = bytearray()
                while True:
                    end = frame_end(pending)
                    if end is None:
                        break
                    frame = bytes(pending[:end])
                    del pending[:end]
                    with self.lock:
                        action = self.replies.popleft() if self.replies else "pass"
                    if type(action) is tuple:  # lose it if it carries a drained batch
                        _, fault, request = action
                        action = "lose" if self.proxy.fire(fault, request, frame) else "pass"
                    if action == "lose":
                        if out:
                            self.client.sendall(out)
                        raise ConnectionAbortedError
                    if action == "pass":
                        out += frame
                if out:
                    self.client.sendall(out)
        except (OSError, ValueError):
            pass
        if not self.silent:
            self.close()


class RespProxy:
    """The proxy: ``port`` is where clients connect; ``arm()`` and ``silence()`` inject."""

    def __init__(self, upstream):
        self.upstream = upstream
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(128)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._links = set()
        self._faults = []
        self._silence_next = False
        self.late = 0  # requests sent late
        self._held = []  # [request, first key, when it may go, threading.Event]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(("127.0.0.1", self.upstream), timeout=2)
                upstream.settimeout(None)
            except OSError:  # the server is down: the client sees the connection close
                client.close()
                continue
            with self._lock:
                self._links.add(_Link(self, client, upstream))

    def forget(self, link):
        with self._lock:
            self._links.discard(link)

    def arm(self, kind, target=b"", hold=0.0, key=b"", then=None):
        """Arms a fault ('lose', 'delay' or 'duplicate') for the next matching request."""
        fault = Fault(kind, target, hold, key, then)
        with self._lock:
            self._faults.append(fault)
        return fault

    def disarm(self):
        with self._lock:
            self._faults = []
            self._silence_next = False

    def silence(self):
        """Silences every pub/sub connection now; the next one to subscribe if there is none.
        Returns how many were silenced."""
        with self._lock:
            links = [link for link in self._links if link.pubsub and not link.silent]
            self._silence_next = not links
        for link in links:
            link.go_silent()
        return len(links)

    def silence_due(self):
        with self._lock:
            due, self._silence_next = self._silence_next, False
        return due

    def take(self, frame, words):
        """What to do with one request, and for how long: pass, lose (its reply), delay or
        duplicate."""
        now = time.monotonic()
        with self._lock:
            if words and words[0].upper() == b"FCALL":
                keys = request_keys(frame)
                for held in self._held:  # a request held back goes right after a newer one
                    if held[1] in keys and now >= held[2]:
                        held[3].set()
            for fault in list(self._faults):
                if fault.frame is not None:  # a lost reply's retries
                    if frame != fault.frame:
                        continue
                    if now < fault.until:
                        fault.hits += 1
                        return "lose", 0.0
                    self._faults.remove(fault)
                    if fault.then is not None:  # the first argument of a call: its session
                        session = words[3 + int(words[2])]
                        self._faults.append(Fault("delay", b"", fault.then, key=session))
                    return "pass", 0.0
                if not fault.matches(words):
                    continue
                if fault.kind == "lose" and fault.target == b"_drain":
                    return "lose?", fault
                fault.hits += 1
                fault.fired_at = now
                fault.keys = request_keys(frame)
                if fault.kind == "lose" and fault.hold > 0:
                    fault.frame, fault.until = frame, now + fault.hold
                else:
                    self._faults.remove(fault)
                return fault.kind, fault.hold
        return "pass", 0.0

    def fire(self, fault, request, reply):
        """Whether ``reply`` (to ``request``, which ``fault`` aims at) is to be lost: a drain's
        reply carrying messages (an array of more than its tag), while the fault is armed."""
        now = time.monotonic()
        with self._lock:
            if fault not in self._faults or fault.frame is not None:
                return False
            if not reply.startswith(b"*") or reply.startswith((b"*0\r\n", b"*1\r\n")):
                return False
            fault.hits += 1
            fault.fired_at = now
            fault.keys = request_keys(request)
            if fault.hold > 0:
                fault.frame, fault.until = request, now + fault.hold
            else:
                self._faults.remove(fault)
            return True

    def hold_back(self, frame, latest):
        """Sends ``frame`` later, on a connection of its own: once the client has timed out
        and sent it again (the socket timeout, SOCKET_TIMEOUT of engines.py, is 2 s), right
        after the next request that touches its first key, or ``latest`` seconds from now."""
        held = [frame, request_keys(frame)[0], time.monotonic() + 2.1, threading.Event()]
        with self._lock:
            self._held.append(held)

        def later():
            held[3].wait(latest)
            with self._lock:
                self._held.remove(held)
            time.sleep(0.05)  # the newer request runs first
            self.send_late(frame)

        threading.Thread(target=later, daemon=True).start()

    def send_late(self, frame):
        try:
            with socket.create_connection(("127.0.0.1", self.upstream), timeout=5) as late:
                late.sendall(frame)
                reply = bytearray()
                while frame_end(reply) is None:
                    data = late.recv(65536)
                    if not data:
                        break
                    reply += data
            self.late += 1
        except OSError:
            pass

    def switch(self, upstream):
        """Points the proxy at another server and drops every connection to the old one."""
        self.upstream = upstream
        with self._lock:
            links = list(self._links)
        for link in links:
            link.close()

    def close(self):
        self._listener.close()
        self.switch(self.upstream)
