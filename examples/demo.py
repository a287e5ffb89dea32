"""Builds a few realistic requests, prints their curl command lines, and exports them as a
Postman collection (printed pretty for reading, and written to a file Postman can import)."""

import json
import pathlib

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

requests = [
    Tavrel("https://api.example.com/v1/items", [("Accept", "application/json")], HTTPMETHOD.GET),
    Tavrel(
        "https://api.example.com/v1/items",
        [("Content-Type", "application/json"), ("Authorization", "Bearer tok-123")],
        HTTPMETHOD.POST,
        '{"name": "widget", "price": 9.5}',
    ),
    Tavrel("http://localhost:8080/search?q=tea&page=2", [], HTTPMETHOD.GET),
    Tavrel(
        "https://api.example.com/v1/notes/42",
        [("Content-Type", "text/plain")],
        HTTPMETHOD.PUT,
        "it's done",
    ),
    Tavrel("https://api.example.com/v1/items/7", [("X-Request-Id", "$(whoami)")], HTTPMETHOD.DELETE, ""),
]

print("curl command lines:")
for request in requests:
    print("  " + request.get_request_command())

collection = TavrelCollection(requests[:2])
for request in requests[2:]:
    collection.add_request(request)

document = collection.export_collection()
print("\nexported collection (compact, as returned):")
print(document)
print("\nexported collection (pretty-printed for reading):")
print(json.dumps(json.loads(document), indent=2, ensure_ascii=False))

out = pathlib.Path(__file__).with_name("demo.postman_collection.json")
out.write_text(document, encoding="utf-8")
print(f"\nwritten to {out} (File > Import in Postman)")
