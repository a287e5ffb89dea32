"""Counts the instructions of one export and of a batch of commands under callgrind.

    make bench-callgrind     # or: .venv/bin/python benchmarks/callgrind.py

Instruction counts do not depend on what else the machine runs, so they judge a change to the
hot paths without timing noise. Each total comes from two callgrind runs of this same file: one
that only builds the inputs (`--step baseline`), and one that builds them and then does the work;
the work's total is the difference. Every run uses the same hash seed, writes no bytecode cache
and runs without address space randomisation (`setarch -R`), so the set-up costs nearly the same
instructions in each; repeated runs of this script have agreed to within about 0.4%.
"""

import argparse
import os
import platform
import re
import subprocess
import sys
import tempfile
from itertools import starmap

import workload

from tavrel import Tavrel, TavrelCollection

EXPORT_REQUESTS = 1_000
COMMANDS = 10_000
STEPS = {
    "export": f"export_collection() of {EXPORT_REQUESTS:,} requests",
    "commands": f"get_request_command() of {COMMANDS:,} requests",
}


def run_step(step: str) -> None:
    tavrels = list(starmap(Tavrel, workload.requests(COMMANDS)))
    collection = TavrelCollection(tavrels[:EXPORT_REQUESTS])
    if step == "export":
        collection.export_collection()
    elif step == "commands":
        list(map(Tavrel.get_request_command, tavrels))


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
    parser.add_argument("--step", choices=("baseline", *STEPS))
    step = parser.parse_args().step
    if step:
        run_step(step)
        return

    baseline = instructions("baseline")
    print(f"callgrind instructions (Ir), each the difference to a run that only builds the inputs "
          f"({baseline:,} Ir):")
    for name, what in STEPS.items():
        total = instructions(name) - baseline
        count = EXPORT_REQUESTS if name == "export" else COMMANDS
        print(f"  {what:<42} {total:>14,} Ir  {total / count:>10,.0f} Ir per request")


if __name__ == "__main__":
    main()
