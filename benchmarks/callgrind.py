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
"""

import argparse
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


def instructions(step: str) -> int:
    """Instructions that callgrind counts for the whole process running `step`."""
    with tempfile.TemporaryDirectory() as scratch:
        output = os.path.join(scratch, "callgrind.out")
        subprocess.run(["setarch", platform.machine(), "-R", "valgrind", "--tool=callgrind",
                        f"--callgrind-out-file={output}",
                        sys.executable, os.path.abspath(__file__), "--step", step],
                       check=True, capture_output=True,
                       env={**os.environ, "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"})
        with open(output) as counts:
            return int(re.search(r"^totals: (\d+)", counts.read(), re.MULTILINE)[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--step")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind runs at a time (default 2)")
    options = parser.parse_args()
    if options.step:
        run_step(options.step)
        return

    steps = ["baseline", *(f"{op}/{who}" for op in OPERATIONS for who in ("tavrel", "floor")),
             "export-scaled/tavrel"]
    with ThreadPoolExecutor(options.jobs) as pool:
        totals = dict(zip(steps, pool.map(instructions, steps), strict=True))
    baseline = totals.pop("baseline")
    per = {step: (total - baseline) / (SCALED_EXPORT if step.startswith("export-scaled") else
                                       OPERATIONS[step.split("/")[0]][0])
           for step, total in totals.items()}

    print(f"callgrind instructions (Ir) per request, each the difference to a run that only builds the inputs "
          f"({baseline:,} Ir)")
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
    widths = [max(len(line[i]) for line in [head, *lines]) for i in range(len(head))]
    for line in [head, tuple("-" * w for w in widths), *lines]:
        cells = enumerate(zip(line, widths, strict=True))
        print("  ".join(text.ljust(w) if i == 0 else text.rjust(w) for i, (text, w) in cells))


if __name__ == "__main__":
    main()
