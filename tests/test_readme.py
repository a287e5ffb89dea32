"""Every example output in the README is what the code shown with it produces: `python` blocks
followed by "prints" and a `text` block, `console` blocks of `$ ` commands and their output, and
the table of error messages."""
import contextlib
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest

import tavrel

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")

PRINTED = re.findall(r"```python\n((?:(?!```).)*)```\n\nprints\n\n```text\n(.*?)```", README, re.S)
CONSOLE = re.findall(r"```console\n(.*?)```", README, re.S)
ERROR_TABLE = re.search(r"### Error messages\n.*?\n\|---\|---\|---\|\n(.*?)\n\n", README, re.S)


def code_span(cell):
    """The text of a table cell that is one code span (`x` or `` x ``)."""
    match = re.fullmatch(r"(`+) ?(.*?) ?\1", cell.strip())
    assert match, cell
    return match.group(2)


def test_the_readme_has_its_checked_examples():
    assert len(PRINTED) >= 5 and len(CONSOLE) >= 1 and ERROR_TABLE


@pytest.mark.parametrize("code, shown", PRINTED, ids=lambda s: s.splitlines()[0][:40])
def test_python_example_prints_what_is_shown(code, shown):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {})
    assert out.getvalue() == shown


@pytest.mark.parametrize("block", CONSOLE)
def test_console_example_prints_what_is_shown(block):
    # Each "$ " line runs in bash from the project root with this interpreter as `python`;
    # the lines up to the next command are its output (standard output and error together).
    commands = re.split(r"^\$ ", block, flags=re.M)[1:]
    env = dict(os.environ, PATH=f"{pathlib.Path(sys.executable).parent}:{os.environ['PATH']}")
    for part in commands:
        command, _, shown = part.partition("\n")
        proc = subprocess.run(["bash", "-c", command], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60)
        assert proc.stdout == shown, command


ROWS = [[cell for cell in row.strip().strip("|").split(" | ")]
        for row in ERROR_TABLE.group(1).splitlines()] if ERROR_TABLE else []


@pytest.mark.parametrize("call, raised, _", ROWS, ids=[r[0] for r in ROWS])
def test_error_table_row(call, raised, _):
    namespace = {name: getattr(tavrel, name) for name in tavrel.__all__}
    with pytest.raises(BaseException) as info:
        eval(code_span(call), namespace)
    assert f"{type(info.value).__name__}: {info.value}" == code_span(raised)
