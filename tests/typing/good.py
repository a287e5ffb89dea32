"""Correct use of tavrel: the type checkers must accept every line of this file."""
from collections.abc import Sequence

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

headers: list[tuple[str, str]] = [("Accept", "application/json")]
get = Tavrel("https://h/items", headers, HTTPMETHOD.GET)
post = Tavrel(url="https://h/items", headers=(("Content-Type", "application/json"),),
              method=HTTPMETHOD.POST, body='{"a": 1}')
command: str = get.get_request_command()
number: int = int(HTTPMETHOD.DELETE)
same: bool = HTTPMETHOD.GET == HTTPMETHOD.POST

requests: Sequence[Tavrel] = [get, post]
collection = TavrelCollection(requests)
collection.add_request(post)
stored: list[Tavrel] = collection.get_collection() or []
empty = TavrelCollection()
maybe: list[Tavrel] | None = empty.get_collection()
document: str = collection.export_collection()
