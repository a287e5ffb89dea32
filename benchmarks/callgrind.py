"""Counts the instructions of each of tavrel's operations and of its floor under callgrind.

    make bench-callgrind     # or: .venv/bin/python benchmarks/callgrind.py [--jobs N]

Instruction counts do not depend on what else the machine runs, so they judge a change to the
hot paths without timing noise. Each total comes from two callgrind runs of this same file: one
that only builds the inputs (`--step baseline`), and one that builds them and then does the work;
the work's total is the difference. Every run uses the same hash seed, writes no bytecode cache
and runs without address space randomisation (`setarch -R`), so the set-up costs nearly the same
instructions in each; repeated runs of this script have agreed to within about 0.4%.

The floors are the minimal native versions of the operations (benchmarks/floors/floors.c, built
by `make bench-callgrind`); benchmarks/README.md says what each one does.

With `--portable PYTHON` (as `make bench-callgrind` runs it), the same steps of tavrel are also
counted under PYTHON, whose tavrel is the portable build (every byte scan in plain C++, no SIMD),
and a second table gives its count per request beside this build's.
"""

import argparse
import gc
import os
import platform
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from itertools import starmap

import workload

from tavrel import Tavrel, TavrelCollection

COUNT = 10_000
EXPORT_REQUESTS = 1_000
SCALED_EXPORT = 100_000  # the COUNT records ten times over
PORTABLE_TARGET = 1.5  # the portable build's count against this build's, at most

# operation -> (requests per run, target of tavrel/floor in instructions)
OPERATIONS = {
    "construct": (COUNT, 1.3),
    "command": (COUNT, 2.0),
    "add": (COUNT, 2.0),
    "get": (COUNT, 1.3),
    "export": (EXPORT_REQUESTS, 6.0),
}
LABELS = {
    "construct": "Tavrel(...)",
    "command": "get_request_command()",
    "add": "add_request()",
    "get": "get_collection(), per item",
    "export": "export_collection(), per request",
}


def run_step(step: str) -> None:
    # No collection of cycles in any run: where one fell (in the floor's step in one run, in
    # tavrel's in another, by how many objects the set-up had made) moved a step's count by up to
    # a thousand instructions per request, and with it the ratios.
    gc.disable()
    floors = workload.floors()
    args = workload.requests(COUNT)
    tavrels = list(starmap(Tavrel, args))
    floor_requests = list(starmap(floors.Request, args))
    collection = TavrelCollection(tavrels)
    floor_collection = floors.Collection()
    list(map(floor_collection.add, floor_requests))
    small = TavrelCollection(tavrels[:EXPORT_REQUESTS])
    scaled = TavrelCollection(tavrels * (SCALED_EXPORT // COUNT))
    document = small.export_collection().encode()

    steps = {
        "construct/tavrel": lambda: list(starmap(Tavrel, args)),
        "construct/floor": lambda: list(starmap(floors.Request, args)),
        "command/tavrel": lambda: list(map(Tavrel.get_request_command, tavrels)),
        "command/floor": lambda: list(map(floors.Request.command, floor_requests)),
        "add/tavrel": lambda: list(map(TavrelCollection().add_request, tavrels)),
        "add/floor": lambda: list(map(floors.Collection().add, floor_requests)),
        "get/tavrel": collection.get_collection,
        "get/floor": floor_collection.get,
        "export/tavrel": small.export_collection,
        "export/floor": lambda: floors.export(document),
        "export-scaled/tavrel": scaled.export_collection,
    }
    if step != "baseline":
        steps[step]()


def instructions(step: str, python: str = sys.executable) -> int:
    """Instructions that callgrind counts for the whole process running `step` under `python`."""
    with tempfile.TemporaryDirectory() as scratch:
        output = os.path.join(scratch, "callgrind.out")
        subprocess.run(["setarch", platform.machine(), "-R", "valgrind", "--tool=callgrind",
                        f"--callgrind-out-file={output}",
                        python, os.path.abspath(__file__), "--step", step],
                       check=True, capture_output=True,
                       env={**os.environ, "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"})
        with open(output) as counts:
            return int(re.search(r"^totals: (\d+)", counts.read(), re.MULTILINE)[1])


def per_request(totals: dict[str, int]) -> dict[str, float]:
    """Each step's count less the baseline's, per request."""
    baseline = totals["baseline"]
    return {step: (total - baseline) / (SCALED_EXPORT if step.startswith("export-scaled") else
                                        OPERATIONS[step.split("/")[0]][0])
            for step, total in totals.items() if step != "baseline"}


def print_table(head: tuple, lines: list[tuple]) -> None:
    widths = [max(len(line[i]) for line in [head, *lines]) for i in range(len(head))]
    for line in [head, tuple("-" * w for w in widths), *lines]:
        cells = enumerate(zip(line, widths, strict=True))
        print("  ".join(text.ljust(w) if i == 0 else text.rjust(w) for i, (text, w) in cells))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--step")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind runs at a time (default 2)")
    parser.add_argument("--portable", metavar="PYTHON", help="also count the tavrel steps under this interpreter")
    options = parser.parse_args()
    if options.step:
        run_step(options.step)
        return

    steps = ["baseline", *(f"{op}/{who}" for op in OPERATIONS for who in ("tavrel", "floor")),
             "export-scaled/tavrel"]
    portable_steps = ["baseline", *(f"{op}/tavrel" for op in OPERATIONS)] if options.portable else []
    runs = [(step, sys.executable) for step in steps] + [(step, options.portable) for step in portable_steps]
    with ThreadPoolExecutor(options.jobs) as pool:
        counts = list(pool.map(lambda run: instructions(*run), runs))
    totals = dict(zip(steps, counts[:len(steps)], strict=True))
    per = per_request(totals)

    print(f"callgrind instructions (Ir) per request, each the difference to a run that only builds the inputs "
          f"({totals['baseline']:,} Ir)")
    head = ("operation", "requests", "tavrel", "floor", "tavrel/floor", "target", "met")
    lines = []
    for op, (count, target) in OPERATIONS.items():
        ratio = per[f"{op}/tavrel"] / per[f"{op}/floor"]
        lines.append((LABELS[op], f"{count:,}", f"{per[f'{op}/tavrel']:,.0f}", f"{per[f'{op}/floor']:,.0f}",
                      f"{ratio:.2f}x", f"<= {target:g}x", "yes" if ratio <= target else "NO"))
    growth = per["export-scaled/tavrel"] / per["export/tavrel"]
    lines.append((f"export_collection(), {SCALED_EXPORT:,} requests", f"{SCALED_EXPORT:,}",
                  f"{per['export-scaled/tavrel']:,.0f}", "-", f"{growth:.2f}x of 1k", "<= 1.1x",
                  "yes" if growth <= 1.1 else "NO"))
    print_table(head, lines)
    if not options.portable:
        return

    portable = per_request(dict(zip(portable_steps, counts[len(steps):], strict=True)))
    print(f"\nthe portable build (no SIMD; {options.portable}) against this one, instructions per request")
    lines = []
    for op, (count, _) in OPERATIONS.items():
        ratio = portable[f"{op}/tavrel"] / per[f"{op}/tavrel"]
        lines.append((LABELS[op], f"{count:,}", f"{per[f'{op}/tavrel']:,.0f}", f"{portable[f'{op}/tavrel']:,.0f}",
                      f"{ratio:.2f}x", f"<= {PORTABLE_TARGET:g}x", "yes" if ratio <= PORTABLE_TARGET else "NO"))
    print_table(("operation", "requests", "this build", "portable", "portable/this", "target", "met"), lines)


if __name__ == "__main__":
    main()
