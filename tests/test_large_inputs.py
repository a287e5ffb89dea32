"""Very large requests are handled whole: nothing is cut short in commands, copies or exports."""
import json

import pytest

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

SCHEMA_URL = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"


def expected_command(url, headers, method, body):
    parts = [f"curl -X {method} {url}"]
    parts += [f' -H "{k}: {v}"' for k, v in headers]
    parts.append(f" -d '{body}'")
    return "".join(parts)


def expected_export(url, headers, method, body):
    pieces = url.split("/")
    item = {"name": url, "request": {
        "body": {"mode": "raw", "raw": body},
        "header": [{"key": k, "value": v} for k, v in headers],
        "method": method,
        "url": {"host": pieces[2], "path": pieces[3:], "protocol": "https", "raw": url}}}
    document = {"info": {"name": "Tavrel Collection", "schema": SCHEMA_URL}, "item": [item]}
    return json.dumps(document, sort_keys=True, separators=(",", ":"))


@pytest.mark.parametrize("headers, body", [
    pytest.param([("Content-Type", "text/plain")], "b" * (100 << 20), id="100 MB body"),
    pytest.param([(f"X-{i}", f"v{i}") for i in range(1_000_000)], "small", id="1,000,000 headers"),
])
def test_large_request_is_rendered_and_exported_whole(headers, body):
    url = "https://host.example/upload/big"
    try:
        request = Tavrel(url, headers, HTTPMETHOD.POST, body)
        command = request.get_request_command()
        collection = TavrelCollection([request])
        copy = collection.get_collection()[0]
        exported = collection.export_collection()
    except MemoryError:
        pytest.skip("not enough memory for this input")

    want = expected_command(url, headers, "POST", body)
    assert len(command) == len(want)
    assert command == want
    del want
    assert copy.get_request_command() == command
    del command, copy

    want = expected_export(url, headers, "POST", body)
    assert len(exported) == len(want)
    assert exported == want
