"""Several threads sharing one collection and a set of requests: every addition is kept exactly
once, every read sees a consistent list, and the only refusals are the module's borrow errors."""

import collections
import json
import sys
import threading
import time

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

THREADS = 8
SECONDS = 2.0
MAX_ADDS = 250  # per thread, so that exports stay cheap enough for many rounds
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
METHODS = [HTTPMETHOD.GET, HTTPMETHOD.POST, HTTPMETHOD.PUT, HTTPMETHOD.DELETE]


def make_requests():
    return [Tavrel(f"https://h{i}.example/p/{i}", [("K", str(i)), ("X-It's", "$v")], METHODS[i % 4],
                   None if i % 3 else f"body {i}") for i in range(THREADS)]


class Worker:
    def __init__(self, index, collection, requests, expected_commands, initial, barrier, deadline):
        self.index, self.collection, self.requests = index, collection, requests
        self.expected_commands, self.initial = expected_commands, initial
        self.barrier, self.deadline = barrier, deadline
        self.added = collections.Counter()  # url -> additions this thread made
        self.borrow_errors = collections.Counter()
        self.problems = []
        self.snapshots = []  # item names of some exports, each must be a prefix of the final list
        self.exports = 0

    def guarded(self, op):
        try:
            op()
            return True
        except RuntimeError as exc:
            if type(exc) is RuntimeError and str(exc) in BORROW_ERRORS:
                self.borrow_errors[str(exc)] += 1
            else:
                self.problems.append(repr(exc))
        except BaseException as exc:  # PanicException derives from BaseException
            self.problems.append(repr(exc))
        return False

    def run(self):
        self.barrier.wait()
        last_export = last_length = -1
        step = 0
        while time.monotonic() < self.deadline and not self.problems:
            step += 1
            request = self.requests[(self.index + step) % len(self.requests)]
            if step % 4 == 0 and sum(self.added.values()) < MAX_ADDS:
                if self.guarded(lambda: self.collection.add_request(request)):
                    self.added[request_url(request)] += 1
            elif step % 4 == 1:
                out = []
                if self.guarded(lambda: out.append(self.collection.export_collection())):
                    names = [item["name"] for item in json.loads(out[0])["item"]]
                    if len(names) < max(last_export, self.initial + sum(self.added.values())):
                        self.problems.append(f"export went from {last_export} to {len(names)} items")
                    last_export = len(names)
                    self.exports += 1
                    if self.exports % 10 == 1:
                        self.snapshots.append(names)
            elif step % 4 == 2:
                got = []
                if self.guarded(lambda: got.append(self.collection.get_collection())):
                    if len(got[0]) < last_length:
                        self.problems.append(f"get_collection went from {last_length} to {len(got[0])}")
                    last_length = len(got[0])
            else:
                command = []
                if self.guarded(lambda: command.append(request.get_request_command())):
                    if command[0] != self.expected_commands[request_url(request)]:
                        self.problems.append(f"command changed: {command[0]!r}")


def request_url(request):
    return request.get_request_command().split()[3]


def test_shared_collection_under_threads():
    requests = make_requests()
    expected_commands = {request_url(r): r.get_request_command() for r in requests}
    collection = TavrelCollection(requests[:2])
    initial = collection.get_collection()
    barrier = threading.Barrier(THREADS)
    deadline = time.monotonic() + SECONDS
    workers = [Worker(i, collection, requests, expected_commands, len(initial), barrier, deadline)
               for i in range(THREADS)]
    threads = [threading.Thread(target=w.run) for w in workers]
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
    finally:
        sys.setswitchinterval(old_interval)
    assert not any(t.is_alive() for t in threads)
    assert [w.problems for w in workers] == [[]] * THREADS

    added = sum((w.added for w in workers), collections.Counter())
    final = collection.get_collection()
    document = json.loads(collection.export_collection())
    names = [item["name"] for item in document["item"]]
    assert len(final) == len(names) == len(initial) + sum(added.values())
    assert [request_url(r) for r in final] == names
    assert collections.Counter(names[len(initial):]) == added
    assert names[:len(initial)] == [request_url(r) for r in initial]
    for w in workers:
        for snapshot in w.snapshots:
            assert snapshot == names[:len(snapshot)]
    assert {r.get_request_command() for r in final} <= set(expected_commands.values())

    borrow_errors = sum((w.borrow_errors for w in workers), collections.Counter())
    print(f"\n{THREADS} threads: {sum(added.values())} additions, "
          f"{sum(w.exports for w in workers)} exports, borrow errors: {dict(borrow_errors) or 0}")
    assert sum(added.values()) > 0 and all(w.exports > 0 for w in workers)
