"""No operation, succeeding or failing, leaks objects, memory or references.

Each case is run a few thousand times after a warm-up. Python-level memory is watched through
sys.getallocatedblocks() and tracemalloc; memory the native code takes from the C heap (the
request records are C++ strings and vectors) through glibc's mallinfo2() where it is usable.
Reference counts are watched on the argument objects, made at run time so that none is immortal,
and on the module's three types.
"""
import ctypes
import ctypes.util
import gc
import sys
import tracemalloc

import pytest

from support import Seq, chained_type_error, conv
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

TYPES = (Tavrel, TavrelCollection, HTTPMETHOD)
WARMUP = 300
ROUNDS = 3000
TRACED_ROUNDS = 1000
BLOCK_SLACK = 64          # pymalloc blocks
TRACED_SLACK = 16 * 1024  # bytes
HEAP_SLACK = 64 * 1024    # bytes; one leaked record per call would be far above this


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_probe():
    """Bytes in use on the C heap, or None where glibc's mallinfo2 is missing or unused."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    # A sanitizer runtime replaces malloc; then glibc's counters stay flat.
    before = in_use()
    probe = ctypes.create_string_buffer(1 << 16)
    grew = in_use() - before
    del probe
    return in_use if grew >= 1 << 16 else None


HEAP_IN_USE = _heap_probe()


def text(*parts):
    """A new, non-interned str made at run time (longer than a C++ small-string buffer)."""
    return "".join([*parts, "-made-at-run-time-", str(len(parts))])


def expect(exc_type, message, fn, *args, **kwargs):
    """Calls fn, which must raise exactly `exc_type` with `message` (a failing path is only
    measured when it really is taken)."""
    try:
        fn(*args, **kwargs)
    except exc_type as e:
        if type(e) is not exc_type or str(e) != message:
            raise AssertionError(f"{fn.__name__} raised {type(e).__name__}: {e}") from None
        return
    raise AssertionError(f"{getattr(fn, '__name__', fn)} did not raise {exc_type.__name__}")


def make_args():
    """Fresh argument objects for one case; every value here is watched."""
    a = {}
    a["url"] = text("https://host.example/path")
    a["key"], a["value"], a["body"] = text("X-Key"), text("header-value"), text("body")
    a["pair"] = (a["key"], a["value"])
    a["pair2"] = (text("Accept"), text("application/json"))
    a["headers"] = [a["pair"], a["pair2"]]
    a["method"] = HTTPMETHOD.POST
    a["other_method"] = HTTPMETHOD.GET
    a["request"] = Tavrel(a["url"], a["headers"], a["method"], a["body"])
    a["requests"] = [a["request"], Tavrel(text("http://h2/x"), [], HTTPMETHOD.PUT)]
    a["collection"] = TavrelCollection(a["requests"])
    a["unset_collection"] = TavrelCollection()
    a["no_host"] = TavrelCollection([a["request"], Tavrel(text("no-host"), [], HTTPMETHOD.GET)])
    a["unsendable"] = Tavrel(a["url"], [a["pair"], (text("X-Crlf"), text("a\r\nb"))], HTTPMETHOD.GET)
    a["surrogate"] = text("bad\ud800")
    a["int"] = 10**30 + len(a["url"])  # a non-cached int
    a["dict_headers"] = {a["key"]: a["value"]}
    a["str_headers"] = text("A: b")
    a["list_pair"] = [[a["key"], a["value"]]]
    a["triple"] = [(a["key"], a["value"], a["body"])]
    a["bad_value"] = [(a["key"], a["int"])]
    a["surrogate_headers"] = [(a["key"], a["surrogate"])]
    a["seq"] = Seq(a["headers"], fail=chained_type_error, at=1)
    a["item_list"] = [a["request"], a["url"]]
    a["kw_name"] = text("unknown")
    return a


def _cases():
    """(name, runner) pairs; runner(a) performs one operation on the arguments `a`."""
    T, C = Tavrel, TavrelCollection
    te, ve, ue = TypeError, ValueError, UnicodeEncodeError
    surrogate_msg = "'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"
    return [
        # operations that succeed
        ("Tavrel positional", lambda a: T(a["url"], a["headers"], a["method"], a["body"])),
        ("Tavrel keywords", lambda a: T(body=a["body"], method=a["method"], headers=a["headers"], url=a["url"])),
        ("Tavrel without body", lambda a: T(a["url"], a["headers"], a["method"])),
        ("TavrelCollection from list", lambda a: C(a["requests"])),
        ("TavrelCollection keyword", lambda a: C(collection=a["requests"])),
        ("TavrelCollection unset", lambda a: C()),
        ("get_request_command", lambda a: a["request"].get_request_command()),
        ("add_request", lambda a: C(a["requests"]).add_request(a["request"])),
        ("add_request keyword to unset", lambda a: C().add_request(tavrel=a["request"])),
        ("get_collection", lambda a: a["collection"].get_collection()),
        ("get_collection unset", lambda a: a["unset_collection"].get_collection()),
        ("export_collection", lambda a: a["collection"].export_collection()),
        ("export_collection unset", lambda a: a["unset_collection"].export_collection()),
        ("HTTPMETHOD repr", lambda a: repr(a["method"])),
        ("HTTPMETHOD int", lambda a: int(a["method"])),
        ("HTTPMETHOD ==", lambda a: (a["method"] == a["other_method"], a["method"] != a["method"])),
        ("HTTPMETHOD == other type", lambda a: (a["method"] == a["int"], a["method"] != a["url"])),
        # conversion failures
        ("url wrong type", lambda a: expect(
            te, conv("url", "int", "PyString"), T, a["int"], a["headers"], a["method"])),
        ("headers wrong type", lambda a: expect(
            te, conv("headers", "int", "Sequence"), T, a["url"], a["int"], a["method"])),
        ("str headers", lambda a: expect(
            te, "argument 'headers': Can't extract `str` to `Vec`", T, a["url"], a["str_headers"], a["method"])),
        ("dict headers", lambda a: expect(
            te, conv("headers", "dict", "Sequence"), T, a["url"], a["dict_headers"], a["method"])),
        ("list pair", lambda a: expect(
            te, conv("headers", "list", "PyTuple"), T, a["url"], a["list_pair"], a["method"])),
        ("3-tuple pair", lambda a: expect(
            ve, "expected tuple of length 2, but got tuple of length 3", T, a["url"], a["triple"], a["method"])),
        ("header value wrong type", lambda a: expect(
            te, conv("headers", "int", "PyString"), T, a["url"], a["bad_value"], a["method"])),
        ("method wrong type", lambda a: expect(
            te, conv("method", "str", "HTTPMETHOD"), T, a["url"], a["headers"], a["url"])),
        ("body wrong type", lambda a: expect(
            te, conv("body", "int", "PyString"), T, a["url"], a["headers"], a["method"], a["int"])),
        ("surrogate url", lambda a: expect(ue, surrogate_msg, T, a["surrogate"], a["headers"], a["method"])),
        ("surrogate header", lambda a: expect(ue, surrogate_msg, T, a["url"], a["surrogate_headers"], a["method"])),
        ("surrogate body", lambda a: expect(ue, surrogate_msg, T, a["url"], a["headers"], a["method"], a["surrogate"])),
        ("headers item raises TypeError with cause", lambda a: expect(
            te, "argument 'headers': refused item", T, a["url"], a["seq"], a["method"])),
        ("collection item not a Tavrel", lambda a: expect(
            te, conv("collection", "str", "Tavrel"), C, a["item_list"])),
        ("collection str", lambda a: expect(
            te, "argument 'collection': Can't extract `str` to `Vec`", C, a["url"])),
        ("add_request(5)", lambda a: expect(
            te, conv("tavrel", "int", "Tavrel"), a["collection"].add_request, a["int"])),
        ("export without host", lambda a: expect(
            ve, f'request 1 has url "{text("no-host")}" without a host: expected a host after "scheme://"',
            a["no_host"].export_collection)),
        ("command refused", lambda a: expect(
            ve, f'header 1 ("{text("X-Crlf")}") holds U+000D, which no HTTP header can carry; '
            "the command cannot send it",
            a["unsendable"].get_request_command)),
        # binding failures
        ("Tavrel missing", lambda a: expect(
            te, "Tavrel.__new__() missing 2 required positional arguments: 'headers' and 'method'", T, a["url"])),
        ("Tavrel too many", lambda a: expect(
            te, "Tavrel.__new__() takes from 3 to 4 positional arguments but 5 were given",
            T, a["url"], a["headers"], a["method"], a["body"], a["body"])),
        ("Tavrel unexpected keyword", lambda a: expect(
            te, f"Tavrel.__new__() got an unexpected keyword argument '{a['kw_name']}'",
            T, a["url"], a["headers"], a["method"], **{a["kw_name"]: a["body"]})),
        ("Tavrel multiple values", lambda a: expect(
            te, "Tavrel.__new__() got multiple values for argument 'url'",
            T, a["url"], a["headers"], a["method"], url=a["url"])),
        ("TavrelCollection too many", lambda a: expect(
            te, "TavrelCollection.__new__() takes from 0 to 1 positional arguments but 2 were given",
            C, a["requests"], a["requests"])),
        ("TavrelCollection unexpected keyword", lambda a: expect(
            te, f"TavrelCollection.__new__() got an unexpected keyword argument '{a['kw_name']}'",
            C, **{a["kw_name"]: a["requests"]})),
        ("add_request missing", lambda a: expect(
            te, "TavrelCollection.add_request() missing 1 required positional argument: 'tavrel'",
            a["collection"].add_request)),
        ("add_request too many", lambda a: expect(
            te, "TavrelCollection.add_request() takes 1 positional arguments but 2 were given",
            a["collection"].add_request, a["request"], a["request"])),
        ("add_request unexpected keyword", lambda a: expect(
            te, f"TavrelCollection.add_request() got an unexpected keyword argument '{a['kw_name']}'",
            a["collection"].add_request, **{a["kw_name"]: a["request"]})),
        ("add_request multiple values", lambda a: expect(
            te, "TavrelCollection.add_request() got multiple values for argument 'tavrel'",
            a["collection"].add_request, a["request"], tavrel=a["request"])),
    ]


CASES = _cases()


def _snapshot(args):
    gc.collect()
    return [sys.getrefcount(o) for o in args.values()], [sys.getrefcount(t) for t in TYPES]


@pytest.mark.parametrize("run", [c[1] for c in CASES], ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_leak(run):
    args = make_args()
    collection_commands = [r.get_request_command() for r in args["collection"].get_collection()]
    for _ in range(WARMUP):
        run(args)

    refs_before, type_refs_before = _snapshot(args)
    blocks_before = sys.getallocatedblocks()
    heap_before = HEAP_IN_USE() if HEAP_IN_USE else 0
    for _ in range(ROUNDS):
        run(args)
    gc.collect()
    heap_growth = (HEAP_IN_USE() if HEAP_IN_USE else 0) - heap_before
    block_growth = sys.getallocatedblocks() - blocks_before
    refs_after, type_refs_after = _snapshot(args)

    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            run(args)
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(TRACED_ROUNDS):
            run(args)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()

    print(f"growth: blocks {block_growth} traced {traced_growth} heap {heap_growth}")  # shown with -s
    changed = {name: (b, a) for name, b, a in zip(args, refs_before, refs_after, strict=True) if a != b}
    assert changed == {}, f"argument reference counts changed (before, after): {changed}"
    assert type_refs_after == type_refs_before, (
        f"type reference counts changed: {type_refs_before} -> {type_refs_after}")
    assert block_growth <= BLOCK_SLACK, f"{block_growth} more allocated blocks after {ROUNDS} calls"
    assert traced_growth <= TRACED_SLACK, f"{traced_growth} more traced bytes after {TRACED_ROUNDS} calls"
    assert heap_growth <= HEAP_SLACK, f"{heap_growth} more C heap bytes in use after {ROUNDS} calls"
    # The shared collection was not changed by any case (failed add_request included).
    after = [r.get_request_command() for r in args["collection"].get_collection()]
    assert after == collection_commands, "the shared collection was changed"
