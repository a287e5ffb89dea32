"""Compares two builds of the tavrel module on the same workload: the developers' g++ build and
the release wheel's zig build.

    make bench-builds       # or: python benchmarks/compare_builds.py NAME=MODULE.so NAME=MODULE.so

Each build is loaded in processes of its own (a module file is imported from a folder that holds
it alone), and the processes alternate: round k runs build A then B, round k+1 B then A, so that a
busy neighbour on the machine or a warm-up slows both alike. A process times every operation a
few times on 20,000 requests from the benchmark's workload; the best over all rounds counts. The
outputs of both builds must be equal, or the comparison stops.
"""

import argparse
import gc
import hashlib
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REQUESTS = 20_000
CALLS = 3  # timed calls of each operation in one process


def measure() -> dict:
    """Runs in the child: ns per request of each operation, and a digest of the outputs."""
    import workload

    from tavrel import Tavrel, TavrelCollection

    args = workload.requests(REQUESTS)
    made = [Tavrel(*a) for a in args]
    full = TavrelCollection(made)
    digest = hashlib.sha256()
    for r in made:
        digest.update(r.get_request_command().encode())
    digest.update(full.export_collection().encode())

    def add_all():
        c = TavrelCollection()
        for r in made:
            c.add_request(r)
        return c

    cases = {
        "construct Tavrel": lambda: [Tavrel(*a) for a in args],
        "get_request_command": lambda: [r.get_request_command() for r in made],
        "add_request": add_all,
        "export_collection": full.export_collection,
        "get_collection": full.get_collection,
    }
    best = {}
    gc.collect()
    gc.freeze()
    for name, run in cases.items():
        times = []
        for _ in range(CALLS + 1):  # the first call warms caches and the allocator
            gc.disable()
            start = time.perf_counter_ns()
            result = run()
            times.append(time.perf_counter_ns() - start)
            gc.enable()
            del result
        best[name] = min(times[1:]) / REQUESTS
    return {"ns": best, "digest": digest.hexdigest()}


def child(folder: str) -> None:
    sys.path[:0] = [folder, str(HERE)]
    import tavrel

    assert pathlib.Path(tavrel.__file__).parent == pathlib.Path(folder), tavrel.__file__
    print(json.dumps(measure()))


def run_build(folder: pathlib.Path) -> dict:
    proc = subprocess.run([sys.executable, "-I", __file__, "--child", str(folder)],
                          capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        sys.exit(f"compare_builds: the build in {folder} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", metavar="NAME=MODULE.so", help="exactly two builds")
    parser.add_argument("--rounds", type=int, default=6, help="rounds per build (default 6)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    if len(args.builds) != 2:
        parser.error("give two builds as NAME=MODULE.so")
    with tempfile.TemporaryDirectory(prefix="tavrel-builds-") as tmp:
        folders = {}
        for spec in args.builds:
            name, _, module = spec.partition("=")
            folders[name] = pathlib.Path(tmp, name)
            folders[name].mkdir()
            shutil.copy(module, folders[name] / pathlib.Path(module).name)
        names = list(folders)
        best = {name: {} for name in names}
        digests = {}
        for k in range(args.rounds):
            for name in names if k % 2 == 0 else names[::-1]:
                result = run_build(folders[name])
                digests.setdefault(name, result["digest"])
                if result["digest"] != digests[names[0]]:
                    sys.exit(f"compare_builds: {name}'s outputs differ from {names[0]}'s")
                for op, ns in result["ns"].items():
                    best[name][op] = min(best[name].get(op, ns), ns)
    a, b = names
    print(f"best of {args.rounds} processes x {CALLS} calls per build, {REQUESTS:,} requests, ns per request")
    print(f"{'operation':<22}{a:>10}{b:>10}{b + '/' + a:>12}")
    for op in best[a]:
        print(f"{op:<22}{best[a][op]:>10,.0f}{best[b][op]:>10,.0f}{best[b][op] / best[a][op]:>11.2f}x")


if __name__ == "__main__":
    main()
