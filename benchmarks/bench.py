"""Prints one table of tavrel's speed and memory beside what a user would use instead.

    make bench                        # or: .venv/bin/python benchmarks/bench.py [--rounds N]

Every timed case runs once per round, all cases interleaved in the same order each round, and
the best round counts, so a busy neighbour on the machine slows one round rather than one
column. The garbage collector is off while a case runs (as in `timeit`) and results are released
after the clock stops. Before anything is timed, the outputs of the pure-Python reference (A), of
the orjson reference (B) and of tavrel must be equal; `--no-check` prints the differences and
goes on.
"""

import argparse
import ctypes
import gc
import json
import os
import platform
import subprocess
import sys
import time
import tracemalloc
from dataclasses import dataclass, field
from itertools import starmap

import curlify
import requests as http
import workload
from workload import RefCollection, RefRequest, orjson_export

import tavrel
from tavrel import Tavrel, TavrelCollection

REQUESTS = 20_000
SCALING = (1_000, 10_000, 100_000)
BODY_SIZES = (1 << 20, 16 << 20)
MEMORY_REQUESTS = 100_000


# --- equality of outputs ---------------------------------------------------------------------

def text_or_error(make) -> str:
    """The text made (a command, an export), or the text of the ValueError that refused it."""
    try:
        return make()
    except ValueError as error:
        return f"ValueError: {error}"


def first_difference(ours: str, theirs: str) -> tuple[str, str]:
    """The word of reference A's text where it first differs from tavrel's, and the two texts there."""
    at = next((i for i, (a, b) in enumerate(zip(ours, theirs, strict=False)) if a != b), min(len(ours), len(theirs)))
    start = theirs.rfind(" ", 0, at) + 1
    end = theirs.find(" ", at)
    word = theirs[start:end if end >= 0 else len(theirs)]
    return word, f"tavrel {ours[max(at - 16, 0):at + 16]!r}, A {theirs[max(at - 16, 0):at + 16]!r}"


def differences(args_list: list[tuple]) -> dict[str, list]:
    """Where tavrel and the references differ for these requests: the differing word of A's
    output -> [count, first example]."""
    found = {}

    def note(what, ours, theirs):
        word, example = first_difference(ours, theirs)
        found.setdefault(f"{what} at {word[:24]!r}", [0, example])[0] += 1

    for args in args_list:
        ours = text_or_error(Tavrel(*args).get_request_command)
        theirs = text_or_error(RefRequest(*args).get_request_command)
        if ours != theirs:
            note("command", ours, theirs)
    # All requests (an empty url among them refuses the export), those with a host, one without.
    with_host = [args for args in args_list if args[0].count("/") >= 2]
    exports = [args_list, with_host, [("http:/x", [], *args_list[0][2:])]]
    for chosen in exports:
        ours = text_or_error(TavrelCollection([Tavrel(*args) for args in chosen]).export_collection)
        reference = RefCollection([RefRequest(*args) for args in chosen])
        for name, theirs in (("A", text_or_error(reference.export_collection)),
                             ("B", text_or_error(lambda: orjson_export(reference)))):  # noqa: B023 (called at once)
            if ours != theirs:
                note(f"export of {len(chosen)} requests (reference {name})", ours, theirs)
    return found


def check_outputs(timed: list[tuple], enforce: bool) -> str:
    checked = timed + workload.edge_requests()
    found = differences(checked)
    if not found:
        return f"outputs checked: {len(checked):,} commands and 3 exports equal in tavrel, A and B"
    total = sum(count for count, _ in found.values())
    report = f"{total} outputs differ between tavrel and the references:\n" + "\n".join(
        f"  {count:>6} x {place}, e.g. {example}" for place, (count, example) in found.items())
    if enforce:
        sys.exit(report + "\n(run with --no-check to time anyway)")
    return report + "\nWARNING: the figures below are timed anyway (--no-check)"


# --- timing ----------------------------------------------------------------------------------

def timed(run) -> int:
    gc.collect()
    gc.disable()
    start = time.perf_counter_ns()
    result = run()
    elapsed = time.perf_counter_ns() - start
    gc.enable()
    del result  # released after the clock stops
    return elapsed


def best_times(cases: dict, rounds: int) -> dict:
    """Best wall time in ns of one call of each case over `rounds` interleaved rounds, after one
    untimed call of each case that warms caches and the allocator."""
    gc.collect()
    gc.freeze()  # the inputs stay alive throughout: keep them out of every later collection
    for run in cases.values():
        timed(run)
    best = dict.fromkeys(cases, float("inf"))
    for _ in range(rounds):
        for name, run in cases.items():
            best[name] = min(best[name], timed(run))
    return best


def big_body(size: int) -> str:
    """`size` characters of JSON records, the kind of body a large upload carries."""
    records = ", ".join(f'{{"id": {i}, "name": "item-{i:05d}", "tags": ["a", "b"], "price": {i % 997}.5}}'
                        for i in range(1000))
    return (records * (size // len(records) + 1))[:size]


def build_cases(args: list[tuple], scaling_args: list[tuple]) -> list[dict]:
    """The timed cases in groups; each group is interleaved on its own (see `main`)."""
    floors = workload.floors()
    tavrels = list(starmap(Tavrel, args))
    references = list(starmap(RefRequest, args))
    floor_requests = list(starmap(floors.Request, args))
    prepared = [http.Request(workload.METHOD_NAMES[int(method)], url, headers=dict(headers), data=body).prepare()
                for url, headers, method, body in args]
    ours, theirs = TavrelCollection(tavrels), RefCollection(references)
    floor_collection = floors.Collection()
    list(map(floor_collection.add, floor_requests))
    document = ours.export_collection().encode()

    def add_all(collection, method: str, items):
        list(map(getattr(collection, method), items))
        return collection

    cases = {
        ("construct", "tavrel"): lambda: list(starmap(Tavrel, args)),
        ("construct", "A"): lambda: list(starmap(RefRequest, args)),
        ("construct", "floor"): lambda: list(starmap(floors.Request, args)),
        ("command", "tavrel"): lambda: list(map(Tavrel.get_request_command, tavrels)),
        ("command", "A"): lambda: list(map(RefRequest.get_request_command, references)),
        ("command", "curlify"): lambda: list(map(curlify.to_curl, prepared)),
        ("command", "floor"): lambda: list(map(floors.Request.command, floor_requests)),
        ("add", "tavrel"): lambda: add_all(TavrelCollection(), "add_request", tavrels),
        ("add", "A"): lambda: add_all(RefCollection(), "add_request", references),
        ("add", "floor"): lambda: add_all(floors.Collection(), "add", floor_requests),
        ("export", "tavrel"): ours.export_collection,
        ("export", "A"): theirs.export_collection,
        ("export", "B"): lambda: orjson_export(theirs),
        ("export", "floor"): lambda: floors.export(document),
        ("get", "tavrel"): ours.get_collection,
        ("get", "A"): theirs.get_collection,
        ("get", "floor"): floor_collection.get,
    }
    scaling = {("scale", count): TavrelCollection(list(starmap(Tavrel, scaling_args[:count]))).export_collection
               for count in SCALING}
    for size in BODY_SIZES:
        one = (workload.requests(1)[0][0], [], workload.METHODS[1], big_body(size))
        cases[("body", size, "tavrel")] = TavrelCollection([Tavrel(*one)]).export_collection
        reference = RefCollection([RefRequest(*one)])
        cases[("body", size, "A")] = reference.export_collection
        cases[("body", size, "B")] = lambda reference=reference: orjson_export(reference)
        finished = TavrelCollection([Tavrel(*one)]).export_collection().encode()
        cases[("body", size, "floor")] = lambda finished=finished: floors.export(finished)
    return [cases, scaling]


# --- memory, each side in a fresh process ----------------------------------------------------

class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def c_heap_in_use() -> int:
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = Mallinfo2
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def python_only_in_use() -> int:
    """Bytes of Python allocations that the C heap figure does not already hold.

    pymalloc serves requests of up to 512 bytes from its own mapped arenas, which mallinfo2 does
    not see; larger ones come from malloc and are counted on the C heap."""
    gc.collect()
    snapshot = tracemalloc.take_snapshot()
    in_malloc = sum(trace.size for trace in snapshot.traces if trace.size > 512)
    del snapshot
    return tracemalloc.get_traced_memory()[0] - in_malloc


def memory_child(kind: str, part: str) -> None:
    """Prints the growth of one part of the memory in use ("c" or "python") while `kind` holds
    MEMORY_REQUESTS requests.

    The two parts come from separate processes: tracemalloc's own tables live on the C heap and
    cost more than tracemalloc.get_tracemalloc_memory() reports (with 100,000 reference-A requests
    about 550 bytes per request more), so the C heap is measured with tracemalloc off."""
    if part == "python":
        tracemalloc.start()
    measure = python_only_in_use if part == "python" else c_heap_in_use
    before = measure()
    args = workload.requests(MEMORY_REQUESTS)
    if kind == "tavrel":
        kept = TavrelCollection()
        list(map(kept.add_request, starmap(Tavrel, args)))  # each Tavrel is released once copied
    else:
        kept = list(starmap(RefRequest, args))
    del args
    print(json.dumps({"bytes": measure() - before}))
    del kept


def bytes_per_request(kind: str) -> float:
    """C heap plus Python allocations per stored request, each part measured in a fresh process."""
    here = os.path.abspath(__file__)
    total = 0
    for part in ("c", "python"):
        result = subprocess.run([sys.executable, here, "--memory-child", kind, part], capture_output=True, text=True,
                                check=True, cwd=os.path.dirname(here))
        total += json.loads(result.stdout)["bytes"]
    return total / MEMORY_REQUESTS


# --- the table -------------------------------------------------------------------------------

@dataclass
class Row:
    label: str
    figures: dict = field(default_factory=dict)  # column -> text
    checks: list = field(default_factory=list)   # (what, value text, target text, met)


def ns(total: float, count: int = REQUESTS) -> str:
    return f"{total / count:,.0f} ns"


def rate(size: int, elapsed_ns: float) -> str:
    per_second = size / elapsed_ns * 1e9
    return f"{per_second / 1e9:.2f} GB/s" if per_second >= 1e9 else f"{per_second / 1e6:.0f} MB/s"


def at_least(what: str, value: float, target: float) -> tuple:
    return (what, f"{value:.1f}x", f">= {target:g}x", value >= target)


def at_most(what: str, value: float, target: float) -> tuple:
    return (what, f"{value:.2f}x", f"<= {target:g}x", value <= target)


def plain(what: str, value: float) -> tuple:
    return (what, f"{value:.1f}x", "", None)


def table_rows(best: dict, memory: dict) -> list[Row]:
    def figures(op, *peers):
        return {who: ns(best[(op, who)]) for who in ("tavrel", *peers)}

    def faster(op, peer, target):
        return at_least(f"{peer}/tavrel", best[(op, peer)] / best[(op, "tavrel")], target)

    def over_floor(op, target=None):
        ratio = best[(op, "tavrel")] / best[(op, "floor")]
        return plain("tavrel/floor", ratio) if target is None else at_most("tavrel/floor", ratio, target)

    rows = [
        Row("construct Tavrel", figures("construct", "A", "floor"), [
            faster("construct", "A", 4), over_floor("construct")]),
        Row("get_request_command", figures("command", "A", "curlify", "floor"), [
            faster("command", "A", 15), faster("command", "curlify", 30), over_floor("command", 1.3)]),
        Row("add_request", figures("add", "A", "floor"), [faster("add", "A", 4), over_floor("add")]),
        Row("export_collection", figures("export", "A", "B", "floor"), [
            faster("export", "A", 25), faster("export", "B", 5), over_floor("export", 8)]),
        Row("get_collection", figures("get", "A", "floor"), [faster("get", "A", 8), over_floor("get")]),
    ]

    for count in SCALING:
        rows.append(Row(f"export, {count // 1000}k requests", {"tavrel": ns(best[("scale", count)], count)}))
    growth = (best[("scale", SCALING[-1])] / SCALING[-1]) / (best[("scale", SCALING[0])] / SCALING[0])
    rows[-1].checks.append(at_most("100k/1k per request", growth, 1.3))

    for size in BODY_SIZES:
        times = {who: best[("body", size, who)] for who in ("tavrel", "A", "B", "floor")}
        gigabytes = size / times["tavrel"]  # bytes per ns = GB/s
        rows.append(Row(f"export, one {size >> 20} MB body", {who: rate(size, t) for who, t in times.items()},
                        [("tavrel throughput", f"{gigabytes:.2f} GB/s", ">= 1.5 GB/s", gigabytes >= 1.5)]))

    stored = {who: f"{memory[who]:,.0f} B" for who in ("tavrel", "A")}
    rows.append(Row("memory per stored request", stored, [at_most("tavrel/A", memory["tavrel"] / memory["A"], 0.5)]))
    return rows


COLUMNS = ("tavrel", "A", "B", "curlify", "floor")


def print_table(rows: list[Row]) -> None:
    head = ("operation", "tavrel", "ref A", "ref B", "curlify", "floor", "ratio", "", "target", "met")
    lines = []
    for row in rows:
        cells = [row.label, *(row.figures.get(name, "-") for name in COLUMNS)]
        checks = row.checks or [("", "", "", None)]
        for i, (what, value, target, met) in enumerate(checks):
            met_text = "" if met is None else ("yes" if met else "NO")
            lines.append((cells if i == 0 else [""] * len(cells)) + [what, value, target, met_text])
    widths = [max(len(line[i]) for line in [head, *lines]) for i in range(len(head))]
    align_left = {0, 6}

    def show(line):
        return "  ".join(text.ljust(w) if i in align_left else text.rjust(w)
                         for i, (text, w) in enumerate(zip(line, widths, strict=True))).rstrip()

    print(show(head))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print(show(line))


def machine() -> str:
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")),
                     platform.processor())
    return f"{model}, {os.cpu_count()} cores; Python {platform.python_version()}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="timed rounds; the best counts (default 7)")
    parser.add_argument("--no-check", action="store_true", help="report differing outputs instead of stopping")
    parser.add_argument("--memory-child", nargs=2, metavar=("KIND", "PART"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.memory_child:
        memory_child(*options.memory_child)
        return

    args = workload.requests(REQUESTS)
    verdict = check_outputs(args, enforce=not options.no_check)
    memory = {kind: bytes_per_request(kind) for kind in ("tavrel", "A")}
    # The export of 1k requests ran 1.6x slower per request (3,362 against 2,072 ns) when each
    # round also decoded the 10 MB floor text: its 0.5 MB text meets a heap that large blocks have
    # reshaped. The scaling rows compare sizes with each other, so they get a round of their own.
    best = {}
    for group in build_cases(args, workload.requests(SCALING[-1])):
        best |= best_times(group, options.rounds)

    print(f"tavrel benchmark: {REQUESTS:,} requests (seed {workload.SEED}), "
          f"best of {options.rounds} interleaved rounds")
    print(f"machine: {machine()}")
    print(f"module: {tavrel.__file__}")
    print(verdict)
    print("figures: ns per request, throughput of the body's bytes, or bytes per stored request;")
    print("A = pure-Python reference (json.dumps), B = orjson reference, floor = the minimal native version of")
    print("the operation (benchmarks/floors, described in benchmarks/README.md)\n")
    print_table(table_rows(best, memory))


if __name__ == "__main__":
    main()
