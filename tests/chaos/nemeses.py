"""The runner's nemeses: each a function ``nemesis(run, rng)`` that injects one fault into a
running chaos run and records it (``fault`` lines, with ``t0``/``t1`` and whether the engine
was ``down`` meanwhile, so that the checker allows for retries and reconnections).

Which apply is each engine's ``nemeses`` (engines.py); what the processes inject themselves
(cancellations, dropped objects, forks, programs that end without closing) is in agent.py.
A nemesis that takes time (a server restarted, a slot moved) runs in a thread of its own,
one such at a time.
"""

import os
import resource
import shutil
import signal
import time

from engines import DURABLE, SOCKET_TIMEOUT

__all__ = ["NEMESES"]

CLOCK_OFFSETS = ("+0", "+310", "-120")  # a lease lapses at +310; never past request_ttl (600)


def _victim(run, rng, kinds=("mixed", "clock", "burst")):
    """A live process of the workload that is not paused, chosen by slot so that a seed
    chooses the same."""
    live = [
        slot
        for slot in run.slots
        if slot.alive() and slot.profile["kind"] in kinds and slot.pid not in run.paused
    ]
    return rng.choice(live) if live else None


def kill(run, rng):
    slot = _victim(run, rng)
    if slot is not None:
        run.rec.write("kill", pid=slot.pid, why="nemesis")
        os.kill(slot.pid, signal.SIGKILL)


def pause(run, rng):
    """SIGSTOP for longer than the visibility timeout, a claim waiter's turn, a short wait."""
    slot = _victim(run, rng, ("mixed", "clock"))
    if slot is None:
        return
    pid = slot.pid
    run.rec.write("stop", pid=pid)
    os.kill(pid, signal.SIGSTOP)
    run.paused.add(pid)
    run.later(rng.choice((4.0, 8.0)), resume, pid)


def resume(run, pid):
    if pid in run.paused:
        run.paused.discard(pid)
        run.rec.write("cont", pid=pid)
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:  # killed while stopped
            pass


def clock(run, rng):
    """The engine's clock jumps: a redis-server's, or a one-thread process's (libfaketime)."""
    if run.engine.server_clock:
        path, target = run.engine.env.get("clock_file"), "server"
    else:
        slot = next((s for s in run.slots if s.profile["kind"] == "clock" and s.alive()), None)
        path, target = (slot.clock_file, slot.pid) if slot else (None, None)
    if not path:
        return
    with open(path) as handle:
        now = handle.read().strip()
    offset = rng.choice([o for o in CLOCK_OFFSETS if o != now])
    with open(path, "w") as handle:
        handle.write(offset + "\n")
    run.rec.write("clock", target=target, offset=int(offset))


# ---- Redis: the proxy (resp_proxy.py) ----


def _armed(run, kind, target, hold, window, key=b""):  # window: how long it acts, once fired
    """Arms a proxy fault, unless the last one of its kind and aim has not struck yet."""
    for fault, _ in run.armed:
        if (fault.kind, fault.target, fault.key) == (kind, target, key) and not fault.hits:
            return
    run.armed.append((run.engine.proxy.arm(kind, target, hold, key), window))


def lose_reply(run, rng):
    _armed(run, "lose", rng.choice((b"_drain", b"")), 0.0, 0.5)


def lose_replies_past_timeout(run, rng):
    """A drain's reply, and its retries' replies, lost until its batch became takeable; the
    flaky link then holds back its session's next call (which would settle the batch) past
    the client's timeout."""
    hold = run.engine.visibility + 0.5
    fault = run.engine.proxy.arm("lose", b"_drain", hold, then=SOCKET_TIMEOUT + 0.5)
    run.armed.append((fault, hold + SOCKET_TIMEOUT + 0.5))


def lose_replies_past_retries(run, rng):
    """A waiter's look at a QUIET inbox (agent.py) that took messages, its replies all lost:
    it raises ConnectionError, its batch in flight until the visibility timeout; the other
    waiters of that inbox must wake when the batch can be taken again."""
    _armed(run, "lose", b"_drain", 6.0, 6.0, key=b":inbox:q")


def delay_request(run, rng):
    """A poller's drain (agent.py: POLLED) held back until its retry has run, then run late
    while the poller idles."""
    _armed(run, "delay", b"_drain", SOCKET_TIMEOUT + 1.9, SOCKET_TIMEOUT + 1.9, key=b":inbox:p")


def duplicate_request(run, rng):
    _armed(run, "duplicate", rng.choice((b"", b"_send", b"_drain", b"_claim")), 0.0, 0.5)


def silence_pubsub(run, rng):
    """Pub/sub connections whose server side is gone and whose client side hears nothing."""
    run.rec.write(
        "fault", kind="silence_pubsub", t0=time.monotonic(), connections=run.engine.proxy.silence()
    )


# ---- Redis: servers ----


def restart(run, rng, keep_data=True):
    run.in_background(_restart, keep_data)


def restart_without_aof(run, rng):
    run.in_background(_restart, False)


def _restart(run, keep_data):
    engine = run.engine
    server = engine.primary
    t0 = time.monotonic()
    server.kill()
    if not keep_data:  # the state is gone, as when a server without persistence restarts
        shutil.rmtree(os.path.join(server.workdir, "appendonlydir"), ignore_errors=True)
        if os.path.exists(os.path.join(server.workdir, "dump.rdb")):  # a replica's last sync
            os.remove(os.path.join(server.workdir, "dump.rdb"))
        server.appendonly = False
    server.start()
    if not keep_data:
        with engine.admin() as client:
            client.config_set("appendonly", "yes")
        server.appendonly = True
    engine.wait_for_replica()
    kind = "restart" if keep_data else "restart_without_aof"
    run.rec.write("fault", kind=kind, t0=t0, t1=time.monotonic(), down=True, wipe=not keep_data)


def failover(run, rng):
    run.in_background(_failover)


def _failover(run):
    """The primary killed, its replica promoted, the proxy pointed at it, the old primary
    back as the new one's replica."""
    engine = run.engine
    old, new = engine.primary, engine.replica
    t0 = time.monotonic()
    old.kill()
    with engine.admin(new) as client:
        client.execute_command("REPLICAOF", "NO", "ONE")
    new.extra = list(DURABLE)  # a primary when restarted
    engine.proxy.switch(new.port)
    engine.primary, engine.replica = new, old
    old.extra = [*DURABLE, "--replicaof", "127.0.0.1", str(new.port)]
    old.start()
    engine.wait_for_replica()
    run.rec.write("fault", kind="failover", t0=t0, t1=time.monotonic(), down=True)


def slot_move(run, rng):
    run.in_background(_slot_move, rng.random())


def _slot_move(run, choice):
    """The namespace's slot moved to another primary one key at a time, calls and waits
    running meanwhile."""
    import redis
    from redis.crc import key_slot

    nodes = {
        node.port: redis.Redis(port=node.port, socket_timeout=10)
        for node in run.engine.cluster.nodes
    }
    t0 = time.monotonic()
    try:
        slot = key_slot(("{%s}" % run.engine.env["namespace"]).encode())
        ids = {port: node.execute_command("CLUSTER", "MYID") for port, node in nodes.items()}
        any_node = next(iter(nodes.values()))
        source = next(
            entry[2][1]
            for entry in any_node.execute_command("CLUSTER", "SLOTS")
            if entry[0] <= slot <= entry[1]
        )
        others = sorted(port for port in nodes if port != source)
        target = others[int(choice * len(others))]
        nodes[target].execute_command("CLUSTER", "SETSLOT", slot, "IMPORTING", ids[source])
        nodes[source].execute_command("CLUSTER", "SETSLOT", slot, "MIGRATING", ids[target])
        while True:
            keys = nodes[source].execute_command("CLUSTER", "GETKEYSINSLOT", slot, 100)
            if not keys:
                break
            for key in keys:
                nodes[source].execute_command("MIGRATE", "127.0.0.1", target, key, 0, 5000)
                time.sleep(0.02)  # calls meet the slot half moved
        for node in nodes.values():
            node.execute_command("CLUSTER", "SETSLOT", slot, "NODE", ids[target])
    finally:
        for node in nodes.values():
            node.close()
    run.rec.write("fault", kind="slot_move", t0=t0, t1=time.monotonic(), down=True)


# ---- SQLite ----


def wake_dir(run, rng):
    """The wake directories removed under sleeping waiters."""
    for path in (run.engine.env["path"], run.engine.env["link"]):
        shutil.rmtree(path + "-wake", ignore_errors=True)
    run.rec.write("fault", kind="wake_dir", t0=time.monotonic())


def file_size(run, rng):
    """A process may not grow any file beyond the database's size, for two seconds."""
    slot = _victim(run, rng, ("mixed",))
    if slot is None:
        return
    limit = max(os.path.getsize(run.engine.env["path"]), 4096)
    hard = resource.prlimit(slot.pid, resource.RLIMIT_FSIZE)[1]
    resource.prlimit(slot.pid, resource.RLIMIT_FSIZE, (limit, hard))  # the soft one: lifted again
    run.rec.write("fault", kind="file_size", t0=time.monotonic(), pid=slot.pid, limit=limit)
    run.later(2.0, _unlimited, slot.pid)


def _unlimited(run, pid):
    try:
        hard = resource.prlimit(pid, resource.RLIMIT_FSIZE)[1]
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (hard, hard))
    except ProcessLookupError:
        pass


def burst(run, rng):
    """4 threads sending and 9 waiting on one file at once, for four seconds."""
    run.spawn_burst(4.0)


NEMESES = {
    function.__name__: function
    for function in (
        kill,
        pause,
        clock,
        lose_reply,
        lose_replies_past_timeout,
        lose_replies_past_retries,
        delay_request,
        duplicate_request,
        silence_pubsub,
        restart,
        restart_without_aof,
        failover,
        slot_move,
        wake_dir,
        file_size,
        burst,
    )
}
