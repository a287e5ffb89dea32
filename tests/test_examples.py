"""The programs in examples/: each runs, and does its job against real clients and curl."""

import io
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

from support import RecordingServer, run_curl

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

needs_curl = pytest.mark.skipif(shutil.which("curl") is None or shutil.which("bash") is None,
                                reason="needs the curl and bash executables")


def run_example(name, *args, cwd=None):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


UNRECORDED = ("/blob", "/dav", "/stream")


def arrival(seen):
    """What the server saw of one request, with the header pairs in a fixed order."""
    method, path, headers, body = seen
    return method, path, sorted(headers.items()), body


class TestDemo:
    def test_prints_commands_and_writes_the_printed_document(self):
        proc = run_example("demo.py")
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        assert sum(line.startswith("  curl -X ") for line in lines) == 5
        written = (EXAMPLES / "demo.postman_collection.json").read_text(encoding="utf-8")
        assert written in lines
        assert len(json.loads(written)["item"]) == 5


@needs_curl
class TestRecordRequests:
    """Requests made with requests and httpx are recorded; each printed command, run with curl,
    reaches the server as the same request the client sent."""

    @pytest.fixture
    def recorded(self):
        requests = pytest.importorskip("requests")
        httpx = pytest.importorskip("httpx")
        from record_requests import Recorder

        out, err = io.StringIO(), io.StringIO()
        recorder = Recorder(out, err)
        with RecordingServer() as server:
            session = recorder.attach_requests(requests.Session())
            u = server.url
            session.get(f"{u}/items", params={"q": "tea & €", "page": 2},
                        headers={"X-Note": "it's $HOME and `id`", "X-Quote": 'say "hi"'})
            session.post(f"{u}/items", json={"name": "widget", "price": 9.5})
            session.put(f"{u}/notes/1", data="über '1' & $x".encode(),
                        headers={"Content-Type": "text/plain; charset=utf-8"})
            session.delete(f"{u}/items/7")
            session.post(f"{u}/blob", data=b"\xff\xfe\x00")  # not UTF-8
            session.request("PROPFIND", f"{u}/dav")  # not an HTTPMETHOD member
            with httpx.Client(event_hooks=recorder.httpx_hooks()) as client:
                client.get(f"{u}/search", params={"a": "1", "b": "x y"})
                client.patch(f"{u}/items/7", content='{"price": 10}',
                              headers={"Content-Type": "application/json", "X-Dup": "1"})
                client.options(f"{u}/items")
                client.post(f"{u}/empty", content=b"", headers={"Content-Type": "text/plain"})
                client.post(f"{u}/stream", content=iter([b"a", b"b"]))  # a stream
            from_clients = [arrival(s) for s in server.seen]
            yield recorder, out.getvalue().splitlines(), err.getvalue(), from_clients, server

    def test_unrecordable_requests_are_reported_and_still_sent(self, recorded):
        recorder, commands, err, from_clients, _ = recorded
        assert [(m, u.rsplit("/", 1)[1]) for m, u, _ in recorder.skipped] == [
            ("POST", "blob"), ("PROPFIND", "dav"), ("POST", "stream")]
        assert "the body is 3 bytes that are not UTF-8 text" in err
        assert "the method 'PROPFIND' is not one of HTTPMETHOD's" in err
        assert "the body is a stream" in err
        assert len(err.splitlines()) == 3
        assert len(from_clients) == 11 and len(commands) == 8

    def test_collection_holds_what_the_clients_sent(self, recorded, tmp_path):
        recorder, _, _, from_clients, _ = recorded
        sent = [a for a in from_clients if a[1] not in UNRECORDED]
        path = tmp_path / "calls.postman_collection.json"
        recorder.save(path)
        items = json.loads(path.read_text(encoding="utf-8"))["item"]
        assert len(items) == len(sent)
        for item, (method, target, headers, body) in zip(items, sent, strict=True):
            request = item["request"]
            assert request["method"] == method
            assert request["url"]["raw"].split("/", 3)[3] == target.lstrip("/")
            assert request["url"]["protocol"] == "http"
            recorded_headers = sorted((h["key"], h["value"]) for h in request["header"])
            # the client library adds Host itself (http.client for requests)
            assert [h for h in headers if h[0] != "Host"] == [
                h for h in recorded_headers if h[0] != "Host"]
            assert request["body"]["raw"] == body.decode()

    def test_printed_commands_reach_the_server_as_the_same_requests(self, recorded, tmp_path):
        _, commands, _, from_clients, server = recorded
        sent = [a for a in from_clients if a[1] not in UNRECORDED]
        server.seen.clear()
        for command in commands:
            run_curl(command, tmp_path)
        assert [arrival(s) for s in server.seen] == sent

    def test_script_runs(self, tmp_path):
        out = tmp_path / "rec.json"
        proc = run_example("record_requests.py", out)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines()[-1] == f"4 requests written to {out}"
        assert len(json.loads(out.read_text(encoding="utf-8"))["item"]) == 4
        assert proc.stderr.count("not recorded: ") == 2


class TestCurlFromJson:
    def test_prints_the_commands_of_all_files_in_order(self, tmp_path):
        from tavrel import HTTPMETHOD, Tavrel

        second = tmp_path / "more.json"
        second.write_text('[{"url": "https://h/ü", "method": "PUT", "body": "",'
                          ' "headers": {"X-A": "1", "X-B": "$2"}}]', encoding="utf-8")
        proc = run_example("curl_from_json.py", EXAMPLES / "requests.json", second)
        assert proc.returncode == 0 and proc.stderr == ""
        described = json.loads((EXAMPLES / "requests.json").read_text(encoding="utf-8"))
        expected = []
        for r in described + [{"url": "https://h/ü", "method": "PUT", "body": "",
                               "headers": [["X-A", "1"], ["X-B", "$2"]]}]:
            headers = r.get("headers", [])
            pairs = list(headers.items()) if isinstance(headers, dict) else headers
            expected.append(Tavrel(r["url"], [tuple(p) for p in pairs],
                                   getattr(HTTPMETHOD, r.get("method", "GET")),
                                   r.get("body")).get_request_command())
        assert proc.stdout.splitlines() == expected

    @pytest.mark.parametrize("content, message", [
        ('[{"url": "https://h/x"},\n {"url": "https://h/y",\n  "method": "FETCH"}]',
         "line 2, column 2: request 2: field 'method': 'FETCH' is not one of GET, POST, PUT, "
         "DELETE, HEAD, OPTIONS, PATCH, TRACE, CONNECT"),
        ('[{"url": "https://h/x",}]',
         "line 1, column 23: not JSON: Illegal trailing comma before end of object"),
        ('\n\n[{"url": "x" "method": "GET"}]', "line 3, column 14: not JSON: Expecting ',' delimiter"),
        ('{"url": "https://h/x"}', "line 1: expected a list of requests, got an object"),
        ('[{"url": "https://h/x"}, 5]', "request 2: expected an object, got a number"),
        ('[  {"uri": "https://h/x"}]', "line 1, column 4: request 1: field 'uri': unknown "
         "(the fields are url, method, headers, body)"),
        ('[{"method": "GET"}]', "line 1, column 2: request 1: field 'url': missing"),
        ('[{"url": null}]', "line 1, column 2: request 1: field 'url': expected a string, got null"),
        ('[{"url": "u", "headers": "Accept: */*"}]', "line 1, column 2: request 1: field "
         "'headers': expected an object or a list of pairs, got a string"),
        ('[{"url": "u", "headers": [["Accept"]]}]', "line 1, column 2: request 1: field "
         "'headers': header 1 is a list, not a [name, value] pair"),
        ('[{"url": "u", "headers": {"Accept": 1}}]', "line 1, column 2: request 1: field "
         "'headers': expected a string, got a number"),
        ('[{"url": "u", "body": {"a": 1}}]', "line 1, column 2: request 1: field 'body': "
         "expected a string, got an object"),
        ('[{"url": "u", "body": "\\udc80"}]', "line 1, column 2: request 1: field 'body': "
         "holds a lone surrogate ('\\udc80'), which is not text"),
    ])
    def test_a_wrong_file_gives_one_line_and_status_1(self, tmp_path, content, message):
        good = EXAMPLES / "requests.json"
        bad = tmp_path / "bad.json"
        bad.write_text(content, encoding="utf-8")
        proc = run_example("curl_from_json.py", good, bad)
        assert (proc.returncode, proc.stdout) == (1, "")
        assert proc.stderr == f"curl_from_json: {bad}: {message}\n"

    def test_unreadable_file(self, tmp_path):
        proc = run_example("curl_from_json.py", tmp_path / "missing.json")
        assert (proc.returncode, proc.stdout) == (1, "")
        assert proc.stderr == f"curl_from_json: {tmp_path / 'missing.json'}: cannot read: " \
                              "No such file or directory\n"
