"""Rendered commands, run by bash and the real curl, reach a loopback server intact."""

import http.server
import os
import shutil
import subprocess
import threading

import pytest

from tavrel import HTTPMETHOD, Tavrel

pytestmark = pytest.mark.skipif(
    shutil.which("curl") is None or shutil.which("bash") is None,
    reason="needs the curl and bash executables")

PROXY_VARS = {"http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy"}
# A sanitizer runtime preloaded for the test process must not reach curl (it hangs there).
SANITIZER_VARS = {"ld_preload", "asan_options", "ubsan_options"}


class Recorder(http.server.BaseHTTPRequestHandler):
    def record(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        self.server.seen.append((self.command, self.path, self.headers, body))
        self.send_response(204)
        self.end_headers()

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = record

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    srv.seen = []
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()
    thread.join()


def run_curl(command, home):
    # An empty HOME keeps any ~/.curlrc out and makes a stray "$HOME" expansion visible.
    env = {k: v for k, v in os.environ.items() if k.lower() not in PROXY_VARS | SANITIZER_VARS}
    env.update(HOME=str(home), CURL_HOME=str(home))
    subprocess.run(["bash", "-c", command + " -s -S -f -o /dev/null --max-time 5"],
                   env=env, check=True, capture_output=True, timeout=20)


class TestCurlReceivesWhatWasDescribed:
    @pytest.mark.parametrize("method, path, headers, body", [
        ("GET", "/items", [], None),
        ("POST", "/items", [("X-Note", "$HOME and `id`"), ("X-Quote", 'say "hi"')],
         "it's \"quoted\" $(x) & `id` \\ !"),
        ("GET", "/search?a=1&b=2", [("Accept", "*/*")], None),
        ("PUT", "/items/7", [("X-Mark", "it's!")], ""),
        ("DELETE", "/items/7", [], None),
        ("PATCH", "/it's/x", [("X-Dup", "1"), ("X-Other", "x"), ("X-Dup", "2")], "ü=€"),
    ])
    def test_request_arrives(self, server, tmp_path, method, path, headers, body):
        url = f"http://127.0.0.1:{server.server_address[1]}{path}"
        command = Tavrel(url, headers, getattr(HTTPMETHOD, method), body).get_request_command()
        server.seen.clear()
        run_curl(command, tmp_path)

        [(got_method, got_path, got_headers, got_body)] = server.seen
        assert got_method == method
        assert got_path == path
        for key in {k for k, _ in headers}:
            assert got_headers.get_all(key) == [v for k, v in headers if k == key]
        # An empty body is still sent (Content-Length: 0); an absent one is not sent at all.
        sent = None if body is None else body.encode()
        assert got_headers.get("Content-Length") == (None if sent is None else str(len(sent)))
        assert got_body == (sent or b"")
