"""Arguments that fight back: sequences that change while they are read, exceptions that cannot
be printed, str subclasses with odd equality as keyword names and texts. The outcome is the
documented exception or exactly the right result, and a refused call keeps nothing."""

import contextlib
import gc
import sys

import pytest

from support import commands
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

GET = HTTPMETHOD.GET
A = Tavrel("https://h/a", [("K", "1")], HTTPMETHOD.POST, "x")
B = Tavrel("https://h/b", [], HTTPMETHOD.PUT, "")
C = Tavrel("https://h/c", [("Z", "é")], HTTPMETHOD.TRACE)
P, Q, R = ("p", "1"), ("q", "2"), ("r", "3")


def header_words(headers):
    return "".join(f' -H "{k}: {v}"' for k, v in headers)


def cmds(*requests):
    return [r.get_request_command() for r in requests]


@contextlib.contextmanager
def unraisable_reports():
    reports = []
    saved, sys.unraisablehook = sys.unraisablehook, lambda u: reports.append((u.exc_type, u.object))
    try:
        yield reports
    finally:
        sys.unraisablehook = saved


# --- Sequences that change while they are read --------------------------------------------------

class GrowingList(list):
    """Appends `extra` to itself when its own iteration reaches index `at`."""

    def __init__(self, items, extra, at):
        super().__init__(items)
        self.extra, self.at = extra, at

    def __iter__(self):
        i = 0
        while i < list.__len__(self):
            if i == self.at:
                self.append(self.extra)
            yield list.__getitem__(self, i)
            i += 1


class ClearingList(list):
    """Empties itself when its own iteration reaches index `at`."""

    def __init__(self, items, at):
        super().__init__(items)
        self.at = at

    def __iter__(self):
        it = list.__iter__(self)
        for i, item in enumerate(it):
            yield item
            if i + 1 == self.at:
                self.clear()  # the list iterator sees the list is now shorter and stops


class ByIndex:
    """A sequence by __getitem__ only; `on_index(self, i)` runs before each item is read."""

    def __init__(self, items, on_index=None, on_len=None):
        self.items, self.on_index, self.on_len = list(items), on_index, on_len

    def __len__(self):
        if self.on_len:
            self.on_len(self)
        return len(self.items)

    def __getitem__(self, i):
        if self.on_index:
            self.on_index(self, i)
        return self.items[i]


def iterated(seq):
    """What iterating a fresh copy of the hostile sequence yields."""
    return list(seq)


HOSTILE_SEQUENCES = {
    "list appends to itself": lambda items, extra: GrowingList(items, extra, at=1),
    "list clears itself": lambda items, extra: ClearingList(items, at=1),
    "getitem appends once": lambda items, extra: ByIndex(
        items, on_index=lambda s, i: i == 0 and s.items.append(extra)),
    "getitem clears": lambda items, extra: ByIndex(items, on_index=lambda s, i: i == 2 and s.items.clear()),
    "getitem removes ahead": lambda items, extra: ByIndex(items, on_index=lambda s, i: i == 0 and s.items.pop()),
    "getitem replaces ahead": lambda items, extra: ByIndex(
        items, on_index=lambda s, i: i == 0 and s.items.__setitem__(1, extra)),
    "len empties": lambda items, extra: ByIndex(items, on_len=lambda s: s.items.clear()),
    "len appends": lambda items, extra: ByIndex(items, on_len=lambda s: s.items.append(extra)),
    "len lies": lambda items, extra: type("Lying", (ByIndex,), {"__len__": lambda self: 10**9})(items),
}


class TestSequencesChangingWhileRead:
    @pytest.mark.parametrize("name", sorted(HOSTILE_SEQUENCES))
    def test_headers_are_what_iteration_gave(self, name):
        make = HOSTILE_SEQUENCES[name]
        expected = iterated(make([P, Q, R], ("x", "y")))
        command = Tavrel("u", make([P, Q, R], ("x", "y")), GET).get_request_command()
        assert command == "curl -X GET u" + header_words(expected)

    @pytest.mark.parametrize("name", sorted(HOSTILE_SEQUENCES))
    def test_collection_items_are_what_iteration_gave(self, name):
        make = HOSTILE_SEQUENCES[name]
        expected = iterated(make([A, B, C], A))
        assert commands(TavrelCollection(make([A, B, C], A))) == cmds(*expected)

    def test_other_module_calls_during_iteration(self):
        other = TavrelCollection()

        def on_index(seq, i):
            other.add_request(seq.items[min(i, len(seq.items) - 1)])
            other.export_collection()
            Tavrel("s://h/", [("k", "v")], GET).get_request_command()

        collection = TavrelCollection(ByIndex([A, B], on_index=on_index))
        assert commands(collection) == cmds(A, B)
        assert commands(other) == cmds(A, B, B)  # indexes 0, 1 and the closing 2

    def test_iteration_adds_to_a_collection_then_fails(self):
        other = TavrelCollection([C])

        def on_index(seq, i):
            other.add_request(A)
            if i == 1:
                raise ValueError("stop")

        with pytest.raises(ValueError, match="^stop$"):
            TavrelCollection(ByIndex([A, B], on_index=on_index))
        assert commands(other) == cmds(C, A, A)  # what the other collection was given stays


# --- Exceptions that cannot be printed ---------------------------------------------------------

class Unprintable:
    def __str__(self):
        raise LookupError("no text")


def failing_at(index, error):
    def on_index(seq, i):
        if i == index:
            raise error
    return on_index


class TestUnprintableMessages:
    @pytest.mark.parametrize("payload, report", [(Unprintable(), LookupError), ("bad \udc80", UnicodeEncodeError)])
    @pytest.mark.parametrize("call, param", [
        (lambda seq: Tavrel("u", seq, GET), "headers"),
        (lambda seq: TavrelCollection(seq), "collection"),
    ])
    def test_type_error_text_unprintable(self, call, param, payload, report):
        cause = KeyError("cause")
        error = TypeError(payload)
        error.__cause__ = cause
        items = [P, Q] if param == "headers" else [A, B]
        with unraisable_reports() as reports, pytest.raises(TypeError) as info:
            call(ByIndex(items, on_index=failing_at(1, error)))
        assert type(info.value) is TypeError and info.value is not error
        assert str(info.value) == f"argument '{param}': <unprintable TypeError object>"
        assert info.value.__cause__ is cause
        assert reports == [(report, error)]

    def test_type_error_subclass_passes_unchanged_without_report(self):
        error = type("OwnTypeError", (TypeError,), {})(Unprintable())
        with unraisable_reports() as reports, pytest.raises(TypeError) as info:
            Tavrel("u", ByIndex([P], on_index=failing_at(0, error)), GET)
        assert info.value is error
        assert reports == []

    @pytest.mark.parametrize("name, shown, report", [
        (type("RaisingStr", (str,), {"__str__": lambda self: Unprintable().__str__()})("zz"),
         "<unprintable RaisingStr object>", LookupError),
        (type("NotStrStr", (str,), {"__str__": lambda self: 5})("zz"), "<unprintable NotStrStr object>", TypeError),
        ("z\ud800", "<unprintable str object>", UnicodeEncodeError),
        (type("OwnText", (str,), {"__str__": lambda self: "shown"})("zz"), "shown", None),
        (7, "7", None),
    ])
    @pytest.mark.parametrize("call, owner", [
        (lambda kw: Tavrel("u", [], GET, **kw), "Tavrel.__new__()"),
        (lambda kw: TavrelCollection(**kw), "TavrelCollection.__new__()"),
    ])
    def test_unexpected_keyword_name(self, call, owner, name, shown, report):
        with unraisable_reports() as reports, pytest.raises(TypeError) as info:
            call({name: 1})
        assert str(info.value) == f"{owner} got an unexpected keyword argument '{shown}'"
        assert [r[0] for r in reports] == ([report] if report else [])
        assert all(r[1] is name for r in reports)

    def test_add_request_unexpected_keyword_unprintable(self):
        collection = TavrelCollection([A])
        name = type("RaisingStr", (str,), {"__str__": lambda self: Unprintable().__str__()})("x")
        with unraisable_reports() as reports, pytest.raises(TypeError) as info:
            collection.add_request(**{name: A})
        assert str(info.value) == ("TavrelCollection.add_request() got an unexpected keyword argument "
                                   "'<unprintable RaisingStr object>'")
        assert [r[0] for r in reports] == [LookupError]
        assert commands(collection) == cmds(A)


# --- str subclasses with odd equality -----------------------------------------------------------

class EqualToAll(str):
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return 1


class EqualToNone(str):
    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    def __hash__(self):
        return id(self)


class OtherHash(str):
    def __hash__(self):
        return 12345


class Disguised(str):
    """Every Python-level view of the text lies; only its characters are real."""

    def __str__(self):
        return "lie"

    def __len__(self):
        return 0

    def __iter__(self):
        return iter("lie")

    def __getitem__(self, i):
        return "lie"

    def encode(self, *args):
        return b"lie"


ODD_STRS = [EqualToAll, EqualToNone, OtherHash, Disguised]


class TestOddStrSubclasses:
    @pytest.mark.parametrize("cls", ODD_STRS)
    def test_as_keyword_names_bind_by_their_characters(self, cls):
        assert Tavrel("u", **{cls("headers"): [P]}, method=GET).get_request_command() == 'curl -X GET u -H "p: 1"'
        assert Tavrel("u", [P], **{cls("method"): GET}).get_request_command() == 'curl -X GET u -H "p: 1"'
        assert Tavrel("u", [], GET, **{cls("body"): "b"}).get_request_command() == "curl -X GET u -d 'b'"
        assert commands(TavrelCollection(**{cls("collection"): [A]})) == cmds(A)
        collection = TavrelCollection()
        collection.add_request(**{cls("tavrel"): B})
        assert commands(collection) == cmds(B)

    def test_keys_equal_to_all_collapse_before_the_call(self):
        kwargs = {EqualToAll("url"): "u", EqualToAll("headers"): [P], EqualToAll("method"): GET}
        assert len(kwargs) == 1  # one entry: the first key with the last value
        with pytest.raises(TypeError) as info:
            Tavrel(**kwargs)
        assert str(info.value) == ("Tavrel.__new__() missing 2 required positional arguments: "
                                   "'headers' and 'method'")

    @pytest.mark.parametrize("cls", [EqualToNone, OtherHash])
    def test_same_name_twice_as_distinct_keys(self, cls):
        kwargs = {"url": "u", cls("url"): "v"}
        assert len(kwargs) == 2
        with pytest.raises(TypeError) as info:
            Tavrel(headers=[], method=GET, **kwargs)
        assert str(info.value) == "Tavrel.__new__() got multiple values for argument 'url'"
        collection = TavrelCollection([A])
        with pytest.raises(TypeError) as info:
            collection.add_request(**{"tavrel": B, cls("tavrel"): C})
        assert str(info.value) == "TavrelCollection.add_request() got multiple values for argument 'tavrel'"
        assert commands(collection) == cmds(A)

    @pytest.mark.parametrize("cls", ODD_STRS)
    def test_as_texts_their_characters_are_used(self, cls):
        r = Tavrel(cls("s://h/p"), [(cls("k"), cls("v"))], GET, cls("it's"))
        assert r.get_request_command() == "curl -X GET s://h/p -H \"k: v\" -d 'it'\\''s'"
        assert '"name":"s://h/p"' in TavrelCollection([r]).export_collection()

    @pytest.mark.parametrize("cls", ODD_STRS)
    def test_as_headers_argument_refused_like_str(self, cls):
        with pytest.raises(TypeError) as info:
            Tavrel("u", cls("ab"), GET)
        assert str(info.value) == "argument 'headers': Can't extract `str` to `Vec`"


# --- A refused call keeps nothing --------------------------------------------------------------

class TestNothingKeptOnRefusal:
    @pytest.mark.parametrize("make, error", [
        (lambda: TavrelCollection([A, B, 5]), TypeError),
        (lambda: TavrelCollection(ByIndex([A, B, C], on_index=failing_at(2, ValueError("v")))), ValueError),
        (lambda: TavrelCollection(GrowingList([A, B], "x", at=1)), TypeError),
        (lambda: Tavrel("u", [P, Q, ("k", 1)], GET), TypeError),
        (lambda: Tavrel("u", [P, Q], GET, b"body"), TypeError),
        (lambda: Tavrel("u", GrowingList([P], ("a", "b", "c"), at=0), GET), ValueError),
        (lambda: Tavrel("u", [P], GET, "x\ud800"), UnicodeEncodeError),
    ])
    def test_no_instance_and_no_reference_left(self, make, error):
        watched = [Tavrel, TavrelCollection, A, B, C, P, Q, GET]
        make_and_fail(make, error)  # first call: any caches are filled
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(50):
            make_and_fail(make, error)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == before

    @pytest.mark.parametrize("call", [
        lambda c: c.add_request(5),
        lambda c: c.add_request(A, B),
        lambda c: c.add_request(A, tavrel=A),
        lambda c: c.add_request(**{EqualToNone("tavrel"): A, "tavrel": A}),
        lambda c: c.add_request(**{"x\ud800": A}),
        lambda c: c.add_request(tavrel=[A]),
    ])
    @pytest.mark.parametrize("initial", [None, [A, B]])
    def test_refused_add_request_leaves_collection_unchanged(self, initial, call):
        collection = TavrelCollection(initial)
        before, document = commands(collection), collection.export_collection()
        with unraisable_reports(), pytest.raises(TypeError):
            call(collection)
        assert commands(collection) == before
        assert collection.export_collection() == document
        collection.add_request(C)  # not left borrowed
        assert commands(collection) == (before or []) + cmds(C)


def make_and_fail(make, error):
    with unraisable_reports(), pytest.raises(error):
        make()
