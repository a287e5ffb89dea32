"""TavrelCollection: the stored list, copies in and out, and argument refusals."""

import gc

import pytest

from support import Seq, commands, req
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

A = req("https://h/a", [("K", "1"), ("K", "2")], HTTPMETHOD.POST, "x")
B = req("https://h/b", [], HTTPMETHOD.PUT, "")
C = req("https://h/c", [("Z", "é")], HTTPMETHOD.TRACE)


class TestStoredList:
    @pytest.mark.parametrize("make", [
        lambda: TavrelCollection(), lambda: TavrelCollection(None),
        lambda: TavrelCollection(collection=None)])
    def test_unset_is_none(self, make):
        assert make().get_collection() is None

    @pytest.mark.parametrize("empty", [[], (), Seq([])])
    def test_empty_is_empty_list(self, empty):
        assert TavrelCollection(empty).get_collection() == []

    @pytest.mark.parametrize("make", [
        lambda: TavrelCollection([A, B, C]), lambda: TavrelCollection((A, B, C)),
        lambda: TavrelCollection(collection=[A, B, C]), lambda: TavrelCollection(Seq([A, B, C]))])
    def test_constructor_items_in_order(self, make):
        assert commands(make()) == [r.get_request_command() for r in (A, B, C)]

    def test_len_that_raises_is_ignored(self):
        collection = TavrelCollection(Seq([A, B], length=RuntimeError("no len")))
        assert commands(collection) == [A.get_request_command(), B.get_request_command()]


class TestConstructorRefusals:
    @pytest.mark.parametrize("arg, message", [
        ("", "argument 'collection': Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("ab"), "argument 'collection': Can't extract `str` to `Vec`"),
        ({}, "argument 'collection': 'dict' object cannot be converted to 'Sequence'"),
        ({A}, "argument 'collection': 'set' object cannot be converted to 'Sequence'"),
        ((r for r in [A]), "argument 'collection': 'generator' object cannot be converted to 'Sequence'"),
        (iter([A]), "argument 'collection': 'list_iterator' object cannot be converted to 'Sequence'"),
        (b"ab", "argument 'collection': 'int' object cannot be converted to 'Tavrel'"),
        ([A, "x"], "argument 'collection': 'str' object cannot be converted to 'Tavrel'"),
        ([A, TavrelCollection()],
         "argument 'collection': 'TavrelCollection' object cannot be converted to 'Tavrel'"),
    ])
    def test_refused(self, arg, message):
        with pytest.raises(TypeError) as info:
            TavrelCollection(arg)
        assert str(info.value) == message
        assert info.value.__cause__ is None


class TestIterationFailures:
    def test_type_error_gets_prefix_and_keeps_cause(self):
        cause = KeyError("k")
        error = TypeError("boom")
        error.__cause__ = cause
        with pytest.raises(TypeError) as info:
            TavrelCollection(Seq([A, B], fail=error, at=1))
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'collection': boom"
        assert info.value.__cause__ is cause

    @pytest.mark.parametrize("error", [ValueError("bad"), type("SubTypeError", (TypeError,), {})("sub")])
    def test_other_exceptions_pass_unchanged(self, error):
        with pytest.raises(type(error)) as info:
            TavrelCollection(Seq([A, B], fail=error, at=0))
        assert info.value is error

    def test_iter_failure(self):
        class BadIter(Seq):
            def __iter__(self):
                raise TypeError("no iterator")
        with pytest.raises(TypeError) as info:
            TavrelCollection(BadIter([A]))
        assert str(info.value) == "argument 'collection': no iterator"


class TestAddRequest:
    def test_unset_becomes_one_element(self):
        collection = TavrelCollection()
        assert collection.add_request(A) is None
        assert commands(collection) == [A.get_request_command()]

    def test_appends_after_constructor_items(self):
        collection = TavrelCollection((C,))
        collection.add_request(A)
        collection.add_request(tavrel=B)
        assert commands(collection) == [r.get_request_command() for r in (C, A, B)]

    def test_same_request_twice(self):
        collection = TavrelCollection()
        collection.add_request(A)
        collection.add_request(A)
        first, second = collection.get_collection()
        assert first is not second
        assert first.get_request_command() == second.get_request_command() == A.get_request_command()

    @pytest.mark.parametrize("call, message", [
        (lambda c: c.add_request(5), "argument 'tavrel': 'int' object cannot be converted to 'Tavrel'"),
        (lambda c: c.add_request(c),
         "argument 'tavrel': 'TavrelCollection' object cannot be converted to 'Tavrel'"),
        (lambda c: c.add_request(HTTPMETHOD.GET),
         "argument 'tavrel': 'HTTPMETHOD' object cannot be converted to 'Tavrel'"),
    ])
    @pytest.mark.parametrize("initial", [None, [B]])
    def test_refused_and_unchanged(self, initial, call, message):
        collection = TavrelCollection(initial)
        before = commands(collection)
        with pytest.raises(TypeError) as info:
            call(collection)
        assert str(info.value) == message
        assert commands(collection) == before
        collection.add_request(A)  # the collection is not left borrowed
        assert commands(collection) == (before or []) + [A.get_request_command()]


class TestCopies:
    def test_get_collection_returns_new_objects(self):
        collection = TavrelCollection([A])
        first, second = collection.get_collection(), collection.get_collection()
        assert first is not second and first[0] is not second[0] and first[0] is not A
        assert type(first[0]) is Tavrel

    def test_returned_list_is_detached(self):
        collection = TavrelCollection([A, B])
        got = collection.get_collection()
        got.append(C)
        got.reverse()
        del got[0]
        assert commands(collection) == [A.get_request_command(), B.get_request_command()]

    def test_outlives_the_added_requests(self):
        collection = TavrelCollection([req("https://h/one", [("K", "v" * 1000)], body="b")])
        collection.add_request(req("https://h/two", [("A", "1")], body=None))
        gc.collect()
        assert commands(collection) == [
            'curl -X GET https://h/one -H "K: ' + "v" * 1000 + '" -d \'b\'',
            'curl -X GET https://h/two -H "A: 1"']

    def test_many_added_requests_keep_their_texts(self):
        """Added copies are stored in blocks the collection allocates in bulk, from small to large
        (and a text larger than any block), beside the constructor's copies, which own theirs: all
        keep their texts as the list grows and after the originals are gone, and the objects that
        get_collection returns keep theirs after the collection is gone."""
        sizes = [0, 1, 7, 100, 3000, 600_000, 5, 40_000, *range(0, 2000, 37)]
        made = [req(f"https://h/{i}", [("K", str(i) * (size % 50))], HTTPMETHOD.POST, chr(97 + i % 26) * size)
                for i, size in enumerate(sizes)]
        expected = [r.get_request_command() for r in made]
        collection = TavrelCollection(made[:9])  # records of their own, moved as the list grows
        expected = expected[:9] + expected
        for request in made:
            collection.add_request(request)
        del made, request
        gc.collect()
        assert commands(collection) == expected
        copies = collection.get_collection()
        del collection
        gc.collect()
        assert [c.get_request_command() for c in copies] == expected
