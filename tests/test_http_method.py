"""HTTPMETHOD members: values, texts, comparison and conversion into requests."""
import operator

import pytest

from support import METHODS as NAMES, for_version
from tavrel import HTTPMETHOD, Tavrel

MEMBERS = [getattr(HTTPMETHOD, n) for n in NAMES]


class TestMembers:
    @pytest.mark.parametrize("value, name", list(enumerate(NAMES)))
    def test_value_and_texts(self, value, name):
        m = getattr(HTTPMETHOD, name)
        assert type(m) is HTTPMETHOD
        assert int(m) == value
        assert repr(m) == str(m) == f"HTTPMETHOD.{name}"
        assert bool(m) is True
        assert Tavrel("u", [], m).get_request_command().startswith(f"curl -X {name} ")

    def test_declared_in_order_and_identical_on_every_access(self):
        assert [k for k in vars(HTTPMETHOD) if k in NAMES] == NAMES
        assert all(getattr(HTTPMETHOD, n) is m for n, m in zip(NAMES, MEMBERS, strict=True))

    def test_no_index_conversion(self):
        with pytest.raises(TypeError):
            operator.index(HTTPMETHOD.POST)

    @pytest.mark.parametrize("args", [(), (0,), ("GET",)])
    def test_no_constructor(self, args):
        with pytest.raises(TypeError) as exc:
            HTTPMETHOD(*args)
        assert str(exc.value) == "No constructor defined for HTTPMETHOD"


class TestEquality:
    @pytest.mark.parametrize("a", MEMBERS, ids=NAMES)
    @pytest.mark.parametrize("b", MEMBERS, ids=NAMES)
    def test_between_members(self, a, b):
        assert (a == b) is (a is b)
        assert (a != b) is (a is not b)

    @pytest.mark.parametrize("other", [0, 1, 0.0, "GET", "HTTPMETHOD.GET", None, object(), HTTPMETHOD])
    def test_non_members_never_equal(self, other):
        m = HTTPMETHOD.GET
        assert (m == other) is False and (other == m) is False
        assert (m != other) is True and (other != m) is True
        assert m.__eq__(other) is NotImplemented
        assert m.__ne__(other) is NotImplemented

    def test_direct_slot_results(self):
        assert HTTPMETHOD.PUT.__eq__(HTTPMETHOD.PUT) is True
        assert HTTPMETHOD.PUT.__ne__(HTTPMETHOD.PUT) is False
        assert HTTPMETHOD.PUT.__lt__(HTTPMETHOD.PATCH) is NotImplemented


class TestOrderingAndHashing:
    @pytest.mark.parametrize("op, sym", [
        (operator.lt, "<"), (operator.le, "<="), (operator.gt, ">"), (operator.ge, ">="),
    ])
    @pytest.mark.parametrize("other, other_name", [
        (HTTPMETHOD.POST, "builtins.HTTPMETHOD"), (HTTPMETHOD.GET, "builtins.HTTPMETHOD"), (0, "int"),
    ])
    def test_ordering_unsupported(self, op, sym, other, other_name):
        with pytest.raises(TypeError) as exc:
            op(HTTPMETHOD.GET, other)
        assert str(exc.value) == (
            f"'{sym}' not supported between instances of 'builtins.HTTPMETHOD' and '{other_name}'")

    # The interpreter's own messages: 3.14 names the use in a set or dict, and the type by its
    # short name there.
    UNHASHABLE = "unhashable type: 'builtins.HTTPMETHOD'"
    AS_SET_ELEMENT = {(3, 13): UNHASHABLE, (3, 14): f"cannot use 'HTTPMETHOD' as a set element ({UNHASHABLE})"}
    AS_DICT_KEY = {(3, 13): UNHASHABLE, (3, 14): f"cannot use 'HTTPMETHOD' as a dict key ({UNHASHABLE})"}

    @pytest.mark.parametrize("use, messages", [
        (hash, {(3, 13): UNHASHABLE}), (lambda m: {m}, AS_SET_ELEMENT), (lambda m: {m: 1}, AS_DICT_KEY),
    ])
    def test_unhashable(self, use, messages):
        assert HTTPMETHOD.__hash__ is None
        with pytest.raises(TypeError) as exc:
            use(HTTPMETHOD.GET)
        assert str(exc.value) == for_version(messages)


class TestMethodArgument:
    @pytest.mark.parametrize("value, type_name", [
        ("GET", "str"), (0, "int"), (None, "NoneType"), (HTTPMETHOD, "type"), (1.0, "float"),
        ([HTTPMETHOD.GET], "list"),
    ])
    @pytest.mark.parametrize("by_keyword", [False, True])
    def test_only_members_accepted(self, value, type_name, by_keyword):
        with pytest.raises(TypeError) as exc:
            if by_keyword:
                Tavrel("u", [], method=value)
            else:
                Tavrel("u", [], value)
        assert type(exc.value) is TypeError
        assert str(exc.value) == (
            f"argument 'method': '{type_name}' object cannot be converted to 'HTTPMETHOD'")
        assert exc.value.__cause__ is None
