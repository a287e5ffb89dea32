"""Very large requests are handled whole: nothing is cut short in commands, copies or exports."""
import pytest

from support import expected_text
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection


def expected_command(url, headers, method, body):
    parts = [f"curl -X {method} {url}"]
    parts += [f' -H "{k}: {v}"' for k, v in headers]
    parts.append(f" -d '{body}'")
    return "".join(parts)


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

    want = expected_text([(url, headers, "POST", body)])
    assert len(exported) == len(want)
    assert exported == want
