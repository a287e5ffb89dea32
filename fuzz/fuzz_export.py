"""export_collection() of random collections, built through the constructor and add_request:
the text must parse as JSON and equal, byte for byte, the document worked out by the pure-Python
oracle of the tests; a url with fewer than two "/" must instead give the documented ValueError
for the first such request, and the collection must stay usable."""

import json
import sys

import atheris

from inputs import METHODS, instrument, support, text
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

SCHEMES = ["", "http://", "https://", "Ab+1.-://", "1x://", "x:/", "é://", "://", "/", "//"]


def draw_url(fdp):
    if fdp.ConsumeIntInRange(0, 4) == 0:
        return text(fdp)
    pieces = [text(fdp, max_len=4).replace("/", "") for _ in range(fdp.ConsumeIntInRange(0, 5))]
    return SCHEMES[fdp.ConsumeIntInRange(0, len(SCHEMES) - 1)] + "/".join(pieces)


def draw_row(fdp):
    headers = [(text(fdp, max_len=5), text(fdp, max_len=5)) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    body = text(fdp) if fdp.ConsumeBool() else None
    return draw_url(fdp), headers, METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)], body


def request(row):
    url, headers, method, body = row
    return Tavrel(url, headers, getattr(HTTPMETHOD, method), body)


def check(collection, rows):
    bad = next((i for i, row in enumerate(rows) if row[0].count("/") < 2), None)
    try:
        out = collection.export_collection()
    except ValueError as exc:
        assert bad is not None, f"refused a collection whose urls all have a host: {rows!r}"
        assert type(exc) is ValueError
        expected = (f'request {bad} has url "{rows[bad][0]}" without a host: '
                    'expected a host after "scheme://"')
        assert str(exc) == expected, f"\n{str(exc)!r}\n{expected!r}"
        return
    assert bad is None, f"exported a url without a host: {rows[bad][0]!r}"
    document = json.loads(out)
    assert document == support.expected_document(rows), f"\n{out!r}\n{rows!r}"
    assert out == support.expected_text(rows), f"\n{out!r}\n{support.expected_text(rows)!r}"


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    rows = [draw_row(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    split = fdp.ConsumeIntInRange(-1, len(rows))  # -1: made without a list
    collection = TavrelCollection(None if split < 0 else [request(r) for r in rows[:split]])
    if split <= 0:
        check(collection, [])
    else:
        check(collection, rows[:split])
    for end in range(max(split, 0) + 1, len(rows) + 1):
        collection.add_request(request(rows[end - 1]))
        if fdp.ConsumeBool():
            check(collection, rows[:end])
    check(collection, rows)
    # the same records, read back out and put into a new collection, export the same
    copied = collection.get_collection()
    if copied is not None:
        check(TavrelCollection(copied), rows)


if __name__ == "__main__":
    instrument(globals())
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
