"""The usage example in the README prints exactly the output shown under it."""
import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_usage_example_output_matches():
    text = README.read_text(encoding="utf-8")
    code = re.search(r"## Usage\n\n```python\n(.*?)```", text, re.S).group(1)
    shown = re.search(r"prints\n\n```text\n(.*?)```", text, re.S).group(1)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {})
    assert out.getvalue() == shown
