"""The benchmark's requests and the pure-Python references that tavrel is measured against.

Everything the benchmark feeds to tavrel or to a peer is made here, from a fixed seed, so every
run and every process (the memory children, the callgrind runs) sees the same data. Header keys
and the values that repeat (Accept, User-Agent, Cache-Control) are shared string objects, as a
program's literals would be; urls, tokens, request ids and bodies are distinct per request.

Reference A is what a user would write instead of tavrel: a `__slots__` class that checks and
copies the same arguments as `Tavrel(...)`, renders the same command text with the same quoting
rules, and exports by building the same dicts and calling `json.dumps`. Reference B builds the
same dicts and writes them with orjson. Before anything is timed, the benchmark checks that their
outputs equal tavrel's, so the comparison is between programs doing the same job.
"""

import importlib
import json
import os
import random
import re
import sys

from tavrel import HTTPMETHOD

SEED = 20240517
METHOD_NAMES = tuple(name for name, member in vars(HTTPMETHOD).items() if isinstance(member, HTTPMETHOD))
METHODS = tuple(getattr(HTTPMETHOD, name) for name in METHOD_NAMES)
COLLECTION_NAME = "Tavrel Collection"
SCHEMA_ADDRESS = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"

_TOKEN_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
_RESOURCES = ("orders", "items", "invoices", "events")
_AGENTS = ("tavrel-bench/1.0", "python-requests/2.31", "curl/7.88.1", "svc-client/3.4.1")
_CACHE = ("no-cache", "no-store", "max-age=60", "max-age=3600")


def _token(rng: random.Random, size: int) -> str:
    return "".join(rng.choice(_TOKEN_CHARS) for _ in range(size))


def _url(rng: random.Random) -> str:
    # scheme://host:port/v1/users/12345/orders: 48-53 characters, a 4-segment path
    scheme = rng.choice(("http", "https"))
    host = f"api{rng.randrange(10)}.example.com"
    return (f"{scheme}://{host}:{rng.choice((8080, 8443, 9000))}/v{rng.randrange(1, 4)}/users/"
            f"{rng.randrange(10_000, 100_000)}/{rng.choice(_RESOURCES)}")


def _headers(rng: random.Random) -> list[tuple[str, str]]:
    # Each "key: value" text is 15-40 characters.
    return [
        ("Accept", "application/json"),
        ("Authorization", "Bearer " + _token(rng, rng.randrange(10, 19))),
        ("X-Request-Id", _token(rng, rng.randrange(8, 25))),
        ("User-Agent", rng.choice(_AGENTS)),
        ("Cache-Control", rng.choice(_CACHE)),
    ]


def _body(rng: random.Random) -> str:
    # A JSON object of 40-60 characters.
    head = f'{{"id": {rng.randrange(10_000, 100_000)}, "note": "'
    return head + _token(rng, rng.randrange(40, 61) - len(head) - 2) + '"}'


def requests(count: int, seed: int = SEED) -> list[tuple]:
    """`count` argument tuples (url, headers, method, body) for `Tavrel(...)`.

    Methods cycle through all nine members; every second request has a body."""
    rng = random.Random(seed)
    return [(_url(rng), _headers(rng), METHODS[i % 9], _body(rng) if i % 2 else None) for i in range(count)]


def edge_requests() -> list[tuple]:
    """Requests outside the timed workload that every rule of the command text and of the
    document meets at least once; checked for equality, never timed."""
    get, post, head = HTTPMETHOD.GET, HTTPMETHOD.POST, HTTPMETHOD.HEAD
    return [
        ("https://h/x", [], head, None),                                      # --head
        ("https://h/x", [], head, "b"),                                       # --head with a body
        ("https://h/s?f={a,b}&r=[1-3]", [], get, None),                       # --globoff, quoted url
        ("http://[::1]:8080/x", [], get, None),                               # --globoff
        ("-o/tmp/x", [], get, None),                                          # --url
        ("--url/a/b", [("A", "b")], get, None),                               # --url before a bare url
        ("https://h/x", [("X-E", ""), ("X-B", " \t "), ("X-$", "")], get, None),  # KEY;
        ("https://h/up", [], post, "@/etc/passwd"),                           # --data-raw
        ("https://h/up", [], post, "@it's"),                                  # --data-raw, quote inside
        ("https://h/up", [], post, "a@b"),                                    # -d with @ elsewhere
        ("https://h/x?a=1&b=$HOME", [("K", 'say "hi"'), ("N", "it's!")], HTTPMETHOD.PUT, "it's"),
        ("https://h/a b/`c`", [("K", "`x`"), ("K", "a\\b")], HTTPMETHOD.PATCH, ""),
        ("https://h\u00e9/\u00fc/\U0001f600", [("Ä", "ö\t\x85")], HTTPMETHOD.DELETE, '"\\\b\f\r\u2028\x1b'),
        ("=curl", [], get, None),                                              # quoted: zsh's =name
        ("-[\n]", [("K", "\t")], post, "@\x01"),                               # printf with the options
        ("https://h/x", [("X-Role", "\u202eadmin\u202c")], post, '{\n  "a": "it\\\'s"\n}\n'),  # escapes, line feeds
        ("https://h/x", [("A", "1"), ("", "v")], get, None),                   # refused: empty key
        ("https://h/x", [("X-Empty:", "")], get, None),                        # refused: ":" in a key
        ("https://h/x", [(" X-Folded", "w")], get, None),                      # refused: space first
        ("https://h/x", [("Ä", "ö\n\t\x01\x7f")], get, None),                   # refused: control in a header
        ("https://h/x", [("A", "1"), ("@x", "v")], get, None),                 # refused: "@" key
        ("https://h/x", [("a;b", " ")], get, None),                            # refused: ";" key, blank value
        ("https://h/x", [], post, "a\0b"),                                     # refused: NUL
        ("a/b/c/d", [], HTTPMETHOD.OPTIONS, None),                             # no scheme: https
        ("HTTP+x.y-z://h/p/", [], HTTPMETHOD.TRACE, None),                     # scheme kept as written
        ("1http://h/p", [], HTTPMETHOD.CONNECT, None),                         # not a scheme
        ("http://h", [], get, None),                                           # empty path
        ("", [], get, None),                                                   # command only: no host
    ]


# --- The floors: minimal native versions of the operations (benchmarks/floors/floors.c) ----

FLOORS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "floors")


def floors():
    """The floors module, built by `make bench` into build/floors, told the method members."""
    if FLOORS_DIR not in sys.path:
        sys.path.insert(0, FLOORS_DIR)
    try:
        module = importlib.import_module("_floors")
    except ImportError as error:
        sys.exit(f"{error}: the floors are built by `make bench` (or `make build/floors/.built`)")
    module.set_methods(METHODS)
    return module


# --- Reference A: the pure-Python request, command and collection -----------------------------

_BARE_URL = re.compile(r"[A-Za-z0-9\-._/:@%+=,]*")
_DOUBLE_QUOTE_SPECIAL = re.compile(r'["\\$`!]')
_GLOB = re.compile(r"[\[\]{}]")
_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+\-.]*(?=://)")


_NOT_IN_HEADER = re.compile("[\x00-\x08\x0a-\x1f\x7f]")
_FISH_BACKSLASH = re.compile(r"'|\\(?=[\\']|\Z)")
_KEY_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _needs_printf(text: str) -> bool:
    return not text.rstrip("\n").isprintable()


def _format(text: str) -> str:
    """`text` as a printf format: escapes for what any shell, fish, printf or a terminal would
    read as something else."""
    out = []
    for i, c in enumerate(text):
        if c == "'":
            out.append("'\\''")
        elif c == "%":
            out.append("%%")
        elif c in "\\!" or not c.isprintable() or (c == "-" and i == 0):
            out.append("".join(f"\\{byte:03o}" for byte in c.encode()))
        else:
            out.append(c)
    return "".join(out)


def _quoted(text: str) -> str:
    if _needs_printf(text):
        head = text.rstrip("\n")
        tail = text[len(head):]
        return "\"$(printf '" + _format(head) + "')\"" + (f"'{tail}'" if tail else "")
    return "'" + _FISH_BACKSLASH.sub(lambda m: "'\\''" if m.group() == "'" else "'\\\\'", text) + "'"


def _header_word(key: str, value: str) -> str:
    # curl sends "KEY;" as a header with an empty value; "KEY: " would remove the header.
    text = key + ";" if not value.strip(" \t") else key + ": " + value
    return _quoted(text) if _DOUBLE_QUOTE_SPECIAL.search(text) or _needs_printf(text) else '"' + text + '"'


def _shown_key(key: str) -> str:
    return '"' + "".join(_KEY_ESCAPES.get(c) or (c if c.isprintable() else repr(c)[1:-1]) for c in key) + '"'


def _key_refusal(key: str) -> str | None:
    if not key:
        return "is empty, which curl drops"
    if key.startswith("@"):
        return 'starts with "@", which curl reads as a file name'
    if key[0] in " \t":
        return f"starts with a {'space' if key[0] == ' ' else 'tab'}, which makes the header part of the one before it"
    if ":" in key:
        return "holds \":\", which ends a header's name: the server reads another"
    return None


def _refusal(url: str, headers: list, body) -> str | None:
    """Why no command line can carry the request (the url, each header in order, the body)."""
    if "\0" in url:
        return "url holds U+0000, which no shell word can carry"
    for i, (key, value) in enumerate(headers):
        why = _key_refusal(key)
        if why:
            return f"header {i} key {_shown_key(key)} {why}"
        bad = _NOT_IN_HEADER.search(key) or _NOT_IN_HEADER.search(value)
        if bad:
            return (f"header {i} ({_shown_key(key)}) holds U+{ord(bad.group()):04X}, which no HTTP header can carry; "
                    "the command cannot send it")
        if ";" in key and not value.strip(" \t"):
            return (f'header {i} ({_shown_key(key)}) has ";" in its key and a blank value, which curl drops; '
                    "the command cannot send it")
    if body is not None and "\0" in body:
        return "body holds U+0000, which no shell word can carry"
    return None


def _is_sequence(value: object) -> bool:
    return isinstance(value, (list, tuple)) or (
        not isinstance(value, dict) and hasattr(type(value), "__getitem__"))


class RefRequest:
    __slots__ = ("url", "headers", "method", "body")

    def __init__(self, url, headers, method, body=None):
        if not isinstance(url, str):
            raise TypeError(f"argument 'url': '{type(url).__name__}' object cannot be converted to 'PyString'")
        if isinstance(headers, str):
            raise TypeError("argument 'headers': Can't extract `str` to `Vec`")
        if not _is_sequence(headers):
            raise TypeError(f"argument 'headers': '{type(headers).__name__}' object cannot be converted to 'Sequence'")
        pairs = []
        for pair in headers:
            if not isinstance(pair, tuple):
                raise TypeError(f"argument 'headers': '{type(pair).__name__}' object cannot be converted to 'PyTuple'")
            if len(pair) != 2:
                raise ValueError(f"expected tuple of length 2, but got tuple of length {len(pair)}")
            key, value = pair
            if not isinstance(key, str) or not isinstance(value, str):
                bad = value if isinstance(key, str) else key
                raise TypeError(f"argument 'headers': '{type(bad).__name__}' object cannot be converted to 'PyString'")
            pairs.append((key, value))
        if type(method) is not HTTPMETHOD:
            raise TypeError(f"argument 'method': '{type(method).__name__}' object cannot be converted to 'HTTPMETHOD'")
        if body is not None and not isinstance(body, str):
            raise TypeError(f"argument 'body': '{type(body).__name__}' object cannot be converted to 'PyString'")
        self.url = url
        self.headers = pairs
        self.method = int(method)
        self.body = body

    def copy(self) -> "RefRequest":
        # The texts are immutable, so a new header list is all a deep copy needs.
        twin = RefRequest.__new__(RefRequest)
        twin.url, twin.headers, twin.method, twin.body = self.url, list(self.headers), self.method, self.body
        return twin

    def get_request_command(self) -> str:
        method = METHOD_NAMES[self.method]
        url = self.url
        refusal = _refusal(url, self.headers, self.body)
        if refusal:
            raise ValueError(refusal)
        words = ["curl -X", method]
        if method == "HEAD":
            words.append("--head")
        if _GLOB.search(url):
            words.append("--globoff")
        if url.startswith("-"):
            words.append("--url")
        words.append(url if _BARE_URL.fullmatch(url) and not url.startswith("=") else _quoted(url))
        for key, value in self.headers:
            words.append("-H")
            words.append(_header_word(key, value))
        if self.body is not None:
            words.append("--data-raw" if self.body.startswith("@") else "-d")
            words.append(_quoted(self.body))
        return " ".join(words)

    def item(self, index: int) -> dict:
        url = self.url
        pieces = url.split("/")
        if len(pieces) < 3:
            raise ValueError(f'request {index} has url "{url}" without a host: expected a host after "scheme://"')
        scheme = _SCHEME.match(url)
        return {
            "name": url,
            "request": {
                "body": {"mode": "raw", "raw": self.body or ""},
                "header": [{"key": key, "value": value} for key, value in self.headers],
                "method": METHOD_NAMES[self.method],
                "url": {"host": pieces[2], "path": pieces[3:], "protocol": scheme[0] if scheme else "https",
                        "raw": url},
            },
        }


class RefCollection:
    __slots__ = ("items",)

    def __init__(self, collection=None):
        if collection is None:
            self.items = None
            return
        if isinstance(collection, str):
            raise TypeError("argument 'collection': Can't extract `str` to `Vec`")
        self.items = [_checked(request, "collection").copy() for request in collection]

    def add_request(self, tavrel) -> None:
        copy = _checked(tavrel, "tavrel").copy()
        if self.items is None:
            self.items = []
        self.items.append(copy)

    def get_collection(self):
        return None if self.items is None else [request.copy() for request in self.items]

    def document(self) -> dict:
        items = [request.item(i) for i, request in enumerate(self.items or ())]
        return {"info": {"name": COLLECTION_NAME, "schema": SCHEMA_ADDRESS}, "item": items}

    def export_collection(self) -> str:
        return json.dumps(self.document(), ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def _checked(request, name: str) -> RefRequest:
    if not isinstance(request, RefRequest):
        raise TypeError(f"argument '{name}': '{type(request).__name__}' object cannot be converted to 'Tavrel'")
    return request


# --- Reference B: the same dicts written by orjson --------------------------------------------

def orjson_export(collection: RefCollection) -> str:
    import orjson

    return orjson.dumps(collection.document(), option=orjson.OPT_SORT_KEYS).decode()

