# Type information for the tavrel extension module, installed as the stub package tavrel-stubs.
#
# Not declared here because it is not a module attribute: an internal failure raises
# tavrel.PanicException, a subclass of BaseException (not of Exception), after writing a report
# to standard error. `except Exception` does not catch it; catch BaseException and test
# `type(e).__name__ == "PanicException" and type(e).__module__ == "tavrel"`.

from collections.abc import Sequence
from typing import ClassVar, Never, Self, final

__all__ = ["Tavrel", "TavrelCollection", "HTTPMETHOD"]

@final
class HTTPMETHOD:
    """An HTTP method; use the members HTTPMETHOD.GET ... HTTPMETHOD.CONNECT (int() gives 0 to 8)."""

    GET: ClassVar[HTTPMETHOD]
    POST: ClassVar[HTTPMETHOD]
    PUT: ClassVar[HTTPMETHOD]
    DELETE: ClassVar[HTTPMETHOD]
    HEAD: ClassVar[HTTPMETHOD]
    OPTIONS: ClassVar[HTTPMETHOD]
    PATCH: ClassVar[HTTPMETHOD]
    TRACE: ClassVar[HTTPMETHOD]
    CONNECT: ClassVar[HTTPMETHOD]
    # Members are unhashable: they cannot be set elements or dict keys.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # There is no constructor (HTTPMETHOD() raises TypeError): the parameter that no value can
    # fill makes type checkers reject every call.
    def __new__(cls, use_a_member: Never, /) -> Self:
        """No constructor: use a member such as HTTPMETHOD.GET."""
    def __int__(self) -> int:
        """The member's number, 0 (GET) to 8 (CONNECT)."""
    def __eq__(self, other: object, /) -> bool:
        """True only for the same member; never equal to an int or a str."""
    def __ne__(self, other: object, /) -> bool:
        """False only for the same member."""

@final
class Tavrel:
    """One HTTP request: url, ordered (key, value) header pairs, method and an optional body."""

    def __new__(
        cls,
        url: str,
        headers: Sequence[tuple[str, str]],
        method: HTTPMETHOD,
        body: str | None = None,
    ) -> Self:
        """Copy the request's texts; body=None means no body, "" an empty one."""
    def get_request_command(self) -> str:
        """The curl command line: one shell-quoted line, with the options curl needs to send it as
        given; ValueError for what no command can carry (a NUL, a control character or "@" key in
        a header, a ";" key with a blank value)."""

@final
class TavrelCollection:
    """An ordered list of copies of requests, exportable as a Postman v2.1.0 collection."""

    def __new__(cls, collection: Sequence[Tavrel] | None = None) -> Self:
        """Copy the given requests; without a list, get_collection() stays None until an add."""
    def add_request(self, tavrel: Tavrel) -> None:
        """Append a copy of the request."""
    def get_collection(self) -> list[Tavrel] | None:
        """New Tavrel objects copied from the stored requests, or None if never given a list."""
    def export_collection(self) -> str:
        """The collection as one line of Postman v2.1.0 JSON; ValueError for a url with no host."""
