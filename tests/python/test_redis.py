"""What the Redis engine adds to the contract that every engine shares (test_claims,
test_mailboxes, test_arguments, test_model): connecting, one round trip per call, the log as a
Redis Stream, namespaces and their deletion, foreign data in a namespace, and the faults that
only a server has: replies lost after the server ran a call, requests that arrive late, a
drain whose session never comes back, a forked child, a server that is gone, one killed and
restarted with its append-only file, and a cluster slot resharded under load."""

import asyncio
import gc
import os
import signal
import subprocess
import sys
import threading
import time
import uuid
import weakref

import pytest

import durnel
import durnel_core

redis = pytest.importorskip("redis")
aioredis = pytest.importorskip("redis.asyncio")

from conftest import async_redis_factory  # noqa: E402
from durnel.redis import (  # noqa: E402
    AsyncRedisCoordinationState,
    ForeignDataError,
    RedisCoordinationState,
    StaleRequestError,
    key_pattern,
    methods,
)
from durnel.redis import calls as calls_module  # noqa: E402
from durnel.redis.liveness import ALIVE_TTL  # noqa: E402
from durnel.redis.session import Session  # noqa: E402
from durnel.redis.settling import SETTLER  # noqa: E402
from faketime_helpers import child_environment, set_clock  # noqa: E402
from redis_servers import RedisServer, ReplyDroppingProxy  # noqa: E402
from test_redis_waits import make, until  # noqa: E402, F401  (make: a fixture)


def namespace():
    return "t-" + uuid.uuid4().hex


# ---- connecting ----


def test_connect_picks_the_engine_from_the_url(redis_server):
    local = durnel.connect()
    assert type(local.native) is durnel_core.CoordinationState
    assert local.native is not durnel.connect().native
    remote = durnel.connect(redis_server.url, namespace="n1")
    assert isinstance(remote, RedisCoordinationState) and remote.namespace == "n1"
    assert remote.claim_task("A", "t") == "A"
    assert durnel.connect(redis_server.url, namespace="n1").status("A") == "busy"
    assert durnel.connect(redis_server.url, namespace="n2").status("A") == "idle"
    remote.close()


@pytest.mark.parametrize(
    "url",
    [
        "http://127.0.0.1:6379",
        "127.0.0.1:6379",
        "redis+x://h",
        "redis://:s3cret@127.0.0.1:notaport/0",
        "redis://[::1",
    ],
)
def test_bad_urls_raise_value_error_naming_them(url):
    with pytest.raises(ValueError) as info:
        durnel.connect(url)
    message = str(info.value)
    assert "s3cret" not in message
    assert url.replace("s3cret", "***") in message.replace("'", "")


def test_a_missing_client_library_names_the_extra_to_install(run_python):
    child = run_python(
        "import sys\n"
        "sys.modules['redis'] = None\n"  # as if redis-py were not installed
        "import durnel\n"
        "try:\n"
        "    durnel.connect('redis://127.0.0.1:1/0')\n"
        "except ModuleNotFoundError as error:\n"
        "    print(type(error).__name__, error.name, '|', error)\n"
    )
    assert child.stdout.strip() == (
        "MissingDependencyError redis | durnel's Redis engine needs the Python package 'redis', "
        'which is not installed: pip install "durnel_core[redis]"'
    ), child.stderr


@pytest.mark.parametrize(
    "option",
    [
        {"log_maxlen": 0},
        {"log_maxlen": 2**63},  # beyond what XADD takes: every write would fail after its effect
        {"replica_timeout": float("inf")},
        {"replica_timeout": float("nan")},
        {"replica_timeout": 1e20},  # beyond what WAIT takes
        {"replica_timeout": 0},
    ],
)
def test_options_redis_cannot_honour_raise_value_error_naming_them(option, redis_client):
    with pytest.raises(ValueError, match=next(iter(option))):
        RedisCoordinationState(redis_client, "n", replicas=1, **option)


@pytest.mark.parametrize("bad", ["", "a{b", "a}b", "{x}"])
def test_namespaces_must_be_usable_hash_tags(bad, redis_client):
    with pytest.raises(ValueError, match="namespace"):
        RedisCoordinationState(redis_client, bad)
    with pytest.raises(ValueError, match="namespace"):
        durnel.connect(namespace=bad)


# ---- one round trip, one slot, the log ----


def commandstats(client):
    return {name: info["calls"] for name, info in client.info("commandstats").items()}


class CountingConnection(redis.Connection):
    """Counts the commands the client sends: each one is a round trip."""

    sent = 0

    def send_command(self, *args, **kwargs):
        CountingConnection.sent += 1
        return super().send_command(*args, **kwargs)


def test_every_method_is_exactly_one_fcall(redis_server, redis_client):
    counted = redis.Redis(
        connection_pool=redis.ConnectionPool(
            port=redis_server.port, connection_class=CountingConnection
        )
    )
    state = RedisCoordinationState(counted, namespace())
    calls = [
        ("claim_file", ("A", "f")),
        ("claim_task", ("A", "t")),
        ("claim_file", ("B", "f")),
        ("renew_claim", ("A", "task:t")),
        ("release", ("A", "task:t")),
        ("send_message", ("A", "B", "x")),
        ("broadcast", ("A", "y")),
        ("inbox", ("B",)),
        ("drain_inbox", ("B",)),
        ("status", ("A",)),
    ]
    for name, args in calls:  # the first calls also load the library into the server
        try:
            getattr(state, name)(*args)
        except RuntimeError:
            pass
    for name, args in calls:
        before, sent = commandstats(redis_client), CountingConnection.sent
        try:
            getattr(state, name)(*args)
        except RuntimeError:
            pass
        after = commandstats(redis_client)
        assert CountingConnection.sent - sent == 1, name
        # Commands that the function runs inside the server count too; none is a round trip.
        delta = {k: after.get(k, 0) - before.get(k, 0) for k in after}
        assert delta["cmdstat_fcall"] == 1, name
        assert not any(
            delta.get(k) for k in ("cmdstat_function|load", "cmdstat_eval", "cmdstat_evalsha")
        ), name
    counted.close()


def test_all_keys_of_a_namespace_share_one_cluster_slot(cluster_client):
    name = namespace()
    state = RedisCoordinationState(cluster_client, name)
    state.claim_file("A", "f")
    state.send_message("A", "B", "m")
    state.broadcast("C", "b")
    state.drain_inbox("B")
    keys = list(cluster_client.scan_iter(match="durnel:{%s}:*" % name))
    assert len(keys) >= 6
    slots = {cluster_client.keyslot(k) for k in keys}
    assert slots == {cluster_client.keyslot("{%s}" % name)}


def test_a_slot_resharded_under_load_loses_and_doubles_nothing(redis_cluster):
    from redis.cluster import RedisCluster

    client = RedisCluster(host="127.0.0.1", port=redis_cluster.port)
    name = namespace()
    slot = client.keyslot("{%s}" % name)
    agents = ["agent-%d" % i for i in range(4)]
    setup = RedisCoordinationState(client, name)
    for agent in agents:  # everyone on the roster, so every broadcast reaches all of them
        setup.send_message("main", agent, "hello")
        setup.drain_inbox(agent)
    stop, errors = threading.Event(), []
    sent = {agent: {} for agent in agents}  # sender -> recipient ("*" too) -> count
    received = {agent: [] for agent in agents}

    def load(me):
        # A client per agent, as agents in processes have: redis-py's cluster client, shared by
        # threads, can close a connection that another thread is using when it refreshes its
        # view of the slots (a ValueError, not a ConnectionError).
        own = RedisCluster(host="127.0.0.1", port=redis_cluster.port)
        state = RedisCoordinationState(own, name)
        number = 0
        try:
            while not stop.is_set():
                number += 1
                to = agents[number % len(agents)] if number % 7 and me != agents[0] else "*"
                count = sent[me].get(to, 0)
                if to == "*":
                    state.broadcast(me, "%s|*|%d" % (me, count))
                else:
                    state.send_message(me, to, "%s|%s|%d" % (me, to, count))
                sent[me][to] = count + 1
                if number % 3 == 0:
                    received[me].extend(m[2] for m in state.drain_inbox(me))
                assert state.claim_task(me, "t-" + me) == me
                state.release(me, "task:t-" + me)
        except Exception as error:  # reported below
            errors.append(repr(error))
        finally:
            own.close()

    workers = [threading.Thread(target=load, args=(agent,)) for agent in agents]
    for worker in workers:
        worker.start()
    time.sleep(0.3)
    nodes = {node.port: redis.Redis(port=node.port) for node in redis_cluster.nodes}
    ids = {port: node.execute_command("CLUSTER", "MYID") for port, node in nodes.items()}
    source = client.nodes_manager.get_node_from_slot(slot).port
    target = next(port for port in nodes if port != source)
    nodes[target].execute_command("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[source])
    nodes[source].execute_command("CLUSTER", "SETSLOT", slot, "MIGRATING", ids[target])
    paused = False
    while True:
        keys = nodes[source].execute_command("CLUSTER", "GETKEYSINSLOT", slot, 1000)
        if not keys:
            break
        # One at a time, so that calls meet the slot half moved; inboxes last, after a
        # pause in which agent-0's broadcasts find every other key moved, but not the
        # inboxes, which the stalled drains leave full.
        for key in sorted(keys, key=lambda k: b":inbox:" in k):
            if b":inbox:" in key and not paused:
                paused = time.sleep(0.5) or True
            nodes[source].execute_command("MIGRATE", "127.0.0.1", target, key, 0, 5000)
            time.sleep(0.02)
    for node in nodes.values():
        node.execute_command("CLUSTER", "SETSLOT", slot, "NODE", ids[target])
    time.sleep(0.3)
    stop.set()
    for worker in workers:
        worker.join(60)
    assert errors == []
    for agent in agents:
        received[agent].extend(m[2] for m in setup.drain_inbox(agent))
    assert client.nodes_manager.get_node_from_slot(slot).port == target  # and it followed
    assert nodes[source].execute_command("CLUSTER", "COUNTKEYSINSLOT", slot) == 0
    for recipient in agents:
        for sender in agents:
            for to in (recipient, "*"):
                got = [c for c in received[recipient] if c.startswith("%s|%s|" % (sender, to))]
                expected = ["%s|%s|%d" % (sender, to, i) for i in range(sent[sender].get(to, 0))]
                assert got == expected, (sender, recipient, to)
    events = [f[b"event"] for _, f in client.xrange("durnel:{%s}:log" % name)]
    assert events.count(b"MessageSent") == len(agents) + sum(
        n for s in sent.values() for to, n in s.items() if to != "*"
    )
    assert events.count(b"BroadcastSent") == sum(s.get("*", 0) for s in sent.values())
    assert events.count(b"Claimed") == events.count(b"Released") > 0
    for node in nodes.values():
        node.close()
    client.close()


def test_the_log_is_a_stream_in_call_order(redis_client):
    name = namespace()
    state = RedisCoordinationState(redis_client, name)
    state.claim_file("A", "f")
    with pytest.raises(RuntimeError):
        state.claim_file("B", "f")
    state.renew_claim("A", "file:f")
    state.send_message("A", "B", "hi")
    state.broadcast("B", "all")
    state.release("A", "file:f")
    entries = redis_client.xrange("durnel:{%s}:log" % name)
    events = [{k.decode(): v.decode() for k, v in fields.items()} for _, fields in entries]
    assert all(abs(int(e.pop("at")) - time.time()) < 60 for e in events)
    assert events == [
        {"event": "Claimed", "agent": "A", "resource": "file:f"},
        {"event": "MessageSent", "from_agent": "A", "to_agent": "B", "content": "hi"},
        {"event": "BroadcastSent", "from_agent": "B", "content": "all"},
        {"event": "Released", "agent": "A", "resource": "file:f"},
    ]
    capped = RedisCoordinationState(redis_client, name, log_maxlen=10)
    for i in range(500):
        capped.send_message("A", "B", str(i))
    assert redis_client.xlen("durnel:{%s}:log" % name) < 500


def test_a_key_holding_foreign_data_is_named_and_nothing_changes(redis_client):
    name = namespace()
    state = RedisCoordinationState(redis_client, name)
    state.claim_file("A", "f")
    state.claim_task("B", "t")  # B is registered, so a broadcast reaches its inbox
    redis_client.set("durnel:{%s}:inbox:B" % name, "not a list")
    for call in (
        lambda: state.send_message("A", "B", "x"),
        lambda: state.broadcast("C", "x"),
        lambda: state.inbox("B"),
        lambda: state.drain_inbox("B"),
    ):
        with pytest.raises(ForeignDataError, match=r"durnel:\{%s\}:inbox:B" % name):
            call()
    assert state.status("C") == "idle"  # the refused broadcast registered nobody
    assert state.inbox("A") == [] and state.inbox("C") == []  # and left no copy anywhere
    assert redis_client.xlen("durnel:{%s}:log" % name) == 2
    redis_client.delete("durnel:{%s}:inbox:B" % name)
    redis_client.rpush("durnel:{%s}:inbox:B" % name, "garbage")
    with pytest.raises(ForeignDataError, match="inbox:B"):
        state.inbox("B")
    # A drain refused for one foreign element moves nothing, among them elements that a
    # lenient JSON reader takes and the engine's would not, or would read as a lone surrogate.
    inbox = "durnel:{%s}:inbox:B" % name
    redis_client.delete(inbox)
    good = state.send_message("A", "B", "good")
    for foreign in (
        b"garbage",
        *(b'[1,"a","%s"]' % text for text in (b"\xff", b"b\nc", b"\t", b"\xc0\x80")),
        *(b'[1,"a","%s"]' % text for text in (b"\xf4\x90\x80\x80", b"\xed\xa0\x80", b"\\ud800")),
        b'[01,"a","b"]',
    ):
        redis_client.rpush(inbox, '[1,"A","x"]', foreign)
        with pytest.raises(ForeignDataError, match=r"inbox:B': element 3 "):
            state.drain_inbox("B")
        assert redis_client.lrange(inbox, 0, -1) == [state_blob(good), b'[1,"A","x"]', foreign]
        assert not redis_client.exists("durnel:{%s}:inflight:B" % name)
        redis_client.ltrim(inbox, 0, 0)
    # So does one refused for a foreign batch in flight: the inbox keeps its messages.
    redis_client.hset("durnel:{%s}:inflight:B" % name, "s:1", "garbage")
    with pytest.raises(ForeignDataError, match=r"inflight:B': field s:1 is not a batch"):
        state.drain_inbox("B")
    assert redis_client.lrange(inbox, 0, -1) == [state_blob(good)]
    redis_client.delete("durnel:{%s}:inflight:B" % name)
    # A log that refuses an event (its last id the highest there is) refuses the call whole.
    log = "durnel:{%s}:log" % name
    redis_client.xadd(log, {"x": "y"}, id="18446744073709551615-18446744073709551615")
    for call in (
        lambda: state.send_message("A", "B", "x"),
        lambda: state.broadcast("A", "x"),
        lambda: state.claim_task("E", "u"),
    ):
        with pytest.raises(ForeignDataError, match=r"log': refused an event"):
            call()
    assert redis_client.lrange(inbox, 0, -1) == [state_blob(good)]
    assert state.status("E") == "idle" and not redis_client.hexists(claims_key(name), "task:u")
    redis_client.delete(log)
    # The presence hash: another type refuses a call whole; a record durnel did not write is
    # refused by the snapshot that reads it.
    presence = "durnel:{%s}:presence" % name
    redis_client.set(presence, "x")
    with pytest.raises(ForeignDataError, match=r"presence' holds a string"):
        RedisCoordinationState(redis_client, name).claim_task("E", "u")
    assert state.status("E") == "idle" and not redis_client.hexists(claims_key(name), "task:u")
    redis_client.delete(presence)
    for record in ("yesterday|1|0123456789abcdef|h", "1|1|0123456789ABCDEF|h", "1|1|01234567|h"):
        redis_client.hset(presence, "E", record)
        with pytest.raises(ForeignDataError, match="presence': field E is not a presence record"):
            durnel.snapshot(state)
    redis_client.delete(presence)
    # Only a stamp as durnel writes it is a claim: a non-negative decimal integer.
    claims = claims_key(name)
    for stamp in ("inf", "nan", "1e99", "0x10", " 5", "1.5", "-3", "007", "", "9" * 16):
        redis_client.hset(claims, "file:g", stamp + ":x")
        for call in (
            lambda: state.claim_file("A", "g"),
            lambda: state.renew_claim("x", "file:g"),
            lambda: state.release("x", "file:g"),
        ):
            with pytest.raises(
                ForeignDataError, match=r"^durnel key 'durnel:\{%s\}:claims': field file:g " % name
            ):
                call()
        assert redis_client.hget(claims, "file:g") == stamp.encode() + b":x"
    # Text that is not UTF-8 is foreign too, never a UnicodeDecodeError.
    redis_client.hset("durnel:{%s}:status" % name, "D", b"\xff")
    with pytest.raises(ForeignDataError, match="status"):
        state.status("D")
    redis_client.hset(claims, "file:h", b"%d:\xff" % int(redis_client.time()[0]))
    with pytest.raises(ForeignDataError, match="claims"):
        state.claim_file("A", "h")
    assert not issubclass(ForeignDataError, RuntimeError)  # never read as a refusal
    state.delete_namespace()  # a listing of the server's namespaces would refuse its text


def claims_key(name):
    return "durnel:{%s}:claims" % name


def state_blob(message):
    sender, _, content, sent_at = message
    return ('[%d,"%s","%s"]' % (sent_at, sender, content)).encode()


def test_delete_namespace_removes_one_group_and_no_other(redis_client):
    base = namespace()
    names = [base + suffix for suffix in ("", "*", "?", "[ab]", "a", "b", "\\", "]")]
    states = {name: RedisCoordinationState(redis_client, name) for name in names}
    for state in states.values():
        state.claim_file("A", "f")
        state.send_message("A", "B", "m")
        state.drain_inbox("B")
        state.status("B")

    def keys(name):
        return set(redis_client.scan_iter(match=key_pattern(name)))

    remaining = set(names)
    for victim in (base + "*", base + "?", base + "[ab]", base + "\\"):
        before = {name: keys(name) for name in remaining}
        assert len(before[victim]) >= 4
        assert states[victim].delete_namespace() == len(before[victim])
        remaining.discard(victim)
        assert keys(victim) == set()
        assert all(keys(name) == before[name] for name in remaining)
    assert all(states[name].status("A") == "busy" for name in remaining)


# ---- lost replies, lost servers ----


@pytest.fixture
def proxied(redis_server):
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    proxy = ReplyDroppingProxy(redis_server.port)
    client = redis.Redis(port=proxy.port, retry=Retry(NoBackoff(), 0))  # the engine retries
    yield proxy, client
    client.close()
    proxy.close()


def test_a_call_whose_reply_is_lost_takes_effect_once(proxied, redis_client):
    proxy, client = proxied
    name = namespace()
    state = RedisCoordinationState(client, name)
    direct = RedisCoordinationState(redis_client, name)
    state.status("warm-up")

    def lost(call):
        fcalls = commandstats(redis_client).get("cmdstat_fcall", 0)
        proxy.drop = 1
        result = call()
        assert proxy.drop == 0
        # The server ran the call twice (the first reply was lost); the second was a replay.
        assert commandstats(redis_client)["cmdstat_fcall"] - fcalls == 2
        return result

    assert lost(lambda: state.claim_file("A", "f")) == "A"
    assert direct.status("A") == "busy"
    assert lost(lambda: state.renew_claim("A", "file:f")) == "A"
    sent = lost(lambda: state.send_message("A", "B", "once"))
    assert direct.inbox("B") == [sent]
    cast = lost(lambda: state.broadcast("C", "all"))
    assert [m[2] for m in direct.inbox("B")] == ["once", "all"]
    assert [m[2] for m in direct.inbox("C")] == ["all"]
    assert lost(lambda: state.drain_inbox("B")) == [sent, ("C", "B", "all", cast[3])]
    assert direct.inbox("B") == [] and state.drain_inbox("B") == []
    assert lost(lambda: state.release("A", "file:f")) is None
    assert direct.status("A") == "idle"
    direct.claim_file("D", "g")
    assert lost(lambda: state.revoke("file:g", "ops")) == "D"  # not "no claim" the second time
    log = redis_client.xrange("durnel:{%s}:log" % name)
    assert [fields[b"event"] for _, fields in log] == [
        b"Claimed",
        b"MessageSent",
        b"BroadcastSent",
        b"Released",
        b"Claimed",
        b"Revoked",
    ]
    assert proxy.dropped == 7


def test_an_unreachable_server_raises_connection_error_after_bounded_retries(caplog):
    from redis_servers import free_port

    caplog.set_level("WARNING", logger="durnel.redis")

    state = RedisCoordinationState("redis://127.0.0.1:%d/0" % free_port(), "n", retries=3)
    started = time.monotonic()
    for call in (
        lambda: state.claim_file("A", "f"),
        lambda: state.drain_inbox("A"),
        lambda: state.status("A"),
    ):
        with pytest.raises(redis.exceptions.ConnectionError) as info:
            call()
        assert not isinstance(info.value, RuntimeError)
    assert time.monotonic() - started < 10
    assert [r.getMessage().split(":")[0] for r in caplog.records] == [
        "a call gave up after 3 retries"
    ] * 3


def test_a_drain_whose_reply_never_arrives_loses_nothing(proxied, redis_client):
    proxy, client = proxied
    name = namespace()
    state = RedisCoordinationState(client, name, retries=0)
    direct = RedisCoordinationState(redis_client, name)
    first = [direct.send_message("A", "B", str(i)) for i in range(3)]
    state.drain_inbox("warm-up")  # connected, library loaded: the next reply lost is the drain
    proxy.drop = 1
    with pytest.raises(redis.exceptions.ConnectionError):
        state.drain_inbox("B")  # ran on the server; its reply is gone and not retried
    later = direct.send_message("A", "B", "later")
    assert state.drain_inbox("B") == first + [later]
    assert state.drain_inbox("B") == []


def test_retries_that_arrive_late_keep_order_and_release_only_their_own_claim(redis_client):
    name = namespace()
    state = RedisCoordinationState(redis_client, name, visibility_timeout=1)
    other = RedisCoordinationState(redis_client, name, visibility_timeout=1)
    keys, options = state._keys, state._options
    # A hand-back whose reply was lost is sent again after the same agent, elsewhere and in
    # the same second, claimed the same task anew: that new claim is not the hand-back's.
    time.sleep(1.02 - time.time() % 1)
    session = Session(keys.prefix)
    claim = methods.claim(keys, options, session, calls_module.TASK, "ana", "t")
    state._run(session, claim)
    give_back = calls_module.abandon_claim(keys, options, session, claim)
    state._run(session, give_back)
    assert other.claim_task("ana", "t") == "ana"
    state._run(session, calls_module.retried(give_back))
    assert redis_client.hget(claims_key(name), "task:t").endswith(b":ana")
    assert other.renew_claim("ana", "task:t") and other.status("ana") == "busy"
    # A lost drain's retry after the timeout gets nothing and holds its batch [m1] back no
    # longer: the next drain takes it at once, with another lost drain's newer [m2], in order.
    first, second = Session(keys.prefix), Session(keys.prefix)
    other.send_message("x", "bo", "m1")
    drain = methods.drain(keys, options, first, "bo")
    state._run(first, drain)
    other.send_message("x", "bo", "m2")
    state._run(second, methods.drain(keys, options, second, "bo"))
    time.sleep(1.1)
    for late in (calls_module.retried(drain), drain):  # a retry, then a delayed first copy
        assert not calls_module.messages(state._run(first, late), "bo", None)
    assert [m[2] for m in other.drain_inbox("bo")] == ["m1", "m2"]


def test_an_interrupt_before_a_drain_returns_hands_its_batch_back(redis_client, monkeypatch):
    name = namespace()
    state, other = (
        RedisCoordinationState(redis_client, name),
        RedisCoordinationState(redis_client, name),
    )
    schedule = SETTLER.schedule
    armed = []

    def interrupted(*args):  # as if Ctrl-C came once the reply was read, before the return
        if armed:
            armed.pop()
            raise KeyboardInterrupt
        schedule(*args)

    monkeypatch.setattr(SETTLER, "schedule", interrupted)
    for call in (state.drain_inbox, lambda agent: state.wait_for_messages(agent, 5)):
        sent = other.send_message("A", "B", "m")
        armed.append(True)
        with pytest.raises(KeyboardInterrupt):
            call("B")
        assert other.drain_inbox("B") == [sent]


def test_a_server_gone_silent_holds_back_no_other_servers_settles(redis_server, redis_client):
    name = namespace()
    proxy = ReplyDroppingProxy(redis_server.port)
    stuck = RedisCoordinationState(proxy.url + "?socket_timeout=30", name)
    healthy = RedisCoordinationState(redis_server.url, name)
    for state, agent in ((stuck, "S"), (healthy, "H")):
        healthy.send_message("A", agent, "m")
        assert state.drain_inbox(agent)  # the settler settles it a second later
        if state is stuck:
            proxy.hold()  # the stuck one's settle goes first, and hangs
    until(lambda: not redis_client.exists("durnel:{%s}:inflight:H" % name), 10)
    assert redis_client.exists("durnel:{%s}:inflight:S" % name)
    proxy.release()
    until(lambda: not redis_client.exists("durnel:{%s}:inflight:S" % name), 10)
    proxy.close()
    # Once settled, the settler holds nothing of a dropped object: its client is closed.
    client = weakref.ref(healthy.client)
    del healthy, state
    until(lambda: gc.collect() is not None and client() is None, 10)


def test_a_settle_that_cannot_get_through_gives_up_before_the_batch_lapses(redis_server):
    # Every reply lost: without a deadline, 20 retries would back off for about 17 s.
    proxy, name = ReplyDroppingProxy(redis_server.port), namespace()
    url, options = proxy.url + "?socket_timeout=1", dict(visibility_timeout=2, retries=20)
    RedisCoordinationState(redis_server.url, name).send_message("A", "B", "m")

    async def drain_then_settle():
        state = AsyncRedisCoordinationState(url, name, **options)  # made in its loop (3.9)
        assert await state.drain_inbox("B")
        proxy.drop = 1000
        try:
            await state.settle()
        finally:
            proxy.drop = 0
            await state.aclose()  # settles

    for twin in (RedisCoordinationState, AsyncRedisCoordinationState):
        delivered = time.monotonic()
        with pytest.raises(redis.exceptions.ConnectionError):
            if twin is RedisCoordinationState:
                state = twin(url, name, **options)
                assert state.drain_inbox("B")
                proxy.drop = 1000
                state.settle()
            else:
                asyncio.run(drain_then_settle())
        # the last attempt starts by 1.5 s after the delivery and lasts the socket timeout
        assert time.monotonic() - delivered < 4.5
        proxy.drop = 0
        if twin is RedisCoordinationState:
            state.close()  # settles
            RedisCoordinationState(redis_server.url, name).send_message("A", "B", "m")
    proxy.close()


class Recorder:
    """Keeps every call that an engine sends, so that a test can send one again later, as a
    delayed packet or a retry that was overtaken would arrive."""

    def __init__(self, state):
        self.calls = []
        self.send = state._run

        def recording(session, call):
            self.calls.append((session, call))
            return self.send(session, call)

        state._run = recording

    def again(self, index):
        return calls_module.tag(self.send(*self.calls[index]))


def test_a_request_older_than_its_sessions_latest_runs_nothing(redis_client):
    name = namespace()
    state = RedisCoordinationState(redis_client, name)
    sent = Recorder(state)
    state.claim_file("A", "f")
    state.send_message("A", "B", "once")
    assert len(state.drain_inbox("B")) == 1
    state.release("A", "file:f")
    later = state.send_message("C", "B", "later")
    for late in (0, 1, 2):  # the claim, the send, the drain, arriving after later calls
        assert sent.again(late) == "z"
    assert state.status("A") == "idle" and state.inbox("B") == [later]
    with pytest.raises(RuntimeError, match="^no claim found for A$"):
        state.release("A", "file:f")
    assert redis_client.xlen("durnel:{%s}:log" % name) == 4
    assert sent.again(-1) == "n"  # the latest request again gets its first reply
    with pytest.raises(StaleRequestError):
        calls_module.outcome([b"z"])


def test_a_lost_drain_comes_back_after_the_visibility_timeout(clocked_redis_server):
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    clock = clocked_redis_server.clock_file
    set_clock(clock, 1000)
    proxy = ReplyDroppingProxy(clocked_redis_server.port)
    lossy = redis.Redis(port=proxy.port, retry=Retry(NoBackoff(), 0))
    direct = redis.Redis(port=clocked_redis_server.port)
    name = namespace()
    lost = RedisCoordinationState(lossy, name, retries=0, visibility_timeout=30)
    sent = Recorder(lost)
    other = RedisCoordinationState(direct, name, visibility_timeout=30)
    first = [other.send_message("A", "B", str(i)) for i in range(3)]
    lost.drain_inbox("warm-up")  # connected, library loaded: the next reply lost is the drain
    proxy.drop = 1
    with pytest.raises(redis.exceptions.ConnectionError):
        lost.drain_inbox("B")  # ran; its reply is gone and its session never comes back
    later = other.send_message("A", "B", "later")
    assert other.inbox("B") == [later]  # the batch is in flight: neither shown nor taken
    assert other.drain_inbox("B") == [later]
    set_clock(clock, 1029)
    assert other.inbox("B") == [] and other.drain_inbox("B") == []
    set_clock(clock, 1030)
    assert other.inbox("B") == first  # back in front, in order
    newest = other.send_message("A", "B", "newest")
    assert other.drain_inbox("B") == first + [newest]
    assert sent.again(-1) in "df" and other.inbox("B") == []  # the late retry: no message
    # A drain whose reply arrived is settled by its session's next call, by close(), or by
    # the background settler a second later when the session makes no call at all.
    inflight = "durnel:{%s}:inflight:B" % name
    for when, settle in ((1100, "status"), (1200, "close"), (1300, "idle")):
        taker = RedisCoordinationState(direct, name, visibility_timeout=30)
        delivered = other.send_message("A", "B", settle)
        assert taker.drain_inbox("B") == [delivered]
        if settle == "status":
            taker.status("B")
        elif settle == "close":
            taker.close()
        deadline = time.monotonic() + 20
        while direct.hlen(inflight) and time.monotonic() < deadline:
            time.sleep(0.05)
        set_clock(clock, when)
        assert other.inbox("B") == [] and other.drain_inbox("B") == []
    # A drain with nothing to deliver writes nothing (but its agent's presence, at most once
    # a second per object).
    assert other.drain_inbox("nobody") == []
    changes = direct.info("persistence")["rdb_changes_since_last_save"]
    assert other.drain_inbox("B") == [] and other.drain_inbox("nobody") == []
    assert direct.info("persistence")["rdb_changes_since_last_save"] == changes
    # A retry within the timeout gets its batch; one after it gets nothing and leaves the
    # batch to the next drain: one place at a time, and no retry holds it back longer.
    again = other.send_message("A", "B", "again")
    proxy.drop = 1
    with pytest.raises(redis.exceptions.ConnectionError):
        lost.drain_inbox("B")
    set_clock(clock, 1329)
    assert len(sent.send(*sent.calls[-1])) == 2  # the tag and the batch
    set_clock(clock, 1331)
    assert sent.send(*sent.calls[-1]) == [b"d"]
    assert other.drain_inbox("B") == [again]
    set_clock(clock, 1000)
    for client in (lossy, direct):
        client.close()
    proxy.close()


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
@pytest.mark.parametrize("passed_in", [False, True])
def test_a_delayed_copy_of_an_empty_drain_runs_nothing(make, redis_server, passed_in):  # noqa: F811
    proxy = ReplyDroppingProxy(redis_server.port)
    lossy, other = make(url=proxy.url + "?socket_timeout=0.5", retries=1), make()
    if passed_in:  # a client of the caller's, which redis-py makes to retry on its own
        lossy = make(client=lambda r: r.Redis(port=proxy.port, socket_timeout=0.5), retries=1)
    assert lossy.drain_inbox("B") == []  # connected, library loaded
    proxy.hold()  # the first attempt is delayed; its retry finds nothing
    assert lossy.drain_inbox("B") == []
    sent = other.send_message("A", "B", "m")
    proxy.release()  # the first attempt arrives now, and must not take what came since
    assert other.inbox("B") == [sent]
    proxy.close()


CHILD_DRAINS = r"""
import asyncio, sys
import redis, redis.asyncio, redis.cluster
from durnel.redis import AsyncRedisCoordinationState, RedisCoordinationState
engine, port, name, HOST = sys.argv[1], int(sys.argv[2]), sys.argv[3], "127.0.0.1"
if engine.startswith("aio-"):
    async def main():  # returns without aclose(): asyncio.run ends the loop
        kind = redis.asyncio.cluster.RedisCluster if "cluster" in engine else redis.asyncio.Redis
        state = AsyncRedisCoordinationState(kind(host=HOST, port=port), name)
        assert await state.drain_inbox("B")
    asyncio.run(main())
else:
    client = (redis.cluster.RedisCluster if "cluster" in engine else redis.Redis)(HOST, port)
    assert RedisCoordinationState(client, name).drain_inbox("B")
"""


@pytest.mark.waits
@pytest.mark.redis_only
def test_a_delivered_batch_is_settled_whatever_becomes_of_its_object(engine, make, request):  # noqa: F811
    sender, name = make(), make.namespace
    inflight = "durnel:{%s}:inflight:B" % name

    def settled():
        return make.direct.hlen(inflight) == 0

    if engine.startswith("aio-"):
        new = async_redis_factory(engine, request, name)

        async def drain_then_nothing():
            state = new()
            assert await state.drain_inbox("B")
            deadline = time.monotonic() + 20  # the loop runs, the object is kept: it settles
            while not settled():
                assert time.monotonic() < deadline
                await asyncio.sleep(0.05)

        async def drain_and_drop():
            assert await new().drain_inbox("B")

        sender.send_message("A", "B", "kept")
        asyncio.run(drain_then_nothing())
        sender.send_message("A", "B", "loop closed")
        loop = asyncio.new_event_loop()
        loop.run_until_complete(drain_and_drop())
        loop.close()
    else:
        sender.send_message("A", "B", "dropped")
        assert RedisCoordinationState(make.direct, name).drain_inbox("B")
        gc.collect()
    until(settled)
    sender.send_message("A", "B", "exit")  # the interpreter ends right after the drain
    server = request.getfixturevalue("redis_cluster" if "cluster" in engine else "redis_server")
    child = subprocess.run(
        [sys.executable, "-c", CHILD_DRAINS, engine, str(server.port), name],
        env=child_environment(),
        timeout=60,
    )
    assert child.returncode == 0 and settled()


@pytest.mark.waits
@pytest.mark.redis_only
def test_a_short_visibility_timeout_is_settled_within_it_when_the_loop_stops(
    engine,
    make,  # noqa: F811
    request,
):
    sender, name = make(), make.namespace
    sender.send_message("A", "B", "once")
    if engine.startswith("aio-"):  # the loop that drained stops and is never run again
        new = async_redis_factory(engine, request, name, visibility_timeout=2)

        async def drain():
            state = new()
            assert await state.drain_inbox("B")
            return state

        loop = asyncio.new_event_loop()
        state = loop.run_until_complete(drain())  # kept, its loop left as it is
    else:
        state = make(visibility_timeout=2)
        assert state.drain_inbox("B")
    time.sleep(2.5)  # past the visibility timeout: settled before it, it never comes back
    assert make().drain_inbox("B") == []


# Forking while other threads run (the settler, earlier tests' proxies) is what this test is
# about: the engine resets its locks in the child (os.register_at_fork).
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_has_a_session_of_its_own(redis_client):
    state = RedisCoordinationState(redis_client, namespace())
    state.send_message("parent", "box", "before")
    parent_id = state.object_id
    child = os.fork()
    if child == 0:  # pragma: no cover - the child reports through its exit status
        code = 1
        try:
            state.send_message("child", "box", "child")
            code = 0 if state.object_id not in (parent_id, None) else 2
        finally:
            os._exit(code)
    state.send_message("parent", "box", "parent")
    assert os.waitpid(child, 0)[1] == 0
    assert sorted(m[2] for m in state.drain_inbox("box")) == ["before", "child", "parent"]
    seen = {p.agent: p for p in durnel.snapshot(state).presence}
    assert seen["parent"].object_id == parent_id == state.object_id
    assert seen["child"].object_id != parent_id and seen["child"].pid == child


def test_ephemeral_claims_die_with_their_process_and_outlive_a_pause(
    redis_server, redis_client, caplog
):
    caplog.set_level("INFO", logger="durnel.redis")
    name = namespace()
    holders = {}
    for task, query in (("t", "?ephemeral_claims=1"), ("u", "")):
        holders[task] = subprocess.Popen(
            [sys.executable, "-c", HOLDER, redis_server.url + query, name, task],
            stdout=subprocess.PIPE,
            text=True,
        )
    state = RedisCoordinationState(redis_client, name)
    try:
        for child in holders.values():
            assert child.stdout.readline() == "held\n"
            os.kill(child.pid, signal.SIGSTOP)
        time.sleep(3)  # well within ALIVE_TTL: a paused holder keeps its claims
        for task in ("t", "u"):
            with pytest.raises(RuntimeError, match="already holds"):
                state.claim_task("b", task)
            os.kill(holders[task].pid, signal.SIGKILL)
        killed = time.monotonic()
        assert state.wait_claim_task("b", "t", timeout=ALIVE_TTL + 30) == "b"
        assert time.monotonic() - killed < ALIVE_TTL + 5
        assert caplog.records[-1].getMessage() == (
            "b took over task:t from holder, whose object stopped keeping its claims alive"
        )
        with pytest.raises(RuntimeError, match="already holds"):  # for its lease
            state.claim_task("b", "u")
        assert [c.lapsed for c in durnel.snapshot(state).claims] == [False, False]
    finally:
        for child in holders.values():
            child.kill()
            child.wait()

    async def closed_at_once():
        ephemeral = AsyncRedisCoordinationState(redis_server.url, name, ephemeral_claims=True)
        await ephemeral.claim_task("c", "v")
        await ephemeral.claim_task("c", "w")  # and the asyncio twin revokes
        assert await ephemeral.revoke("task:w", "ops") == "c"
        shown = durnel.snapshot(state).claims[-1]
        await ephemeral.aclose()
        return shown

    shown = asyncio.run(closed_at_once())  # (before the close: held)
    assert (shown.resource, shown.holder, shown.lapsed) == ("task:v", "c", False)
    assert durnel.snapshot(state).claims[-1].lapsed and state.claim_task("b", "v") == "b"
    with pytest.raises(ValueError, match="ephemeral_claims"):
        RedisCoordinationState(redis_server.url + "?ephemeral_claims=maybe", name)


def test_a_closed_object_frees_its_claims_at_once_and_a_forked_child_keeps_its_own(
    redis_server, redis_client, monkeypatch
):
    from durnel.redis import liveness

    name = namespace()
    other = RedisCoordinationState(redis_client, name)
    other.claim_task("a", "seen")
    first = redis_client.hget("durnel:{%s}:presence" % name, "a").split(b"|")[0]
    with RedisCoordinationState(redis_server.url, name, ephemeral_claims=True) as state:
        state.claim_task("c", "v")
    assert other.claim_task("b", "v") == "b"  # not ALIVE_TTL later
    time.sleep(1.1)  # a record is skipped for a second, not for good
    other.renew_claim("a", "task:seen")
    assert redis_client.hget("durnel:{%s}:presence" % name, "a").split(b"|")[0] > first
    monkeypatch.setattr(liveness, "KEEP_EVERY", 0.1)
    state = RedisCoordinationState(redis_server.url, name, ephemeral_claims=True)
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - the child reports through the pipe
        try:
            state.claim_task("child", "w")
            os.write(writer, state.object_id.encode())
            time.sleep(3)
        finally:
            os._exit(0)
    try:
        alive = "durnel:{%s}:alive:%s" % (name, os.read(reader, 16).decode())
        time.sleep(1.5)  # the child's keeper, not only its claim, set the key
        assert redis_client.pttl(alive) > (liveness.ALIVE_TTL - 1) * 1000
    finally:
        os.waitpid(child, 0)
        state.close()


def test_a_stalled_server_lets_no_claims_on_another_lapse(
    redis_server, redis_client, tmp_path, monkeypatch
):
    from durnel.redis import liveness

    monkeypatch.setattr(liveness, "KEEP_EVERY", 0.1)
    stalled = RedisServer(tmp_path / "stalled")
    name = namespace()
    stuck = RedisCoordinationState(stalled.url, name, ephemeral_claims=True)
    kept = RedisCoordinationState(redis_server.url, name, ephemeral_claims=True)
    stuck.claim_task("a", "t")
    kept.claim_task("b", "t")
    alive = "durnel:{%s}:alive:%s" % (name, kept.object_id)
    os.kill(stalled.process.pid, signal.SIGSTOP)  # its keeps wait for the socket timeout
    try:
        time.sleep(0.5)  # once kept again after the stall (the keeper may still sleep a
        until(
            lambda: redis_client.pttl(alive) > ALIVE_TTL * 1000 - 200, 15
        )  # turn of the old period)...
        time.sleep(1.5)  # ...it is kept again in time, whatever the stalled server does
        assert redis_client.pttl(alive) > (ALIVE_TTL - 1) * 1000
    finally:
        os.kill(stalled.process.pid, signal.SIGCONT)
        stuck.close()
        kept.close()
        stalled.stop()


HOLDER = """
import sys, time
from durnel.redis import RedisCoordinationState
url, name, task = sys.argv[1:]
RedisCoordinationState(url, name).claim_task("holder", task)
print("held", flush=True)
time.sleep(600)
"""


def test_servers_die_with_the_run_that_started_them(tmp_path):
    here = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, time\n"
            "sys.path.insert(0, %r)\n"
            "from redis_servers import RedisServer\n"
            "print(RedisServer(%r).process.pid, flush=True)\n"
            "time.sleep(120)\n" % (here, str(tmp_path)),
        ],
        stdout=subprocess.PIPE,
    )
    server = int(run.stdout.readline())
    run.kill()  # SIGKILL: no atexit, no finally
    run.wait()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/stat" % server) as stat:
                if stat.read().split(") ")[1][0] in "ZX":
                    break
        except FileNotFoundError:
            break
        time.sleep(0.05)
    else:
        os.kill(server, 9)
        pytest.fail("redis-server %d outlived the run that started it" % server)


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
def test_replicas_acknowledge_every_write_when_asked(make, redis_server, tmp_path):  # noqa: F811
    from durnel.redis import NotReplicatedError

    replica = RedisServer(
        tmp_path / "replica", extra=["--replicaof", "127.0.0.1", str(redis_server.port)]
    )
    primary = redis.Redis(port=redis_server.port)
    try:
        follower = redis.Redis(port=replica.port)
        deadline = time.monotonic() + 10
        while follower.info("replication").get("master_link_status") != "up":
            assert time.monotonic() < deadline, "the replica did not catch up"
            time.sleep(0.05)
        follower.close()
        name = make.namespace
        state = make(url=redis_server.url, replicas=1, replica_timeout=5)
        state.send_message("A", "warm-up", "the library loaded")
        waits = commandstats(primary).get("cmdstat_wait", 0)
        assert state.claim_task("A", "t") == "A" and state.status("A") == "busy"
        sent = state.send_message("A", "B", "m")
        assert state.drain_inbox("B") == [sent]
        state.status("A")  # settles that drain: a write like any other, lost in a failover
        assert commandstats(primary)["cmdstat_wait"] - waits == 4  # none after a plain read
        replica.kill()
        hasty = RedisCoordinationState(primary, name, replicas=1, replica_timeout=0.1, retries=1)
        with pytest.raises(NotReplicatedError, match="0 of the 1 replicas"):
            hasty.release("A", "task:t")
        assert state.status("A") == "idle"  # it took effect on the primary, once
        with pytest.raises(ValueError, match="replicas"):
            RedisCoordinationState(primary, "n", replicas=-1)
    finally:
        replica.stop()
        primary.close()


def test_acknowledged_changes_survive_a_killed_and_restarted_server(tmp_path):
    server = RedisServer(tmp_path / "aof", appendonly=True)
    try:
        import redis as redis_py

        admin = redis_py.Redis(port=server.port)
        admin.config_set("appendfsync", "always")
        state = RedisCoordinationState(server.url, "durable", retries=8)
        acknowledged, drained, claims, errors = [], [], [], []

        def work():
            try:
                for i in range(400):
                    acknowledged.append(state.send_message("w", "box", str(i))[2])
                    if i % 40 == 39:
                        drained.extend(m[2] for m in state.drain_inbox("box"))
                    if i % 10 == 0:
                        assert state.claim_task("w", "t%d" % i) == "w"
                        claims.append("t%d" % i)
            except Exception as error:  # reported below; the thread must not die silently
                errors.append(error)

        worker = threading.Thread(target=work)
        worker.start()
        while len(acknowledged) < 150 and worker.is_alive():
            time.sleep(0.005)
        server.kill()
        time.sleep(0.3)
        server.start()
        worker.join(60)
        assert not errors, errors
        drained.extend(m[2] for m in state.drain_inbox("box"))
        assert drained == acknowledged == [str(i) for i in range(400)]
        assert len(claims) == 40
        for task in claims:
            with pytest.raises(RuntimeError) as refused:
                state.claim_task("x", task)
            assert refused.value.args == ("w already holds claim on task " + task,)
        admin.close()
        state.close()
    finally:
        server.stop()
