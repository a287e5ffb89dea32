"""Sub-interpreters: legacy ones get the module's own ImportError from its init function;
isolated ones refuse the module before it is ever handed to them, whether or not the main
interpreter has imported it. The main interpreter keeps working either way."""

import subprocess
import sys
import textwrap

import pytest

_interpreters = pytest.importorskip("_interpreters", reason="_interpreters is needed to start a sub-interpreter")

SUBINTERP_MESSAGE = (
    "tavrel modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"
)

# Run in a sub-interpreter: two imports, each line naming the exception's exact type.
SUB_CODE = """
import sys
for attempt in range(2):
    try:
        import tavrel
        print("SUB imported", flush=True)
    except ImportError as e:
        print("SUB", type(e).__name__, str(e), flush=True)
print("SUB in sys.modules", "tavrel" in sys.modules, flush=True)
"""

SCRIPT = """
import json, sys, _interpreters
code = {code!r}

def run(config):
    iid = _interpreters.create() if config == "default" else _interpreters.create(_interpreters.new_config(config))
    try:
        assert _interpreters.exec(iid, code) is None
    finally:
        _interpreters.destroy(iid)

if {main_first}:
    import tavrel
    first = tavrel
run({config!r})
run("legacy")
sys.modules.pop("tavrel", None)  # the import below runs the module's init function again
import tavrel
if {main_first}:
    print("MAIN same", tavrel is first, flush=True)
print("MAIN all", tavrel.__all__, flush=True)
r = tavrel.Tavrel("s://h/p", [("k", "v")], tavrel.HTTPMETHOD.PUT, "")
print("MAIN", r.get_request_command(), flush=True)
print("MAIN", json.loads(tavrel.TavrelCollection([r]).export_collection())["item"][0]["request"]["url"], flush=True)
"""


def run_script(config, main_first):
    script = SCRIPT.format(code=SUB_CODE, config=config, main_first=main_first)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@pytest.mark.parametrize("main_first", [False, True], ids=["sub-first", "main-first"])
@pytest.mark.parametrize("config", ["default", "isolated"])
def test_isolated_subinterpreter_refused_by_interpreter(config, main_first):
    lines = run_script(config, main_first)
    isolated, legacy, main = lines[:3], lines[3:6], lines[6:]

    # the interpreter's own check for single-phase modules, not the module's message
    for line in isolated[:2]:
        kind, _, text = line.removeprefix("SUB ").partition(" ")
        assert kind == "ImportError", line
        assert "subinterpreters" in text and "tavrel" in text
        assert text != SUBINTERP_MESSAGE
    assert isolated[2] == "SUB in sys.modules False"

    # afterwards a legacy sub-interpreter still gets the module's own refusal
    assert legacy == [f"SUB ImportError {SUBINTERP_MESSAGE}"] * 2 + ["SUB in sys.modules False"]

    expected_main = ["MAIN same True"] if main_first else []
    expected_main += [
        "MAIN all ['Tavrel', 'TavrelCollection', 'HTTPMETHOD']",
        "MAIN curl -X PUT s://h/p -H \"k: v\" -d ''",
        "MAIN {'host': 'h', 'path': ['p'], 'protocol': 's', 'raw': 's://h/p'}",
    ]
    assert main == expected_main


# Each launcher runs `code` in a legacy sub-interpreter (shared GIL, no
# multi-interpreter extension check), so the module's init function is called.
LAUNCHERS = {
    "_interpreters": """
        import _interpreters
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        try:
            assert _interpreters.exec(iid, code) is None
        finally:
            _interpreters.destroy(iid)
    """,
    "_testcapi": """
        import _testcapi
        assert _testcapi.run_in_subinterp(code) == 0
    """,
    "_testinternalcapi": """
        import _interpreters, _testinternalcapi
        cfg = _interpreters.new_config("legacy")
        assert _testinternalcapi.run_in_subinterp_with_config(code, cfg) == 0
    """,
}

class TestSubInterpreter:
    @pytest.mark.parametrize("launcher", sorted(LAUNCHERS))
    def test_import_refused_in_second_interpreter(self, launcher):
        for name in {"_interpreters", launcher} if launcher != "_testcapi" else {launcher}:
            pytest.importorskip(name, reason=f"{name} is needed to start a sub-interpreter")
        script = "\n".join([
            "import importlib, sys, tavrel",
            f"code = {SUB_CODE!r}",
            textwrap.dedent(LAUNCHERS[launcher]),
            "del sys.modules['tavrel']",
            "again = importlib.import_module('tavrel')",
            "print('MAIN same', again is tavrel, flush=True)",
            "r = tavrel.Tavrel('u', [('k', 'v')], tavrel.HTTPMETHOD.PUT, '')",
            "print('MAIN', r.get_request_command(), flush=True)",
        ])
        proc = subprocess.run([sys.executable, "-c", script],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines() == [
            f"SUB ImportError {SUBINTERP_MESSAGE}",
            f"SUB ImportError {SUBINTERP_MESSAGE}",
            "SUB in sys.modules False",
            "MAIN same True",
            "MAIN curl -X PUT u -H \"k: v\" -d ''",
        ]
