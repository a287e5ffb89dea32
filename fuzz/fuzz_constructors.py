"""Arbitrary argument shapes for Tavrel(...), TavrelCollection(...) and add_request(...).

The fuzz bytes are read twice into two identical, independent sets of objects. One set goes
through a plain-Python model of argument binding and conversion, the other through the module;
outcome, exception type, message, cause, the number of unraisable reports and the resulting
requests must all agree. An exception the model does not predict (SystemError, PanicException,
a different message, ...) ends the run as a finding.
"""

import sys

import atheris

from inputs import METHODS, command_of, commands, instrument, shell_split, text, words
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

MEMBERS = [getattr(HTTPMETHOD, m) for m in METHODS]
MISSING = object()
VEC_STR = "Can't extract `str` to `Vec`"


# --- Objects the arguments are made of -----------------------------------------------------------

class Unprintable:
    def __str__(self):
        raise LookupError("no text for this object")


class PlainStr(str):
    pass


class OddStr(str):
    """Equal to everything, one hash for all: collides with any other OddStr as a dict key."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 7


class OwnTextStr(str):
    def __str__(self):
        return "own text"


class RaisingStr(str):
    def __str__(self):
        raise LookupError("str() refused")


class NonStrStr(str):
    def __str__(self):
        return 5


class SurrogateStr(str):
    def __str__(self):
        return "x\udc80"


STR_TYPES = [str, PlainStr, OddStr, OwnTextStr, RaisingStr, NonStrStr, SurrogateStr]


class LyingTuple(tuple):
    """Its __len__/__getitem__/__iter__ lie; the module must read the real items."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return "lie"

    def __iter__(self):
        return iter(("lie", "lie"))


class SubTypeError(TypeError):
    pass


class HostileError(Exception):
    pass


def make_exception(kind, message):
    """Exception number `kind`; a fresh object every time it is raised."""
    if kind == 0:
        return TypeError(message)
    if kind == 1:
        return TypeError(Unprintable())
    if kind == 2:
        exc = TypeError(message)
        exc.__cause__ = KeyError(message)
        return exc
    if kind == 3:
        return ValueError(message)
    if kind == 4:
        return SubTypeError(message)
    if kind == 5:
        return HostileError(message)
    if kind == 6:
        return TypeError("x\udc80")
    return KeyError(message)


class HostileBase:
    """A sequence whose protocol calls raise, lie or change the items while they are read."""

    def __init__(self, items, extra, length, at, action, exc_kind):
        self.items, self.extra, self.length = items, extra, length
        self.at, self.action, self.exc_kind = at, action, exc_kind

    def __len__(self):
        if self.length == "raise":
            raise make_exception(self.exc_kind, "len")
        if self.length == "true":
            return len(self.items)
        return self.length  # a lie: any int, possibly negative or huge, or not an int at all

    def act(self):
        if self.action == "raise":
            raise make_exception(self.exc_kind, f"at {self.at}")
        if self.action == "append":
            self.items.append(self.extra)
        elif self.action == "clear":
            self.items.clear()
        elif self.action == "pop" and self.items:
            self.items.pop(0)
        elif self.action == "insert":
            self.items.insert(0, self.extra)


class HostileGetitem(HostileBase):
    def __getitem__(self, i):
        if i == self.at:
            self.act()
        return self.items[i]


class HostileIter(HostileGetitem):
    def __iter__(self):
        i = 0
        while True:
            if i == self.at:
                self.act()
            if i >= len(self.items):
                return
            yield self.items[i]
            i += 1


class HostileBadIter(HostileGetitem):
    def __iter__(self):
        if self.action == "raise":
            raise make_exception(self.exc_kind, "iter")
        return 5


class HostileList(list):
    """A real list whose own __iter__/__len__ change it during iteration."""

    def __init__(self, items, extra, length, at, action):
        super().__init__(items)
        self.extra, self.length, self.at, self.action = extra, length, at, action

    def __len__(self):
        return self.length if isinstance(self.length, int) else list.__len__(self)

    def __iter__(self):
        i = 0
        while True:
            if i == self.at:
                if self.action == "append":
                    self.append(self.extra)
                elif self.action == "clear":
                    self.clear()
                elif self.action == "pop" and list.__len__(self):
                    self.pop(0)
                elif self.action == "insert":
                    self.insert(0, self.extra)
            if i >= list.__len__(self):
                return
            yield list.__getitem__(self, i)
            i += 1


LENGTHS = ["true", "raise", 0, 1, 3, -1, 2**70, sys.maxsize, "not an int"]
ACTIONS = ["none", "raise", "append", "clear", "pop", "insert"]


class Builder:
    """Turns fuzz bytes into argument objects; the same bytes always give equal objects."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def text(self, surrogates=True):
        return text(self.fdp, surrogates=surrogates, max_len=6)

    def str_obj(self, content=None):
        cls = STR_TYPES[self.pick(len(STR_TYPES))] if self.fdp.ConsumeBool() else str
        return cls(self.text() if content is None else content)

    def request(self):
        headers = [(self.text(False), self.text(False)) for _ in range(self.pick(3))]
        body = self.text(False) if self.fdp.ConsumeBool() else None
        return Tavrel(self.text(False), headers, MEMBERS[self.pick(9)], body)

    def collection(self):
        if self.fdp.ConsumeBool():
            return TavrelCollection()
        return TavrelCollection([self.request() for _ in range(self.pick(3))])

    def hostile(self, item):
        items = [item() for _ in range(self.pick(4))]
        extra = item()
        length = LENGTHS[self.pick(len(LENGTHS))]
        at = self.pick(5)
        action = ACTIONS[self.pick(len(ACTIONS))]
        exc_kind = self.pick(8)
        kind = self.pick(4)
        if kind == 3:
            return HostileList(items, extra, length, at, action)
        cls = [HostileGetitem, HostileIter, HostileBadIter][kind]
        return cls(items, extra, length, at, action, exc_kind)

    def any_object(self, depth=0):
        kind = self.pick(18)
        if kind == 0:
            return None
        if kind == 1:
            return [0, 1, -1, 2**64, True][self.pick(5)]
        if kind == 2:
            return self.text().encode("utf-8", "surrogatepass")[: self.pick(4)]
        if kind == 3:
            return self.str_obj()
        if kind == 4:
            return MEMBERS[self.pick(9)]
        if kind == 5:
            return self.request()
        if kind == 6:
            return self.collection()
        if kind == 7:
            return {self.text(): self.text()}
        if kind == 8:
            return (x for x in [self.text()])
        if kind == 9:
            return [Tavrel, HTTPMETHOD, TavrelCollection, 1.5, {1}, bytearray(b"ab"), range(2)][self.pick(7)]
        if depth < 2:
            if kind in (10, 11):
                return tuple(self.any_object(depth + 1) for _ in range(self.pick(4)))
            if kind == 12:
                return LyingTuple(self.any_object(depth + 1) for _ in range(self.pick(4)))
            if kind in (13, 14):
                return [self.any_object(depth + 1) for _ in range(self.pick(4))]
            if kind == 15:
                return self.hostile(lambda: self.any_object(depth + 1))
        return self.text()

    def header(self):
        kind = self.pick(8)
        if kind < 4:
            return (self.str_obj(), self.str_obj())
        if kind == 4:
            return LyingTuple((self.str_obj(), self.str_obj()))
        if kind == 5:
            return tuple(self.str_obj() for _ in range(self.pick(4)))
        return self.any_object(1)

    def sequence_of(self, item, none_allowed=False):
        """A list, tuple or hostile sequence of item() results, or (rarely) something else."""
        kind = self.pick(6)
        if kind < 2:
            return [item() for _ in range(self.pick(4))]
        if kind == 2:
            return tuple(item() for _ in range(self.pick(4)))
        if kind == 3:
            return self.hostile(item)
        if kind == 4 and none_allowed:
            return None
        return self.any_object()

    def headers(self):
        return self.sequence_of(self.header)

    def collection_item(self):
        return self.request() if self.pick(4) else self.any_object(1)

    def collection_arg(self):
        return self.sequence_of(self.collection_item, none_allowed=True)

    def keyword_name(self, names):
        kind = self.pick(6)
        if kind < 3:
            return self.str_obj(names[self.pick(len(names))])
        if kind == 3:
            return self.str_obj()
        if kind == 4:
            return self.str_obj(["extra", "URL", "url\x00", "x\ud800", "collection", "tavrel", "body"][self.pick(7)])
        return [1, None, (1,)][self.pick(3)]  # reaches the binder only through a type's __new__

    def call(self, names, values, str_keys_only):
        """Positional arguments, then keyword arguments in an order and with extras from the bytes."""
        count = [len(values) - 1, len(values), len(values) + 1, 0, 1, 2][self.pick(6)]
        count = max(0, min(count, len(values) + 2))
        args = [values[i] if i < len(values) else self.any_object() for i in range(count)]
        kwargs = {}
        for i in range(count, len(names)):
            if self.fdp.ConsumeBool() or self.fdp.ConsumeBool():
                kwargs[self.str_obj(names[i])] = values[i]
        for _ in range(self.pick(3) if self.pick(4) == 0 else 0):
            name = self.keyword_name(names)
            if str_keys_only and not isinstance(name, str):
                continue
            kwargs[name] = self.any_object()
        if self.fdp.ConsumeBool():
            order = list(kwargs.items())
            kwargs = dict(order[::-1])
        return args, kwargs

    def build(self):
        target = self.pick(3)
        if target == 0:
            names = ["url", "headers", "method", "body"]
            url = self.str_obj() if self.pick(4) else self.any_object()
            method = MEMBERS[self.pick(9)] if self.pick(6) else self.any_object()
            body = [None, MISSING][self.pick(2)] if self.fdp.ConsumeBool() else (
                self.str_obj() if self.pick(4) else self.any_object())
            values = [url, self.headers(), method, body]
            if values[3] is MISSING:
                names, values = names[:3], values[:3]
            args, kwargs = self.call(names, values, False)
            return target, None, args, kwargs
        if target == 1:
            args, kwargs = self.call(["collection"], [self.collection_arg()], False)
            return target, None, args, kwargs
        collection = self.collection()
        value = self.request() if self.pick(4) else (collection if self.fdp.ConsumeBool() else self.any_object())
        args, kwargs = self.call(["tavrel"], [value], True)
        return target, collection, args, kwargs


# --- The model --------------------------------------------------------------------------------

class Conversion(Exception):
    """A value that is not of the wanted type: "'<qualname>' object cannot be converted to '<target>'"."""

    def __init__(self, obj, target):
        super().__init__(type(obj).__qualname__, target)


class Model:
    def __init__(self):
        self.unraisable = 0

    def object_text(self, obj):
        try:
            out = str(obj)
            out.encode("utf-8")
            return out
        except Exception:
            self.unraisable += 1
            return f"<unprintable {type(obj).__name__} object>"

    @staticmethod
    def text(obj):
        if not isinstance(obj, str):
            raise Conversion(obj, "PyString")
        data = str.__str__(obj)
        data.encode("utf-8")  # a lone surrogate: UnicodeEncodeError, passed on unchanged
        return data

    @staticmethod
    def sequence(obj, convert):
        if isinstance(obj, str):
            raise TypeError(VEC_STR)
        if isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
            raise Conversion(obj, "Sequence")
        try:
            len(obj)  # a hint only; its failure is dropped
        except BaseException:
            pass
        return [convert(item) for item in obj]

    def argument(self, param, convert, *args):
        try:
            return convert(*args)
        except Conversion as c:
            qualname, target = c.args
            raise TypeError(f"argument '{param}': '{qualname}' object cannot be converted to '{target}'") from None
        except TypeError as e:
            if type(e) is not TypeError:
                raise
            raise TypeError(f"argument '{param}': {self.object_text(e)}") from e.__cause__

    def bind(self, owner, function, names, required, args, kwargs):
        full = f"{owner}.{function}()"
        out = [MISSING] * len(names)
        out[: len(args)] = args[: len(names)]
        if len(args) > len(names):
            takes = f"takes {len(names)}" if required == len(names) else f"takes from {required} to {len(names)}"
            verb = "was" if len(args) == 1 else "were"
            raise TypeError(f"{full} {takes} positional arguments but {len(args)} {verb} given")
        for name, value in kwargs.items():
            index = -1
            if isinstance(name, str):
                try:
                    data = str.__str__(name)
                    data.encode("utf-8")
                    index = names.index(data) if data in names else -1
                except UnicodeEncodeError:
                    pass
            if index < 0:
                raise TypeError(f"{full} got an unexpected keyword argument '{self.object_text(name)}'")
            if out[index] is not MISSING:
                raise TypeError(f"{full} got multiple values for argument '{names[index]}'")
            out[index] = value
        missing = [names[i] for i in range(len(args), required) if out[i] is MISSING]
        if missing:
            quoted = [f"'{n}'" for n in missing]
            listed = quoted[0] if len(quoted) == 1 else (
                f"{quoted[0]} and {quoted[1]}" if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
            plural = "" if len(missing) == 1 else "s"
            raise TypeError(f"{full} missing {len(missing)} required positional argument{plural}: {listed}")
        return out

    def header(self, item):
        if not isinstance(item, tuple):
            raise Conversion(item, "PyTuple")
        size = tuple.__len__(item)
        if size != 2:
            raise ValueError(f"expected tuple of length 2, but got tuple of length {size}")
        return self.text(tuple.__getitem__(item, 0)), self.text(tuple.__getitem__(item, 1))

    def method(self, obj):
        if not isinstance(obj, HTTPMETHOD):
            raise Conversion(obj, "HTTPMETHOD")
        return METHODS[int(obj)]

    @staticmethod
    def copy_request(obj):
        if not isinstance(obj, Tavrel):
            raise Conversion(obj, "Tavrel")
        return command_of(obj)

    def run(self, target, collection, args, kwargs):
        if target == 0:
            url, headers, method, body = self.bind("Tavrel", "__new__", ["url", "headers", "method", "body"], 3,
                                                   args, kwargs)
            url = self.argument("url", self.text, url)
            headers = self.argument("headers", self.sequence, headers, self.header)
            method = self.argument("method", self.method, method)
            body = None if body is MISSING or body is None else self.argument("body", self.text, body)
            return ("words", words(url, headers, method, body))
        if target == 1:
            [given] = self.bind("TavrelCollection", "__new__", ["collection"], 0, args, kwargs)
            if given is MISSING or given is None:
                return ("commands", None)
            return ("commands", self.argument("collection", self.sequence, given, self.copy_request))
        before = commands(collection)
        [value] = self.bind("TavrelCollection", "add_request", ["tavrel"], 1, args, kwargs)
        return ("commands", (before or []) + [self.argument("tavrel", self.copy_request, value)])


def real_run(target, collection, args, kwargs):
    if target == 0:
        command = Tavrel(*args, **kwargs).get_request_command()
        assert command.startswith("curl -X "), command
        return ("words", shell_split(command))
    if target == 1:
        return ("commands", commands(TavrelCollection(*args, **kwargs)))
    assert collection.add_request(*args, **kwargs) is None
    return ("commands", commands(collection))


# --- Comparison -------------------------------------------------------------------------------

def describe(exc):
    if exc is None:
        return None
    try:
        message = str(exc)
    except Exception:
        message = "<str() failed>"
    return type(exc), message, describe(exc.__cause__)


def outcome(fn, *args, unraisable=lambda: 0):
    """Runs fn and returns ('ok', value, unraisable count) or ('raised', description, count)."""
    reports = []
    saved, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        try:
            return ("ok", fn(*args), len(reports) + unraisable())
        except BaseException as exc:  # PanicException derives from BaseException
            return ("raised", describe(exc), len(reports) + unraisable())
    finally:
        sys.unraisablehook = saved


def TestOneInput(data):
    model_args = Builder(data).build()
    real_args = Builder(data).build()
    state_before = None if real_args[0] != 2 else commands(real_args[1])
    model = Model()
    expected = outcome(model.run, *model_args, unraisable=lambda: model.unraisable)
    actual = outcome(real_run, *real_args)
    if actual != expected:
        raise AssertionError(f"\nexpected {expected!r}\n  actual {actual!r}\n  target {real_args[0]}")
    if real_args[0] == 2 and actual[0] == "raised":
        assert commands(real_args[1]) == state_before, "a refused add_request changed the collection"


if __name__ == "__main__":
    instrument(globals())
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
