"""Tavrel constructor: argument conversion, its failures and reference handling."""
import collections
import gc
import sys

import pytest

from support import Seq, conv, for_version, shell_split
from tavrel import HTTPMETHOD, Tavrel

GET = HTTPMETHOD.GET
Pair = collections.namedtuple("Pair", "key value")


class Holder:
    class Inner:
        pass


def cmd(*args, **kwargs):
    return Tavrel(*args, **kwargs).get_request_command()


def raises(exc_type, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        Tavrel(*args, **kwargs)
    assert type(info.value) is exc_type
    return info.value


class TestAcceptedArguments:
    @pytest.mark.parametrize("headers, expected", [
        ([], "curl -X GET u"),
        ((), "curl -X GET u"),
        ((("A", "1"), ("A", "2")), 'curl -X GET u -H "A: 1" -H "A: 2"'),
        ([Pair("k", "v"), type("T", (tuple,), {})(("j", ""))], 'curl -X GET u -H "k: v" -H "j;"'),
        (Seq([("a", "1"), ("b", "2")], length=RuntimeError("len")), 'curl -X GET u -H "a: 1" -H "b: 2"'),
        (Seq([("a", "1")], length=TypeError("len")), 'curl -X GET u -H "a: 1"'),
        (Seq([("a", "1")], length=2**70), 'curl -X GET u -H "a: 1"'),
        (Seq([("a", "1")], length=sys.maxsize), 'curl -X GET u -H "a: 1"'),
        (Seq([("a", "1"), ("b", "2"), ("c", "3")], length=1), 'curl -X GET u -H "a: 1" -H "b: 2" -H "c: 3"'),
        (Seq([("a", "1")], length=0), 'curl -X GET u -H "a: 1"'),
    ])
    def test_headers(self, headers, expected):
        assert cmd("u", headers, GET) == expected

    @pytest.mark.parametrize("args, kwargs, suffix", [
        ((), {}, "u"), ((None,), {}, "u"), ((), {"body": None}, "u"),
        (("",), {}, "u -d ''"), ((), {"body": ""}, "u -d ''"), (("a b",), {}, "u -d 'a b'"),
    ])
    def test_absent_and_empty_body(self, args, kwargs, suffix):
        assert cmd("u", [], HTTPMETHOD.DELETE, *args, **kwargs) == f"curl -X DELETE {suffix}"

    def test_empty_url(self):
        assert cmd("", [], GET) == "curl -X GET "

    @pytest.mark.parametrize("url, key, value, body", [
        ("ü/ö", "ключ", "v😀", "日本"),
        ("a\tb\x1b", "k\x85", "\tv", "\r\n\x7f"),
    ])
    def test_text_kept_exactly(self, url, key, value, body):
        words = shell_split(cmd(url, [(key, value)], HTTPMETHOD.POST, body))
        assert words == ["curl", "-X", "POST", url, "-H", f"{key}: {value}", "-d", body]

    def test_huge_url(self):
        assert cmd("x" * 10**6, [], GET) == "curl -X GET " + "x" * 10**6

    def test_str_subclass_text_not_its_str(self):
        class S(str):
            def __str__(self):
                return "wrong"
        assert cmd(S("u"), [(S("k"), S("v"))], GET, S("b")) == "curl -X GET u -H \"k: v\" -d 'b'"


class TestConversionFailures:
    @pytest.mark.parametrize("args, message", [
        ((5, [], GET), conv("url", "int", "PyString")),
        ((None, [], GET), conv("url", "NoneType", "PyString")),
        ((b"u", [], GET), conv("url", "bytes", "PyString")),
        (("u", [], GET, 5), conv("body", "int", "PyString")),
        (("u", [], GET, False), conv("body", "bool", "PyString")),
        (("u", "abc", GET), "argument 'headers': Can't extract `str` to `Vec`"),
        (("u", "", GET), "argument 'headers': Can't extract `str` to `Vec`"),
        (("u", type("S", (str,), {})("ab"), GET), "argument 'headers': Can't extract `str` to `Vec`"),
        (("u", {"A": "b"}, GET), conv("headers", "dict", "Sequence")),
        (("u", set(), GET), conv("headers", "set", "Sequence")),
        (("u", (p for p in []), GET), conv("headers", "generator", "Sequence")),
        (("u", iter([]), GET), conv("headers", "list_iterator", "Sequence")),
        (("u", None, GET), conv("headers", "NoneType", "Sequence")),
        (("u", [["A", "b"]], GET), conv("headers", "list", "PyTuple")),
        (("u", ["Ab"], GET), conv("headers", "str", "PyTuple")),
        (("u", b"ab", GET), conv("headers", "int", "PyTuple")),
        (("u", [(1, "v")], GET), conv("headers", "int", "PyString")),
        (("u", [("a", "b"), ("k", 1)], GET), conv("headers", "int", "PyString")),
        (("u", [("k", None)], GET), conv("headers", "NoneType", "PyString")),
        (("u", [("k", Holder.Inner())], GET), conv("headers", "Holder.Inner", "PyString")),
        # first failing argument wins, in parameter order
        ((5, "abc", "GET", 5), conv("url", "int", "PyString")),
        (("u", {}, "GET", 5), conv("headers", "dict", "Sequence")),
        (("u", [], "GET", 5), conv("method", "str", "HTTPMETHOD")),
        (("u", [("k", "v")], GET, 5), conv("body", "int", "PyString")),
    ])
    def test_type_errors(self, args, message):
        exc = raises(TypeError, *args)
        assert str(exc) == message
        assert exc.__cause__ is None

    @pytest.mark.parametrize("pair, n", [((), 0), (("a",), 1), (("a", "b", "c"), 3), (("a", 1, 2), 3)])
    def test_pair_length_error_has_no_prefix(self, pair, n):
        exc = raises(ValueError, "u", [("x", "y"), pair], "GET")
        assert str(exc) == f"expected tuple of length 2, but got tuple of length {n}"

    @pytest.mark.parametrize("args", [
        ("a\ud800", [], GET), ("u", [("a\ud800", "v")], GET),
        ("u", [("k", "a\ud800")], GET), ("u", [], GET, "a\ud800"), ("a\ud800", {}, "GET"),
    ])
    def test_lone_surrogate_passes_unchanged(self, args):
        exc = raises(UnicodeEncodeError, *args)
        assert str(exc) == "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"


class TestHostileHeaderSequences:
    def test_type_error_with_cause_is_prefixed_and_keeps_that_cause(self):
        cause = ValueError("y")
        try:
            raise TypeError("x") from cause
        except TypeError as e:
            raised = e
        exc = raises(TypeError, "u", Seq([("a", "b")], fail=raised, at=1), GET)
        assert str(exc) == "argument 'headers': x"
        assert exc is not raised
        assert exc.__cause__ is cause

    def test_type_error_without_cause(self):
        exc = raises(TypeError, "u", Seq([], fail=TypeError("x"), at=0), GET)
        assert str(exc) == "argument 'headers': x"
        assert exc.__cause__ is None

    def test_type_error_from_iterator(self):
        class Gen(Seq):
            def __iter__(self):
                yield ("a", "b")
                raise TypeError("from iterator")
        assert str(raises(TypeError, "u", Gen([]), GET)) == "argument 'headers': from iterator"

    def test_iter_returning_non_iterator(self):
        class Bad(Seq):
            def __iter__(self):
                return 5
        exc = raises(TypeError, "u", Bad([]), GET)
        # The interpreter's own message, which 3.15 changed (naming the method by the class's
        # module and qualified name).
        assert str(exc) == "argument 'headers': " + for_version({
            (3, 13): "iter() returned non-iterator of type 'int'",
            (3, 15): f"{Bad.__module__}.{Bad.__qualname__}.__iter__() must return an iterator, not int",
        })

    @pytest.mark.parametrize("fail", [
        KeyError("k"), RuntimeError("r"), type("SubTypeError", (TypeError,), {})("sub"),
    ])
    def test_other_exceptions_pass_unchanged(self, fail):
        with pytest.raises(BaseException) as info:
            Tavrel("u", Seq([("a", "b")], fail=fail, at=1), GET)
        assert info.value is fail


class TestReferenceCounts:
    def test_types_and_arguments_not_leaked(self):
        url, key, value, body = ("".join([p, "-made-at-run-time"]) for p in ("http://h", "k", "v", "b"))
        pair = (key, value)
        headers = [pair]
        watched = [Tavrel, HTTPMETHOD, GET, url, key, value, body, pair, headers]
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(1000):
            Tavrel(url, headers, GET, body).get_request_command()
            Tavrel(url=url, headers=headers, method=GET)
            for bad in ([(key, 1)], [(key, value, body)], Seq(headers, length=RuntimeError())):
                try:
                    Tavrel(url, bad, GET, body)
                except (TypeError, ValueError):
                    pass
            with pytest.raises(TypeError):
                Tavrel(url, headers, "GET", body)
        del bad  # the last Seq still holds `headers`
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == before
