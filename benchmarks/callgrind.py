"""Counts the instructions of each of tavrel's operations and of its floor under callgrind.

    make bench-callgrind     # or: .venv/bin/python benchmarks/callgrind.py [--jobs N] [--count N]

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

With `--aarch64 WHEEL` (as `make bench-callgrind` runs it, with the cp313 aarch64 release wheel),
the same steps of that wheel and of the floors built for aarch64 are also counted, and a third
table gives them beside this machine's ratios; they are informational, the targets judge this
machine's build. Debian's qemu-user has no plugins to count instructions with, so valgrind for
arm64 itself runs under qemu-user, in a Debian sid arm64 root made ready by
tools/callgrind-root.sh, with sid's CPython. A run of 10,000 requests per step takes about four
minutes there, so these make 3,000 (`--aarch64-count`): on x86-64, 3,000 gave the same counts per
request as 10,000 to within 1%, but for the add floor (250 against 254: the growing array and list
are copied by realloc more often on the way to 10,000).
"""

import argparse
import gc
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from itertools import starmap

import workload

from tavrel import Tavrel, TavrelCollection

COUNT = 10_000  # requests per step (--count), the export's at most EXPORT_REQUESTS of them
EXPORT_REQUESTS = 1_000
SCALE = 10  # the scaled export's collection holds the requests this many times over
AARCH64_COUNT = 3_000  # requests per step under emulation (--aarch64-count)
PORTABLE_TARGET = 1.5  # the portable build's count against this build's, at most

# operation -> target of tavrel/floor in instructions
OPERATIONS = {
    "construct": 1.3,
    "command": 2.0,
    "add": 2.0,
    "get": 1.3,
    "export": 6.0,
}
TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
LABELS = {
    "construct": "Tavrel(...)",
    "command": "get_request_command()",
    "add": "add_request()",
    "get": "get_collection(), per item",
    "export": "export_collection(), per request",
}


def requests(step: str, count: int) -> int:
    """The requests that `step` handles in a run of `count` requests per step."""
    if step.startswith("export-scaled"):
        return SCALE * count
    return min(count, EXPORT_REQUESTS) if step.startswith("export") else count


def run_step(step: str, count: int) -> None:
    # No collection of cycles in any run: where one fell (in the floor's step in one run, in
    # tavrel's in another, by how many objects the set-up had made) moved a step's count by up to
    # a thousand instructions per request, and with it the ratios.
    gc.disable()
    floors = workload.floors()
    args = workload.requests(count)
    tavrels = list(starmap(Tavrel, args))
    floor_requests = list(starmap(floors.Request, args))
    collection = TavrelCollection(tavrels)
    floor_collection = floors.Collection()
    list(map(floor_collection.add, floor_requests))
    small = TavrelCollection(tavrels[:EXPORT_REQUESTS])
    scaled = TavrelCollection(tavrels * SCALE)
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


def total(output: str) -> int:
    """The total of a callgrind output file."""
    with open(output) as counts:
        return int(re.search(r"^totals: (\d+)", counts.read(), re.MULTILINE)[1])


def run(command: list[str], **kwargs) -> None:
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode:
        sys.exit(f"failed with exit status {result.returncode}: {' '.join(command)}\n{result.stderr}")


def instructions(step: str, count: int, python: str = sys.executable) -> int:
    """Instructions that callgrind counts for the whole process running `step` under `python`."""
    with tempfile.TemporaryDirectory() as scratch:
        output = os.path.join(scratch, "callgrind.out")
        run(["setarch", platform.machine(), "-R", "valgrind", "--tool=callgrind", f"--callgrind-out-file={output}",
             python, os.path.abspath(__file__), "--step", step, "--count", str(count)],
            env={**os.environ, "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"})
        return total(output)


def aarch64_instructions(step: str, count: int, root: str, work: str) -> int:
    """The same for the aarch64 wheel: valgrind for arm64 runs this file's copy in `work`, a folder
    in the Debian sid root `root` made by tools/callgrind-root.sh, under qemu-user."""
    output = f"{work}/out/{step.replace('/', '-')}.out"
    run(["setarch", platform.machine(), "-R", os.path.join(TOOLS, "in-root.sh"), root,
         "env", "PYTHONHASHSEED=0", "PYTHONDONTWRITEBYTECODE=1", f"VALGRIND_LIB={work}/valgrind/libexec/valgrind",
         f"{work}/valgrind/bin/valgrind", "--tool=callgrind", f"--callgrind-out-file={output}",
         f"{work}/venv/bin/python", f"{work}/benchmarks/callgrind.py", "--step", step, "--count", str(count)])
    return total(root + output)


def per_request(totals: dict[str, int], count: int) -> dict[str, float]:
    """Each step's count less the baseline's, per request."""
    baseline = totals["baseline"]
    return {step: (total - baseline) / requests(step, count) for step, total in totals.items() if step != "baseline"}


def print_table(head: tuple, lines: list[tuple]) -> None:
    widths = [max(len(line[i]) for line in [head, *lines]) for i in range(len(head))]
    for line in [head, tuple("-" * w for w in widths), *lines]:
        cells = enumerate(zip(line, widths, strict=True))
        print("  ".join(text.ljust(w) if i == 0 else text.rjust(w) for i, (text, w) in cells))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--step")
    parser.add_argument("--count", type=int, default=COUNT,
                        help=f"requests per step (default {COUNT:,}; the export's at most {EXPORT_REQUESTS:,})")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind runs at a time (default 2)")
    parser.add_argument("--portable", metavar="PYTHON", help="also count the tavrel steps under this interpreter")
    parser.add_argument("--aarch64", metavar="WHEEL", help="also count the steps of this aarch64 wheel under emulation")
    parser.add_argument("--aarch64-count", type=int, default=AARCH64_COUNT,
                        help=f"requests per step under emulation (default {AARCH64_COUNT:,})")
    options = parser.parse_args()
    if options.step:
        run_step(options.step, options.count)
        return

    steps = ["baseline", *(f"{op}/{who}" for op in OPERATIONS for who in ("tavrel", "floor")),
             "export-scaled/tavrel"]
    portable_steps = ["baseline", *(f"{op}/tavrel" for op in OPERATIONS)] if options.portable else []
    aarch64_steps = ["baseline", *(f"{op}/{who}" for op in OPERATIONS for who in ("tavrel", "floor"))]
    runs = [(step, partial(instructions, count=options.count)) for step in steps]
    runs += [(step, partial(instructions, count=options.count, python=options.portable)) for step in portable_steps]
    work = None
    if options.aarch64:
        root, work = subprocess.run([os.path.join(TOOLS, "callgrind-root.sh"), options.aarch64], check=True,
                                    stdout=subprocess.PIPE, text=True).stdout.split()
        # The emulated runs, the longest, start first.
        runs = [(step, partial(aarch64_instructions, count=options.aarch64_count, root=root, work=work))
                for step in aarch64_steps] + runs
    try:
        with ThreadPoolExecutor(options.jobs) as pool:
            counts = list(pool.map(lambda run: run[1](run[0]), runs))
    finally:
        if work:
            shutil.rmtree(root + work)
    if options.aarch64:
        aarch64 = per_request(dict(zip(aarch64_steps, counts[:len(aarch64_steps)], strict=True)),
                              options.aarch64_count)
        counts = counts[len(aarch64_steps):]
    totals = dict(zip(steps, counts[:len(steps)], strict=True))
    per = per_request(totals, options.count)

    print(f"callgrind instructions (Ir) per request, each the difference to a run that only builds the inputs "
          f"({totals['baseline']:,} Ir)")
    head = ("operation", "requests", "tavrel", "floor", "tavrel/floor", "target", "met")
    lines = []
    for op, target in OPERATIONS.items():
        ratio = per[f"{op}/tavrel"] / per[f"{op}/floor"]
        lines.append((LABELS[op], f"{requests(op, options.count):,}", f"{per[f'{op}/tavrel']:,.0f}",
                      f"{per[f'{op}/floor']:,.0f}", f"{ratio:.2f}x", f"<= {target:g}x",
                      "yes" if ratio <= target else "NO"))
    growth = per["export-scaled/tavrel"] / per["export/tavrel"]
    scaled = requests("export-scaled", options.count)
    lines.append((f"export_collection(), {scaled:,} requests", f"{scaled:,}",
                  f"{per['export-scaled/tavrel']:,.0f}", "-",
                  f"{growth:.2f}x of {requests('export', options.count) // 1000}k", "<= 1.1x",
                  "yes" if growth <= 1.1 else "NO"))
    print_table(head, lines)

    if options.portable:
        portable = per_request(dict(zip(portable_steps, counts[len(steps):], strict=True)), options.count)
        print(f"\nthe portable build (no SIMD; {options.portable}) against this one, instructions per request")
        lines = []
        for op in OPERATIONS:
            ratio = portable[f"{op}/tavrel"] / per[f"{op}/tavrel"]
            lines.append((LABELS[op], f"{requests(op, options.count):,}", f"{per[f'{op}/tavrel']:,.0f}",
                          f"{portable[f'{op}/tavrel']:,.0f}", f"{ratio:.2f}x", f"<= {PORTABLE_TARGET:g}x",
                          "yes" if ratio <= PORTABLE_TARGET else "NO"))
        print_table(("operation", "requests", "this build", "portable", "portable/this", "target", "met"), lines)

    if options.aarch64:
        print(f"\n{os.path.basename(options.aarch64)} and the floors built for aarch64, instructions per request "
              f"(informational, not judged by the targets): valgrind for arm64 under qemu-user, with Debian sid's "
              f"CPython, beside this machine's ratio")
        lines = []
        for op in OPERATIONS:
            ratio = aarch64[f"{op}/tavrel"] / aarch64[f"{op}/floor"]
            lines.append((LABELS[op], f"{requests(op, options.aarch64_count):,}", f"{aarch64[f'{op}/tavrel']:,.0f}",
                          f"{aarch64[f'{op}/floor']:,.0f}", f"{ratio:.2f}x",
                          f"{per[f'{op}/tavrel'] / per[f'{op}/floor']:.2f}x"))
        print_table(("operation", "requests", "aarch64 tavrel", "aarch64 floor", "tavrel/floor",
                     f"{platform.machine()} tavrel/floor"), lines)


if __name__ == "__main__":
    main()
