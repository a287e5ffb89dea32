"""Allocation failures: every operation succeeds, raises MemoryError, or raises PanicException.

The interpreter's allocators are made to fail with _testcapi.set_nomemory, in two ways for each
operation and each allocation position k:
  * exhausted: every allocation from the k-th on fails (set_nomemory(k, 0));
  * single:    only the k-th allocation fails (set_nomemory(k, k + 1)).
The exhausted sweep runs until the operation completes untouched, which also counts its
allocations; the single sweep then fails each of those allocations in turn.

After every attempt the operation must have succeeded with the normal result, raised its normal
error, raised MemoryError, or raised the module's PanicException; no exception may be left set,
no half-built object may remain in a collection, and a following plain call must behave normally.
A sweep runs in a child process (this file run as a script), so that a crash fails the test
instead of ending pytest. Exhaustion of the C heap in the module's own code is checked the same
way with an address-space limit.
"""
import gc
import json
import operator
import os
import re
import subprocess
import sys
import textwrap

import pytest

from support import Seq, chained_type_error, commands
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

try:
    import _testcapi
except ImportError:
    _testcapi = None

needs_testcapi = pytest.mark.skipif(_testcapi is None, reason="needs _testcapi.set_nomemory")

PANIC_TEXT = "Python API call failed"
REPORT_LINE = "tavrel: internal failure in thread "
SETTLED = 8       # untouched completions in a row that end an exhausted sweep
MAX_POINTS = 2000


# --------------------------------------------------------------------------------------------
# Operations under test. Each maker returns (fn, args, kwargs, render, state): the operation is
# fn(*args, **kwargs), called straight from the frame that catches its exception; `render` turns
# its result into plain data; `state` describes what the operation may change (or is None).

GET, POST = HTTPMETHOD.GET, HTTPMETHOD.POST
U, H = "https://host.example/a/b", [("Accept", "text/plain"), ("X-Id", "42")]


def _request():
    return Tavrel(U, H, POST, "payload")


def _command(result):
    return result.get_request_command()


def _same(result):
    return result


def _listed_commands(result):
    return [r.get_request_command() for r in result]


def _add_request(initial, **kwargs):
    def make():
        collection = TavrelCollection(initial() if initial else None)
        args = () if kwargs else (_request(),)
        return collection.add_request, args, {k: v() for k, v in kwargs.items()}, _same, lambda: commands(collection)
    return make


def _on_collection(method, render):
    def make():
        collection = TavrelCollection([_request(), Tavrel("http://h2/x", [], HTTPMETHOD.PUT)])
        return getattr(collection, method), (), {}, render, lambda: commands(collection)
    return make


def _call(fn, *args, render=_same, **kwargs):
    """A maker for fn(*args, **kwargs) on fixed arguments."""
    return lambda: (fn, args, kwargs, render, None)


def _fails(exc_type, fn, *args, **kwargs):
    """A maker for a failing path; normally the call raises exc_type."""
    make = _call(fn, *args, **kwargs)
    make.fails_with = exc_type
    return make


def _fails_on(exc_type, build, callback=None):
    """Like _fails, for a call whose callable and arguments are made afresh by build();
    `callback` names the class of a Python sequence the operation calls into."""
    def make():
        fn, args = build()
        return fn, args, {}, _same, None
    make.fails_with, make.callback = exc_type, callback
    return make


MAKERS = {
    "Tavrel positional": _call(Tavrel, U, H, POST, "payload", render=_command),
    "Tavrel keywords": _call(Tavrel, url=U, headers=H, method=POST, body="payload", render=_command),
    "TavrelCollection from list": lambda: (TavrelCollection, ([_request(), _request()],), {}, commands, None),
    "TavrelCollection unset": _call(TavrelCollection, render=commands),
    "get_request_command": lambda: (_request().get_request_command, (), {}, _same, None),
    "add_request": _add_request(lambda: [_request()]),
    "add_request keyword to unset": _add_request(None, tavrel=_request),
    "get_collection": _on_collection("get_collection", _listed_commands),
    "export_collection": _on_collection("export_collection", _same),
    "HTTPMETHOD repr": _call(repr, HTTPMETHOD.OPTIONS),
    "HTTPMETHOD int": _call(int, HTTPMETHOD.CONNECT),
    "HTTPMETHOD ==": _call(operator.eq, POST, GET),
    "HTTPMETHOD != other type": _call(operator.ne, POST, 1),
    "url wrong type": _fails(TypeError, Tavrel, 5, H, GET),
    "headers wrong type": _fails(TypeError, Tavrel, U, 5, GET),
    "str headers": _fails(TypeError, Tavrel, U, "A: b", GET),
    "dict headers": _fails(TypeError, Tavrel, U, {"A": "b"}, GET),
    "list pair": _fails(TypeError, Tavrel, U, [["A", "b"]], GET),
    "3-tuple pair": _fails(ValueError, Tavrel, U, [("A", "b", "c")], GET),
    "method wrong type": _fails(TypeError, Tavrel, U, H, "GET"),
    "body wrong type": _fails(TypeError, Tavrel, U, H, GET, 5),
    "surrogate": _fails(UnicodeEncodeError, Tavrel, U, [("k", "v\ud800")], GET),
    "headers item raises TypeError with cause": _fails_on(
        TypeError, lambda: (Tavrel, (U, Seq(H, fail=chained_type_error, at=1), GET)), callback="Seq"),
    "Tavrel missing": _fails(TypeError, Tavrel, U),
    "Tavrel too many": _fails(TypeError, Tavrel, U, H, GET, "b", "c"),
    "Tavrel unexpected keyword": _fails(TypeError, Tavrel, U, H, GET, extra=1),
    "Tavrel multiple values": _fails(TypeError, Tavrel, U, H, GET, url=U),
    "collection item not a Tavrel": _fails_on(TypeError, lambda: (TavrelCollection, ([_request(), "x"],))),
    "add_request(5)": _fails_on(TypeError, lambda: (TavrelCollection([_request()]).add_request, (5,))),
    "add_request unexpected keyword": _fails(TypeError, TavrelCollection().add_request, request=1),
    "export without host": _fails_on(
        ValueError, lambda: (TavrelCollection([_request(), Tavrel("no-host", [], GET)]).export_collection, ())),
}

# The operations whose result object is made by the module after its own work is done.
RESULT_MAKERS = ["get_request_command", "get_collection", "export_collection", "HTTPMETHOD repr"]
# Those whose result is a str: one that the interpreter cannot make is its MemoryError.
STR_RESULT_MAKERS = ["get_request_command", "export_collection", "HTTPMETHOD repr"]
# The others: a result object that cannot be made is a PanicException.
OBJECT_RESULT_MAKERS = [name for name in RESULT_MAKERS if name not in STR_RESULT_MAKERS]


# --------------------------------------------------------------------------------------------
# The child process.

def _attempt(fn, args, kwargs, start, stop, set_nomemory=None, remove=None):
    # Kept tiny: nothing but the operation runs while allocations fail, and its exception is
    # caught right here (an exception leaving a further Python frame while an allocation fails
    # can come out as the interpreter's own SystemError).
    set_nomemory(start, stop)
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:
        remove()
        return None, exc
    finally:
        remove()
    return result, None


def _outcome(prepared, start, stop):
    """One attempt of a prepared operation: (kind, rendered result or message, state after)."""
    fn, args, kwargs, render, state = prepared
    gc.collect()
    result, exc = _attempt(fn, args, kwargs, start, stop, *_HOOKS)
    if sys.exc_info() != (None, None, None):
        return "exception left set", repr(sys.exc_info()[1]), None
    state_after = state() if state else None
    if exc is None:
        return "returned", render(result), state_after
    if type(exc).__name__ == "PanicException" and type(exc).__module__ == "tavrel":
        is_base = issubclass(type(exc), BaseException) and not issubclass(type(exc), Exception)
        kind = "PanicException" if is_base and str(exc) == PANIC_TEXT else "malformed PanicException"
        return kind, str(exc), state_after
    kind = "MemoryError" if type(exc) is MemoryError else f"raised {type(exc).__name__}"
    return kind, str(exc), state_after


def _plain(prepared):
    return _outcome(prepared, 1 << 30, 0)


def _reference(make):
    kind, value, state_after = _plain(make())
    fails_with = getattr(make, "fails_with", None)
    want = "returned" if fails_with is None else f"raised {fails_with.__name__}"
    assert kind == want, f"the operation itself went wrong: {kind} {value}"
    return kind, value, state_after


# Tolerated texts of the normal error (see _tolerated).
_NO_TYPE_NAME = "'<failed to extract type name>' object cannot be converted"
_CALLBACK_LOST = re.compile(r"<function (\w+)\.__getitem__ at 0x[0-9a-f]+> returned NULL without setting an exception")


def _tolerated(make, kind, value, ref_kind, ref_value):
    """Outcomes that are neither normal nor MemoryError but are accepted, by name:
    * the normal conversion error naming the object's type as unavailable, when the type's name
      could not be made (a static type's qualified name is a new string);
    * the SystemError the interpreter itself makes when a Python __getitem__ of the caller's
      sequence raises while an allocation fails (it does so without tavrel too); tavrel passes
      it on unchanged as it does every non-TypeError from the sequence."""
    if kind == ref_kind and value == re.sub(r"'[^']*' object cannot be converted", _NO_TYPE_NAME, ref_value):
        return "normal error, type name unavailable"
    if kind == "raised SystemError" and getattr(make, "callback", None) and _CALLBACK_LOST.fullmatch(value) \
            and _CALLBACK_LOST.fullmatch(value).group(1) == make.callback:
        return "SystemError of the interpreter in the callback"
    return None


def _check(make, reference, start, stop, tally, faults):
    """One injected attempt, then a plain call on the same objects. True when the attempt was
    not affected at all."""
    ref_kind, ref_value, ref_after = reference
    prepared = make()
    state_before = prepared[4]() if prepared[4] else None
    kind, value, state_after = _outcome(prepared, start, stop)
    where = f"set_nomemory({start}, {stop})"
    untouched = (kind, value, state_after) == reference
    label = "normal outcome" if untouched else kind
    if not untouched and kind not in ("MemoryError", "PanicException"):
        label = _tolerated(make, kind, value, ref_kind, ref_value)
        if label is None:
            label = f"unexpected: {kind}"
            faults.append(f"{where}: got {kind} {str(value)[:200]!r} state {state_after!r}; "
                          f"normally {ref_kind} {str(ref_value)[:200]!r} state {ref_after!r}")
    tally[label] = tally.get(label, 0) + 1
    if not untouched and not label.startswith("unexpected") and state_after != state_before:
        faults.append(f"{where}: {label} but the state changed: {state_before!r} -> {state_after!r}")
    follow = _plain(prepared)
    if follow[:2] != (ref_kind, ref_value):
        faults.append(f"{where}: the following plain call gave {follow[0]} {str(follow[1])[:200]!r}")
    return untouched


def _prime_panic():
    """Raises and catches one PanicException (the interpreter cannot make a result list)."""
    collection = TavrelCollection([_request()])
    for k in range(50):
        result, exc = _attempt(collection.get_collection, (), {}, k, k + 1, *_HOOKS)
        if exc is not None and type(exc).__name__ == "PanicException":
            return exc
    raise AssertionError("no PanicException could be provoked")


def resume_panic():
    """A PanicException that comes back into the module from Python code (here a headers
    sequence raising it) is not an ordinary exception: the module reports it and panics again."""
    panic = _prime_panic()
    cls = type(panic)
    try:
        Tavrel("u", Seq([], fail=panic, at=0), HTTPMETHOD.GET)
        outcome = "returned"
    except Exception as exc:
        outcome = f"caught by except Exception: {exc!r}"
    except BaseException as again:
        outcome = [type(again) is cls, again is panic, list(again.args)]
    print("RESUME " + json.dumps({"type": [cls.__module__, cls.__qualname__, [b.__name__ for b in cls.__bases__]],
                                  "doc": cls.__doc__, "args": list(panic.args), "outcome": outcome}), flush=True)


def sweep(name, primed):
    make = MAKERS[name]
    reference = _reference(make)
    if primed:
        _prime_panic()
    gc.disable()
    tally, faults = {}, []
    k, settled = 0, 0
    while settled < SETTLED and k < MAX_POINTS:
        untouched = _check(make, reference, k, 0, tally, faults)
        settled = settled + 1 if untouched else 0
        k += 1
    points = k - settled
    single = {}
    for k in range(points + SETTLED):
        _check(make, reference, k, k + 1, single, faults)
    gc.enable()
    print("SWEEP " + json.dumps({"points": points, "exhausted": tally, "single": single, "faults": faults}),
          flush=True)


def first_panic(name):
    """Every allocation fails from the start, before any PanicException was ever made."""
    fn, args, kwargs = MAKERS[name]()[:3]
    result, exc = _attempt(fn, args, kwargs, 0, 0, *_HOOKS)
    print("FIRST " + json.dumps([type(exc).__name__ if exc else "returned",
                                 sys.exc_info() != (None, None, None)]), flush=True)


_HOOKS = (_testcapi.set_nomemory, _testcapi.remove_mem_hooks) if _testcapi else (None, None)


# --------------------------------------------------------------------------------------------
# The tests.

def _child(*args, timeout=300):
    flags = ["-X", "dev"] if sys.flags.dev_mode else []
    return subprocess.run([sys.executable, *flags, __file__, *args], capture_output=True, text=True,
                          timeout=timeout)


def _line(proc, prefix):
    lines = [line for line in proc.stdout.splitlines() if line.startswith(prefix)]
    assert proc.returncode == 0 and lines, (
        f"child exited with {proc.returncode}\nstdout tail:\n{proc.stdout[-2000:]}\n"
        f"stderr tail:\n{proc.stderr[-3000:]}")
    return json.loads(lines[-1][len(prefix):])


def _sweep(name, start):
    proc = _child("sweep", name, start)
    summary = _line(proc, "SWEEP ")
    print(name, start, summary)
    return proc, summary


@needs_testcapi
@pytest.mark.parametrize("name", list(MAKERS))
def test_allocation_failures_end_in_normal_outcome_or_memory_error(name):
    _, summary = _sweep(name, "fresh")
    assert summary["faults"] == []
    assert summary["points"] > 0
    assert "MemoryError" in summary["exhausted"] and "MemoryError" in summary["single"]


@needs_testcapi
@pytest.mark.parametrize("name", STR_RESULT_MAKERS)
def test_result_str_failure_raises_memory_error_without_a_report(name):
    proc, summary = _sweep(name, "fresh")
    assert summary["faults"] == []
    assert "PanicException" not in summary["exhausted"] and "PanicException" not in summary["single"]
    assert summary["single"].get("MemoryError", 0) > 0
    assert REPORT_LINE not in proc.stderr


@needs_testcapi
@pytest.mark.parametrize("name", OBJECT_RESULT_MAKERS)
def test_result_object_failure_raises_panic_exception_after_a_report(name):
    # "primed": one PanicException was raised before the sweep (see the next test).
    proc, summary = _sweep(name, "primed")
    assert summary["faults"] == []
    panics = summary["single"].get("PanicException", 0)
    assert panics > 0
    # A report for every panic, the priming one included (an internal failure whose
    # PanicException could not be made either is reported too, and ends as MemoryError).
    assert proc.stderr.count(REPORT_LINE) >= panics + 1
    assert proc.stderr.count(f"\n  {PANIC_TEXT}\n") >= panics + 1


@needs_testcapi
@pytest.mark.parametrize("name", RESULT_MAKERS)
def test_first_panic_while_memory_is_exhausted_does_not_abort(name):
    proc = _child("first", name)
    kind, left_set = _line(proc, "FIRST ")
    assert kind in ("MemoryError", "PanicException")
    assert not left_set


@needs_testcapi
def test_panic_exception_type_and_its_resumption_from_python():
    proc = _child("resume")
    seen = _line(proc, "RESUME ")
    assert seen["type"] == ["tavrel", "PanicException", ["BaseException"]]
    assert seen["doc"].startswith("\n") and seen["doc"].endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")
    assert seen["args"] == [PANIC_TEXT]
    # Raised anew (not the same object), with the same text, and not caught by except Exception.
    assert seen["outcome"] == [True, False, [PANIC_TEXT]]
    assert ("--- tavrel is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n") in proc.stderr
    assert proc.stderr.count(REPORT_LINE) == 2  # the first panic and the resumed one


@needs_testcapi
@pytest.mark.parametrize("name", ["url wrong type", "str headers", "list pair", "add_request(5)"])
def test_memory_error_while_forming_an_argument_error_is_not_turned_into_type_error(name):
    _, summary = _sweep(name, "fresh")
    bare_prefix = re.compile(r"got raised TypeError \"argument '\w+': \"")
    assert [f for f in summary["faults"] if bare_prefix.search(f)] == []


RLIMIT_CHILD = textwrap.dedent("""
    import mmap
    import resource
    from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    # A command and an export far larger than the room left: the native buffers or the result str
    # cannot be made. An ASCII text goes into its str as it is, another is decoded at the end.
    unlimited = resource.getrlimit(resource.RLIMIT_AS)
    for kind, char in (("ascii", "x"), ("non-ascii", "\u00e9")):
        body = char * (200 << 20)
        request = Tavrel("https://h/p", [("K", "v")], HTTPMETHOD.POST, body)
        collection = TavrelCollection([request])
        del body
        limit = vm_size() + (100 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, unlimited[1]))
        try:
            mmap.mmap(-1, limit).close()  # more than the limit leaves: refused where it holds
            print("RESULT limit not enforced")
            raise SystemExit
        except OSError:
            pass
        for name, operation in (("command", request.get_request_command), ("export", collection.export_collection)):
            try:
                operation()
                print("RESULT", name, kind, "returned")
            except BaseException as error:
                print("RESULT", name, kind, type(error).__name__)
        del request, collection
        resource.setrlimit(resource.RLIMIT_AS, unlimited)
    small = Tavrel("https://h/p", [("K", "v")], HTTPMETHOD.GET, "b").get_request_command()
    print("AFTER", small)
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves far more address space than any limit here")
def test_native_allocation_failure_raises_memory_error():
    proc = subprocess.run([sys.executable, "-c", RLIMIT_CHILD], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    if proc.stdout.startswith("RESULT limit not enforced"):
        pytest.skip("RLIMIT_AS is not enforced here (qemu-user, which runs the aarch64 wheels' tests, ignores it)")
    assert proc.stdout.splitlines() == [
        "RESULT command ascii MemoryError", "RESULT export ascii MemoryError",
        "RESULT command non-ascii MemoryError", "RESULT export non-ascii MemoryError",
        """AFTER curl -X GET https://h/p -H "K: v" -d 'b'"""]
    assert "internal failure" not in proc.stderr


if __name__ == "__main__":
    if sys.argv[1] == "sweep":
        sweep(sys.argv[2], sys.argv[3] == "primed")
    elif sys.argv[1] == "first":
        first_panic(sys.argv[2])
    elif sys.argv[1] == "resume":
        resume_panic()
