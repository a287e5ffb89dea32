"""Wrong use of tavrel: the type checkers must report exactly the lines marked "error"."""
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

Tavrel(5, [], HTTPMETHOD.GET)  # error: url must be a str
c = TavrelCollection()
c.add_request("x")  # error: not a Tavrel
Tavrel("https://h/", {"Accept": "*/*"}, HTTPMETHOD.GET)  # error: a dict is not a sequence of pairs
Tavrel("https://h/", [["Accept", "*/*"]], HTTPMETHOD.GET)  # error: pairs must be tuples
Tavrel("https://h/", [], "GET")  # error: method must be a member
Tavrel("https://h/", [], HTTPMETHOD.GET, b"body")  # error: body must be a str
HTTPMETHOD.FETCH  # error: no such member
HTTPMETHOD()  # error: no constructor: members only
n: int = c.get_collection()[0]  # error: may be None, and holds Tavrel
