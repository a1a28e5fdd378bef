#!/usr/bin/env python3
"""How large the SQLite engine's write-ahead log (the file's ``-wal``) grows under writers and
waiters at once, and how small it is again once they stop.

Senders (threads, one engine object) send messages to waiting agents as fast as they can;
each waiting agent (a thread) loops on ``wait_for_messages`` with no timeout. A sampler reads
the ``-wal`` file's size every 20 ms. After ``--seconds`` the senders stop; the waiters stay
asleep, their connections open, and the sampler goes on for ``--idle`` seconds. Then each
waiter gets a last message and ends.

Printed: messages sent and received, the largest ``-wal`` size under load, and its size at
each second after the traffic stopped.

Usage:
    PYTHONPATH=build:src .venv/bin/python bench/bench_wal.py [--senders 4] [--waiters 9]
        [--seconds 10] [--idle 10] [--output wal.json]
"""

import argparse
import json
import os
import shutil
import tempfile
import threading
import time

import durnel

STOP = "stop"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--senders", type=int, default=4)
    parser.add_argument("--waiters", type=int, default=9)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--idle", type=int, default=10)
    parser.add_argument("--output")
    options = parser.parse_args()

    place = tempfile.mkdtemp(prefix="durnel-wal-")
    path = os.path.join(place, "state.db")
    state = durnel.connect("sqlite:///" + path, namespace="wal")
    agents = ["agent-%d" % i for i in range(options.waiters)]
    received = [0] * options.waiters
    sent = [0] * options.senders
    sending = threading.Event()
    sending.set()

    def wait(index):
        while True:
            messages = state.wait_for_messages(agents[index])
            received[index] += len(messages)
            if any(m[2] == STOP for m in messages):
                return

    def send(index):
        i = 0
        while sending.is_set():
            state.send_message("sender-%d" % index, agents[i % len(agents)], "report %d" % i)
            i += 1
        sent[index] = i

    def size():
        try:
            return os.stat(path + "-wal").st_size
        except FileNotFoundError:
            return 0

    samples = []
    sampling = threading.Event()
    sampling.set()

    def sample():
        start = time.monotonic()
        while sampling.is_set():
            samples.append((time.monotonic() - start, size()))
            time.sleep(0.02)

    waiters = [threading.Thread(target=wait, args=(i,)) for i in range(options.waiters)]
    for thread in waiters:
        thread.start()
    time.sleep(0.5)  # every waiter asleep before the first send
    sampler = threading.Thread(target=sample)
    sampler.start()
    senders = [threading.Thread(target=send, args=(i,)) for i in range(options.senders)]
    for thread in senders:
        thread.start()
    time.sleep(options.seconds)
    sending.clear()
    for thread in senders:
        thread.join()
    stopped = time.monotonic()
    under_load = max(s for _, s in samples)
    after = []
    for second in range(1, options.idle + 1):
        time.sleep(max(0.0, stopped + second - time.monotonic()))
        after.append(size())
    sampling.clear()
    sampler.join()
    for agent in agents:
        state.send_message("bench", agent, STOP)
    for thread in waiters:
        thread.join()

    result = {
        "senders": options.senders,
        "waiters": options.waiters,
        "seconds": options.seconds,
        "sent": sum(sent),
        "received": sum(received) - len(agents),
        "wal_max_under_load_bytes": under_load,
        "wal_after_stop_bytes": after,
    }
    mb = 1024 * 1024
    print(
        "%d senders, %d waiters, %.0f s: %d messages sent, %d received"
        % (options.senders, options.waiters, options.seconds, result["sent"], result["received"])
    )
    print("-wal under load: at most %.1f MB" % (under_load / mb))
    print(
        "-wal after the traffic stopped, each second: %s MB"
        % ", ".join("%.1f" % (s / mb) for s in after)
    )
    if options.output:
        with open(options.output, "w") as handle:
            json.dump(result, handle, indent=2)
    shutil.rmtree(place)


if __name__ == "__main__":
    main()
