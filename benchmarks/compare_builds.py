"""Compares two builds of the tavrel module on the same workload: the developers' g++ build and
the release wheel's zig build.

    make bench-builds       # or: python benchmarks/compare_builds.py NAME=MODULE.so NAME=MODULE.so

Both builds are loaded into one process, each module file under the name `tavrel` by a loader of
its own, and their calls interleave: for every operation, round k times build A then B, round
k+1 B then A, each over the same 20,000 requests of the benchmark's workload. A busy neighbour on
the machine, the heap's state or a warm-up then weighs on both alike, which processes timed one
after the other could not promise (a ratio between processes moved by up to a fifth on this
2-core machine). Several such processes run, alternating which build loads first. Printed: the
best time of each build and the median of the per-round ratios, which is the figure to judge. The
outputs of both builds must be equal, or the comparison stops.
"""

import argparse
import gc
import hashlib
import importlib.machinery
import importlib.util
import json
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
REQUESTS = 20_000


def load(path: str):
    """The tavrel module in the file `path`, loaded beside any other."""
    loader = importlib.machinery.ExtensionFileLoader("tavrel", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("tavrel", path, loader=loader))
    loader.exec_module(module)
    return module


def operations(tavrel, args: list[tuple]) -> tuple[dict, str]:
    """The timed operations of one build, and a digest of its outputs."""
    import workload

    # The workload's methods are the first build's; each build gets its own members.
    args = [(url, headers, getattr(tavrel.HTTPMETHOD, workload.METHOD_NAMES[workload.METHODS.index(method)]), body)
            for url, headers, method, body in args]
    made = [tavrel.Tavrel(*a) for a in args]
    full = tavrel.TavrelCollection(made)
    digest = hashlib.sha256()
    for request in made:
        digest.update(request.get_request_command().encode())
    digest.update(full.export_collection().encode())

    def add_all():
        collection = tavrel.TavrelCollection()
        for request in made:
            collection.add_request(request)
        return collection

    return {
        "construct Tavrel": lambda: [tavrel.Tavrel(*a) for a in args],
        "get_request_command": lambda: [r.get_request_command() for r in made],
        "add_request": add_all,
        "export_collection": full.export_collection,
        "get_collection": full.get_collection,
    }, digest.hexdigest()


def child(modules: list[str], rounds: int) -> None:
    """Runs in a child: ns per request of every round of every operation, for each build."""
    sys.path.insert(0, str(HERE))
    first = load(modules[0])
    sys.modules["tavrel"] = first  # the one the workload imports
    import workload

    args = workload.requests(REQUESTS)
    builds = [first, *(load(m) for m in modules[1:])]
    ops, digests = zip(*(operations(b, args) for b in builds), strict=True)
    if len(set(digests)) != 1:
        sys.exit("compare_builds: the builds' outputs differ")
    times = [{op: [] for op in ops[0]} for _ in builds]
    gc.collect()
    gc.freeze()
    for k in range(rounds + 1):  # round 0 warms caches and the allocator
        for op in ops[0]:
            for i in (range(len(builds)) if k % 2 == 0 else reversed(range(len(builds)))):
                run = ops[i][op]
                gc.disable()
                start = time.perf_counter_ns()
                result = run()
                elapsed = time.perf_counter_ns() - start
                gc.enable()
                del result
                if k:
                    times[i][op].append(elapsed / REQUESTS)
    print(json.dumps(times))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", metavar="NAME=MODULE.so", help="exactly two builds")
    parser.add_argument("--processes", type=int, default=4, help="processes, alternating the load order (default 4)")
    parser.add_argument("--rounds", type=int, default=10, help="rounds of each operation per process (default 10)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.rounds)
        return
    if len(args.builds) != 2:
        parser.error("give two builds as NAME=MODULE.so")
    names, modules = zip(*(spec.partition("=")[::2] for spec in args.builds), strict=True)
    times = {name: {} for name in names}
    for p in range(args.processes):
        order = [0, 1] if p % 2 == 0 else [1, 0]
        proc = subprocess.run([sys.executable, "-I", __file__, "--rounds", str(args.rounds),
                               "--child", *(modules[i] for i in order)], capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            sys.exit(f"compare_builds: a child failed:\n{proc.stderr}")
        for i, measured in zip(order, json.loads(proc.stdout), strict=True):
            for op, ns in measured.items():
                times[names[i]].setdefault(op, []).extend(ns)
    a, b = names
    print(f"{args.processes} processes x {args.rounds} interleaved rounds, {REQUESTS:,} requests, ns per request")
    print(f"{'operation':<22}{'best ' + a:>12}{'best ' + b:>12}{'median ' + b + '/' + a:>18}")
    for op in times[a]:
        ratios = [y / x for x, y in zip(times[a][op], times[b][op], strict=True)]
        print(f"{op:<22}{min(times[a][op]):>12,.0f}{min(times[b][op]):>12,.0f}{statistics.median(ratios):>17.3f}x")


if __name__ == "__main__":
    main()
