"""One CoordinationState shared by many Python threads: concurrent sends, drains and reads
lose, duplicate and reorder nothing, and concurrent claims on one resource have one winner."""

import sys
import threading
from collections import defaultdict

import pytest

SENDERS = 4
MAILBOXES = 3
PER_SENDER = 400


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # reported after the join
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []


def assert_runs_are_consecutive(batch, box):
    """Within one drain or read, each sender's sequence numbers to `box` are consecutive."""
    runs = defaultdict(list)
    for sender, recipient, content, _ in batch:
        assert recipient == box
        owner, seq = content.split(":")
        assert owner == sender
        runs[sender].append(int(seq))
    for seqs in runs.values():
        assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))


def test_every_message_is_drained_exactly_once_in_sender_order(state, fast_switching):
    boxes = ["box-{}".format(i) for i in range(MAILBOXES)]
    sending_done = threading.Event()
    drained = defaultdict(list)  # box -> list of batches, from every drainer
    snapshots = []
    start_together = threading.Barrier(SENDERS + 4)

    def sender(index):
        start_together.wait()
        name = "sender-{}".format(index)
        counters = dict.fromkeys(boxes, 0)
        for i in range(PER_SENDER):
            box = boxes[(i * (index + 1)) % MAILBOXES]
            sent = state.send_message(name, box, "{}:{}".format(name, counters[box]))
            assert sent[:2] == (name, box)
            counters[box] += 1

    def drainer(offset):
        start_together.wait()
        while True:
            finished = sending_done.is_set()
            for k in range(MAILBOXES):
                box = boxes[(k + offset) % MAILBOXES]
                batch = state.drain_inbox(box)
                if batch:
                    drained[box].append(batch)
            if finished:
                return

    def reader():
        start_together.wait()
        while not sending_done.is_set():
            for box in boxes:
                snapshots.append((box, state.inbox(box)))

    senders = [lambda i=i: sender(i) for i in range(SENDERS)]
    workers = [lambda o=o: drainer(o) for o in range(3)] + [reader]
    stopper = threading.Thread(target=lambda: (run_threads(senders), sending_done.set()))
    stopper.start()
    run_threads(workers)
    stopper.join(60)
    assert sending_done.is_set()

    for box in boxes:
        leftover = state.drain_inbox(box)
        if leftover:
            drained[box].append(leftover)

    total = 0
    for box in boxes:
        per_sender = defaultdict(list)
        for batch in drained[box]:
            assert_runs_are_consecutive(batch, box)
            for sender_name, _, content, _ in batch:
                per_sender[sender_name].append(int(content.split(":")[1]))
        for seqs in per_sender.values():
            # Each number once: nothing lost, nothing returned by two drains.
            assert sorted(seqs) == list(range(len(seqs)))
            total += len(seqs)
        assert state.inbox(box) == []
    assert total == SENDERS * PER_SENDER
    for box, snapshot in snapshots:
        assert_runs_are_consecutive(snapshot, box)


def test_concurrent_claims_have_exactly_one_winner(state, fast_switching):
    resources = ["r{}".format(i) for i in range(200)]
    wins = defaultdict(list)
    refusals = defaultdict(list)

    def contender(name):
        for resource in resources:
            try:
                wins[resource].append(state.claim_task(name, resource))
            except RuntimeError as error:
                refusals[resource].append((name, error.args[0]))

    names = ["agent-{}".format(i) for i in range(6)]
    run_threads([lambda n=n: contender(n) for n in names])
    for resource in resources:
        (winner,) = wins[resource]
        assert sorted(name for name, _ in refusals[resource]) == sorted(set(names) - {winner})
        for _, message in refusals[resource]:
            assert message == "{} already holds claim on task {}".format(winner, resource)
    for name in names:
        expected = "busy" if any(wins[r] == [name] for r in resources) else "idle"
        assert state.status(name) == expected
