"""Argument binding of the constructors and of add_request."""
import pytest

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

GET = HTTPMETHOD.GET
U = "https://localhost/api"
H = [("Accept", "*/*")]
T = "Tavrel.__new__()"
C = "TavrelCollection.__new__()"
A = "TavrelCollection.add_request()"


class Recorder:
    """A header/collection sequence that records every protocol call."""

    def __init__(self):
        self.calls = []

    def __len__(self):
        self.calls.append("len")
        return 0

    def __getitem__(self, i):
        self.calls.append("getitem")
        raise IndexError(i)

    def __iter__(self):
        self.calls.append("iter")
        return iter(())


class TestConstructorBindingErrors:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, f"{T} missing 3 required positional arguments: 'url', 'headers', and 'method'"),
        ((U,), {}, f"{T} missing 2 required positional arguments: 'headers' and 'method'"),
        ((U, H), {}, f"{T} missing 1 required positional argument: 'method'"),
        ((), {"method": GET}, f"{T} missing 2 required positional arguments: 'url' and 'headers'"),
        ((), {"headers": H}, f"{T} missing 2 required positional arguments: 'url' and 'method'"),
        ((U,), {"method": GET}, f"{T} missing 1 required positional argument: 'headers'"),
        ((U, H, GET, None, None), {}, f"{T} takes from 3 to 4 positional arguments but 5 were given"),
        ((U, H, GET, None, 1, 2), {}, f"{T} takes from 3 to 4 positional arguments but 6 were given"),
        ((U, H, GET, None, None), {"extra": 1}, f"{T} takes from 3 to 4 positional arguments but 5 were given"),
        ((U, H, GET), {"url": U}, f"{T} got multiple values for argument 'url'"),
        ((U, H, GET, None), {"body": None}, f"{T} got multiple values for argument 'body'"),
        ((), {"extra": 1}, f"{T} got an unexpected keyword argument 'extra'"),
        ((U,), {"URL": U}, f"{T} got an unexpected keyword argument 'URL'"),
        ((), {"ключ": 1}, f"{T} got an unexpected keyword argument 'ключ'"),
        ((), {"zz": 1, "aa": 2}, f"{T} got an unexpected keyword argument 'zz'"),
        ((U, H, GET), {"url": U, "extra": 1}, f"{T} got multiple values for argument 'url'"),
        ((U, H, GET), {"extra": 1, "url": U}, f"{T} got an unexpected keyword argument 'extra'"),
    ])
    def test_tavrel(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            Tavrel(*args, **kwargs)
        assert type(exc.value) is TypeError
        assert str(exc.value) == message

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1, 2), {}, f"{C} takes from 0 to 1 positional arguments but 2 were given"),
        (([],), {"collection": []}, f"{C} got multiple values for argument 'collection'"),
        ((), {"items": []}, f"{C} got an unexpected keyword argument 'items'"),
    ])
    def test_collection(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            TavrelCollection(*args, **kwargs)
        assert str(exc.value) == message


class TestAddRequestBinding:
    @pytest.mark.parametrize("nargs, kwargs, message", [
        (0, {}, f"{A} missing 1 required positional argument: 'tavrel'"),
        (2, {}, f"{A} takes 1 positional arguments but 2 were given"),
        (3, {}, f"{A} takes 1 positional arguments but 3 were given"),
        (2, {"bogus": 1}, f"{A} takes 1 positional arguments but 2 were given"),
        (1, {"tavrel": None}, f"{A} got multiple values for argument 'tavrel'"),
        (0, {"request": None}, f"{A} got an unexpected keyword argument 'request'"),
        (0, {"request": None, "tavrel": None}, f"{A} got an unexpected keyword argument 'request'"),
    ])
    def test_errors_leave_collection_unchanged(self, nargs, kwargs, message):
        r = Tavrel(U, H, GET)
        c = TavrelCollection()
        with pytest.raises(TypeError) as exc:
            c.add_request(*[r] * nargs, **kwargs)
        assert str(exc.value) == message
        assert c.get_collection() is None

    def test_by_keyword(self):
        r = Tavrel(U, H, HTTPMETHOD.POST, "x")
        c = TavrelCollection()
        assert c.add_request(tavrel=r) is None
        assert [t.get_request_command() for t in c.get_collection()] == [r.get_request_command()]


class TestKeywordArguments:
    @pytest.mark.parametrize("kwargs", [
        {"url": U, "headers": H, "method": HTTPMETHOD.POST, "body": "x"},
        {"body": "x", "method": HTTPMETHOD.POST, "headers": H, "url": U},
    ])
    def test_all_by_keyword(self, kwargs):
        assert (Tavrel(**kwargs).get_request_command()
                == f'curl -X POST {U} -H "Accept: */*" -d \'x\'')

    def test_mixed_position_and_keyword(self):
        assert Tavrel(U, H, body="", method=GET).get_request_command().endswith(" -d ''")

    def test_collection_by_keyword(self):
        r = Tavrel(U, H, GET)
        assert len(TavrelCollection(collection=[r, r]).get_collection()) == 2


class TestNoArgumentMethods:
    @pytest.mark.parametrize("call, message", [
        (lambda r, c: r.get_request_command(1), "Tavrel.get_request_command() takes no arguments (1 given)"),
        (lambda r, c: r.get_request_command(x=1), "Tavrel.get_request_command() takes no keyword arguments"),
        (lambda r, c: c.get_collection(1), "TavrelCollection.get_collection() takes no arguments (1 given)"),
        (lambda r, c: c.get_collection(x=1), "TavrelCollection.get_collection() takes no keyword arguments"),
        (lambda r, c: c.export_collection(1), "TavrelCollection.export_collection() takes no arguments (1 given)"),
        (lambda r, c: c.export_collection(1, 2), "TavrelCollection.export_collection() takes no arguments (2 given)"),
        (lambda r, c: c.export_collection(x=1), "TavrelCollection.export_collection() takes no keyword arguments"),
    ])
    def test_refused_by_interpreter(self, call, message):
        with pytest.raises(TypeError) as exc:
            call(Tavrel(U, H, GET), TavrelCollection())
        assert str(exc.value) == message


class TestReceivers:
    """The methods take their receiver's value without a type check of their own: the interpreter
    must refuse a receiver of another type before the call."""

    @pytest.mark.parametrize("call", [
        lambda r, c: Tavrel.get_request_command(c),
        lambda r, c: TavrelCollection.get_collection(r),
        lambda r, c: TavrelCollection.export_collection(r),
        lambda r, c: TavrelCollection.add_request(r, r),
        lambda r, c: TavrelCollection.add_request.__get__(r)(r),
        lambda r, c: Tavrel.get_request_command("x"),
    ])
    def test_receiver_of_another_type_refused(self, call):
        with pytest.raises(TypeError, match="descriptor .* for '.*' objects doesn't apply to a '.*' object"):
            call(Tavrel(U, H, GET), TavrelCollection())


class TestBindingBeforeConversion:
    @pytest.mark.parametrize("call", [
        lambda rec: Tavrel(U, headers=rec),
        lambda rec: Tavrel(U, rec),
        lambda rec: Tavrel(U, rec, GET, None, None),
        lambda rec: Tavrel(U, rec, GET, extra=1),
        lambda rec: Tavrel(U, rec, GET, url=U),
    ])
    def test_headers_untouched_on_binding_failure(self, call):
        rec = Recorder()
        with pytest.raises(TypeError):
            call(rec)
        assert rec.calls == []

    def test_collection_untouched_on_binding_failure(self):
        rec = Recorder()
        with pytest.raises(TypeError):
            TavrelCollection(rec, extra=1)
        assert rec.calls == []

    def test_recorder_is_used_when_binding_succeeds(self):
        rec = Recorder()
        assert Tavrel(U, rec, GET).get_request_command() == f"curl -X GET {U}"
        assert "iter" in rec.calls
