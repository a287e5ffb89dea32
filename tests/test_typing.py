"""The installed type information: stubtest against the built module, and mypy and basedpyright
on sample files that use tavrel rightly (no error) and wrongly (errors exactly where marked)."""

import json
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from support import plain_env

SAMPLES = pathlib.Path(__file__).resolve().parent / "typing"
BIN = pathlib.Path(sys.executable).parent


def marked_lines(name):
    """Line numbers of the sample that carry an `# error` comment."""
    lines = (SAMPLES / name).read_text().splitlines()
    return {n for n, line in enumerate(lines, 1) if re.search(r"#\s*error\b", line)}


def run(args, cwd, env=None):
    return subprocess.run(args, cwd=cwd, env=env or plain_env(), capture_output=True, text=True,
                          timeout=300)


def mypy_errors(name, cwd):
    # Run outside the source tree so that only the installed tavrel-stubs can answer.
    proc = run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                "--cache-dir", str(cwd / "cache"), str(SAMPLES / name)], cwd)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    return {int(m) for m in re.findall(rf"^.*{name}:(\d+): error:", proc.stdout, re.M)}, proc


def pyright_errors(name, cwd):
    exe = shutil.which("basedpyright", path=str(BIN)) or shutil.which("basedpyright")
    if exe is None:
        pytest.skip("basedpyright is not installed")
    proc = run([exe, "--outputjson", "--pythonpath", sys.executable, str(SAMPLES / name)], cwd)
    report = json.loads(proc.stdout)
    return {d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]
            if d["severity"] == "error"}, proc


def test_stubs_match_the_built_module(tmp_path):
    # The module itself is imported here, so the environment (a sanitizer preload) is kept.
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tavrel"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


@pytest.mark.parametrize("checker", [mypy_errors, pyright_errors], ids=["mypy", "basedpyright"])
class TestTypeCheckers:
    def test_correct_use_passes(self, checker, tmp_path):
        errors, proc = checker("good.py", tmp_path)
        assert errors == set(), proc.stdout
        assert proc.returncode == 0, proc.stdout + proc.stderr

    def test_wrong_use_is_reported_where_marked(self, checker, tmp_path):
        errors, proc = checker("bad.py", tmp_path)
        assert errors == marked_lines("bad.py"), proc.stdout
        assert len(errors) >= 2 and proc.returncode != 0
