"""Rendered commands, run by bash and the real curl, reach a loopback server as the request says."""

import http.server
import os
import shutil
import subprocess
import threading
import urllib.parse

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tavrel import HTTPMETHOD, Tavrel

pytestmark = pytest.mark.skipif(
    shutil.which("curl") is None or shutil.which("bash") is None,
    reason="needs the curl and bash executables")

METHODS = ["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"]
PROXY_VARS = {"http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy"}
# A sanitizer runtime preloaded for the test process must not reach curl (it hangs there).
SANITIZER_VARS = {"ld_preload", "asan_options", "ubsan_options"}


class Recorder(http.server.BaseHTTPRequestHandler):
    """Records every request and answers it over a kept-alive HTTP/1.1 connection with a
    Content-Length, HEAD included: a client that waits for a HEAD response's body never finishes."""

    protocol_version = "HTTP/1.1"

    def record(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        # The request target as sent (self.path has leading slashes collapsed by the server).
        target = self.requestline.split()[1]
        self.server.seen.append((self.command, target, self.headers, body))
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(b"ok")

    def __getattr__(self, name):
        if name.startswith("do_"):
            return self.record
        raise AttributeError(name)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    srv.daemon_threads = True
    srv.seen = []
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()
    thread.join()


def base_url(server):
    return f"http://127.0.0.1:{server.server_address[1]}"


def run_curl(command, home, check=True):
    """Runs the command with bash from `home`; curl's output goes nowhere unless the command
    itself names a file."""
    # An empty HOME keeps any ~/.curlrc out and makes a stray "$HOME" expansion visible.
    env = {k: v for k, v in os.environ.items() if k.lower() not in PROXY_VARS | SANITIZER_VARS}
    env.update(HOME=str(home), CURL_HOME=str(home))
    return subprocess.run(["bash", "-c", command + " -s -S -o /dev/null --max-time 5"], cwd=home,
                          env=env, check=check, capture_output=True, timeout=20)


def send(server, home, url, headers=(), method="GET", body=None):
    """What the server saw for the rendered request: a list of (method, path, headers, body)."""
    command = Tavrel(url, list(headers), getattr(HTTPMETHOD, method), body).get_request_command()
    server.seen.clear()
    run_curl(command, home)
    return list(server.seen)


def assert_headers_arrived(got_headers, headers):
    """Each header arrived, in order, with its value (names are case-insensitive)."""
    for key in {k.lower() for k, _ in headers}:
        assert got_headers.get_all(key) == [v.strip(" \t") for k, v in headers if k.lower() == key]


class TestCurlReceivesWhatWasDescribed:
    @pytest.mark.parametrize("method, path, headers, body", [
        ("GET", "/items", [], None),
        ("POST", "/items", [("X-Note", "$HOME and `id`"), ("X-Quote", 'say "hi"')],
         "it's \"quoted\" $(x) & `id` \\ !"),
        ("GET", "/search?a=1&b=2", [("Accept", "*/*")], None),
        ("PUT", "/items/7", [("X-Mark", "it's!")], ""),
        ("DELETE", "/items/7", [], None),
        ("PATCH", "/it's/x", [("X-Dup", "1"), ("X-Other", "x"), ("X-Dup", "2")], "ü=€"),
        ("HEAD", "/health", [], None),
        ("GET", "/search?f={a,b}&r=[1-3]", [], None),
        ("GET", "/x(1)[2]", [], None),
        ('GET', '/q?q={"a":1}', [], None),
        ("GET", "/h", [("X-Empty", ""), ("Accept", ""), ("X-Blank", " \t ")], None),
    ])
    def test_request_arrives(self, server, tmp_path, method, path, headers, body):
        [(got_method, got_path, got_headers, got_body)] = send(
            server, tmp_path, base_url(server) + path, headers, method, body)
        assert got_method == method
        assert got_path == path
        assert_headers_arrived(got_headers, headers)
        # An empty body is still sent (Content-Length: 0); an absent one is not sent at all.
        sent = None if body is None else body.encode()
        assert got_headers.get("Content-Length") == (None if sent is None else str(len(sent)))
        assert got_body == (sent or b"")

    def test_body_naming_a_file_is_sent_as_text(self, server, tmp_path):
        secret = tmp_path / "secret.txt"
        secret.write_text("do not send")
        body = f"@{secret}"
        [(_, _, _, got_body)] = send(server, tmp_path, base_url(server) + "/upload", [], "POST", body)
        assert got_body == body.encode()

    def test_option_like_url_is_refused_as_a_url(self, server, tmp_path):
        target = tmp_path / "out.txt"
        command = Tavrel(f"-o{target}", [], HTTPMETHOD.GET).get_request_command()
        server.seen.clear()
        done = run_curl(command, tmp_path, check=False)
        assert done.returncode in (3, 6), done.stderr
        assert server.seen == []
        assert not target.exists()


def remove_dot_segments(path):
    """The path as curl sends it: "." and ".." segments resolved."""
    out = []
    segments = path.split("/")
    for i, segment in enumerate(segments):
        last = i == len(segments) - 1
        if segment == ".":
            if last:
                out.append("")
        elif segment == "..":
            if len(out) > 1:
                out.pop()
            if last:
                out.append("")
        else:
            out.append(segment)
    return "/".join(out)


def as_sent(url_tail):
    """The request target that curl sends for base url + "/" + url_tail, or None when curl refuses
    the url: it cuts the fragment, resolves dot segments and percent-encodes non-ASCII bytes in the
    path; the query goes out as raw bytes (which the server reads as Latin-1)."""
    if " " in url_tail:
        return None
    target = "/" + url_tail.split("#", 1)[0]
    path, mark, query = target.partition("?")
    path = "".join(c if c.isascii() else urllib.parse.quote(c).lower() for c in remove_dot_segments(path))
    return path + mark + query.encode().decode("latin-1")


printable = st.characters(min_codepoint=0x20, max_codepoint=0x7E)
some_text = st.text(printable | st.sampled_from(["é", "€", "日", "🎉"]), max_size=20)
token = st.text(st.sampled_from("!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                min_size=1, max_size=10)
header_value = st.text(printable, max_size=15).map(lambda v: v.strip(" ")) | st.sampled_from(["", " ", "\t"])
prefixed_body = st.builds(lambda prefix, rest: prefix + rest, st.sampled_from(["", "@", "-", "--"]), some_text)


@st.composite
def described_requests(draw):
    method = draw(st.sampled_from(METHODS))
    # With a body, curl refuses --head itself; that is curl's own clear answer, tested elsewhere.
    body = None if method == "HEAD" else draw(st.none() | prefixed_body)
    headers = draw(st.lists(st.tuples(token.map(lambda t: "X-" + t), header_value), max_size=4))
    return draw(some_text), headers, method, body


class TestRandomRequestsThroughCurl:
    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(described_requests())
    def test_what_arrives_is_the_request(self, server, tmp_path, request_args):
        url_tail, headers, method, body = request_args
        command = Tavrel(f"{base_url(server)}/{url_tail}", headers, getattr(HTTPMETHOD, method),
                         body).get_request_command()
        server.seen.clear()
        done = run_curl(command, tmp_path, check=False)
        expected_target = as_sent(url_tail)
        if expected_target is None:
            assert done.returncode == 3 and server.seen == []
            return
        assert done.returncode == 0, (command, done.stderr)
        [(got_method, got_path, got_headers, got_body)] = server.seen
        assert (got_method, got_path) == (method, expected_target)
        assert_headers_arrived(got_headers, headers)
        assert got_body == (b"" if body is None else body.encode())
