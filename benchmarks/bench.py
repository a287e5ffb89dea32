"""Prints throughput figures for tavrel's public operations (run with `make bench`).

Figures are operations per second on this machine; compare runs on the same machine only."""

import sys
import time
import tracemalloc

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

HEADERS = [("Accept", "application/json"), ("Authorization", "Bearer abc.def.ghi"), ("X-Trace", "on")]
URL = "https://api.example.com/v1/items/42?expand=owner"
BODY = '{"name": "widget", "tags": ["a", "b"], "price": 9.5}'


def rate(label, fn, *, seconds=0.4):
    fn()  # warm-up
    count, start = 0, time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        for _ in range(200):
            fn()
        count += 200
    print(f"{label:<44} {count / elapsed:>14,.0f} ops/s")


def main():
    request = Tavrel(URL, HEADERS, HTTPMETHOD.POST, BODY)
    quoted = Tavrel(URL + "&x=$(y)", [("K", "it's $HOME")], HTTPMETHOD.PUT, "it's")
    small = TavrelCollection([request] * 10)
    large = TavrelCollection([request] * 1000)
    big_body = Tavrel(URL, HEADERS, HTTPMETHOD.POST, "x" * 10_000_000)

    print(f"python {sys.version.split()[0]}")
    rate("Tavrel(url, 3 headers, POST, body)", lambda: Tavrel(URL, HEADERS, HTTPMETHOD.POST, BODY))
    rate("Tavrel(..) by keyword", lambda: Tavrel(url=URL, headers=HEADERS, method=HTTPMETHOD.GET))
    rate("get_request_command (plain texts)", request.get_request_command)
    rate("get_request_command (quoted texts)", quoted.get_request_command)
    rate("TavrelCollection([r] * 10)", lambda: TavrelCollection([request] * 10))
    growing = TavrelCollection()
    rate("add_request", lambda: growing.add_request(request), seconds=0.2)
    rate("get_collection (10 requests)", small.get_collection)
    rate("export_collection (10 requests)", small.export_collection)
    rate("export_collection (1000 requests)", large.export_collection, seconds=1.0)

    start = time.perf_counter()
    text = big_body.get_request_command()
    print(f"{'get_request_command (10 MB body)':<44} {time.perf_counter() - start:>14.4f} s  ({len(text):,} chars)")

    tracemalloc.start()
    large.export_collection()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"{'export_collection (1000) peak Python memory':<44} {peak / 1e6:>14.2f} MB")


if __name__ == "__main__":
    main()
