"""Hostile sequence objects shared by the tests."""


class Seq:
    """A sequence by __len__ and __getitem__ only. At index `at` it raises `fail` (an exception,
    or a callable that makes a new one each time); `length` is what len() gives, or what it
    raises when it is an exception."""

    def __init__(self, items, fail=None, at=None, length=None):
        self.items, self.fail, self.at, self.length = items, fail, at, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.at:
            raise self.fail() if callable(self.fail) else self.fail
        return self.items[i]


def chained_type_error():
    """A new TypeError whose __cause__ is a ValueError, as `raise ... from ...` makes it."""
    error = TypeError("refused item")
    error.__cause__ = ValueError("underlying")
    return error
