"""What the Redis engine adds to the contract that every engine shares (test_claims,
test_mailboxes, test_arguments, test_model): connecting, one round trip per call, the log as a
Redis Stream, namespaces, foreign data in a namespace, and the faults that only a server has:
replies lost after the server ran a call, a server that is gone, and one killed and restarted
with its append-only file."""

import threading
import time
import uuid

import pytest

import durnel
import durnel_core

redis = pytest.importorskip("redis")

from durnel.redis import ForeignDataError, RedisCoordinationState  # noqa: E402
from redis_servers import RedisServer, ReplyDroppingProxy  # noqa: E402


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


def test_every_method_is_exactly_one_evalsha(redis_server, redis_client):
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
    for name, args in calls:  # the first calls also put the scripts into the server's cache
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
        # Commands that the script runs inside the server count too; none is a round trip.
        delta = {k: after.get(k, 0) - before.get(k, 0) for k in after}
        assert delta["cmdstat_evalsha"] == 1, name
        assert not any(delta.get(k) for k in ("cmdstat_eval", "cmdstat_script")), name
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
    redis_client.hset("durnel:{%s}:claims" % name, "file:g", "no stamp")
    with pytest.raises(ForeignDataError, match="claims"):
        state.claim_file("A", "g")
    assert not issubclass(ForeignDataError, RuntimeError)  # never read as a refusal


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
        evalsha = commandstats(redis_client).get("cmdstat_evalsha", 0)
        proxy.drop = 1
        result = call()
        assert proxy.drop == 0
        # The server ran the call twice (the first reply was lost); the second was a replay.
        assert commandstats(redis_client)["cmdstat_evalsha"] - evalsha == 2
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
    log = redis_client.xrange("durnel:{%s}:log" % name)
    assert [fields[b"event"] for _, fields in log] == [
        b"Claimed",
        b"MessageSent",
        b"BroadcastSent",
        b"Released",
    ]
    assert proxy.dropped == 6


def test_an_unreachable_server_raises_connection_error_after_bounded_retries():
    from redis_servers import free_port

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


def test_a_drain_whose_reply_never_arrives_loses_nothing(proxied, redis_client):
    proxy, client = proxied
    name = namespace()
    state = RedisCoordinationState(client, name, retries=0)
    direct = RedisCoordinationState(redis_client, name)
    first = [direct.send_message("A", "B", str(i)) for i in range(3)]
    proxy.drop = 1
    with pytest.raises(redis.exceptions.ConnectionError):
        state.drain_inbox("B")  # ran on the server; its reply is gone and not retried
    later = direct.send_message("A", "B", "later")
    assert state.drain_inbox("B") == first + [later]
    assert state.drain_inbox("B") == []


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
