"""Rendered commands, run by bash (and dash) and the real curl, reach a loopback server as the
request says."""

import re
import shutil
import urllib.parse

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support import METHODS, RecordingServer, examples, req, run_curl

pytestmark = pytest.mark.skipif(
    shutil.which("curl") is None or shutil.which("bash") is None,
    reason="needs the curl and bash executables")


@pytest.fixture(scope="module")
def server():
    with RecordingServer() as srv:
        yield srv


def send(server, home, url, headers=(), method="GET", body=None):
    """What the server saw for the rendered request: a list of (method, path, headers, body)."""
    command = req(url, headers, method, body).get_request_command()
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
        # Texts with control characters go through printf with octal escapes: a multipart body with
        # its CRLFs, a tab.
        ("POST", "/up", [("Content-Type", "multipart/form-data; boundary=b"), ("X-Tab", "a\tb")],
         '--b\r\nContent-Disposition: form-data; name="f"\r\n\r\nv\x1b\x7f\u0085\r\n--b--\r\n'),
    ])
    def test_request_arrives(self, server, tmp_path, method, path, headers, body):
        [(got_method, got_path, got_headers, got_body)] = send(
            server, tmp_path, server.url + path, headers, method, body)
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
        [(_, _, _, got_body)] = send(server, tmp_path, server.url + "/upload", [], "POST", body)
        assert got_body == body.encode()

    def test_option_like_url_is_refused_as_a_url(self, server, tmp_path):
        target = tmp_path / "out.txt"
        command = req(f"-o{target}").get_request_command()
        server.seen.clear()
        done = run_curl(command, tmp_path, check=False)
        assert done.returncode in (3, 6), done.stderr
        assert server.seen == []
        assert not target.exists()


# Texts written through printf, and line feeds that end a text written after it in single quotes.
ESCAPED = {
    "multipart body": ([("Content-Type", "multipart/form-data; boundary=b")],
                       '--b\r\nContent-Disposition: form-data; name="f"\r\n\r\nv\r\n--b--\r\n'),
    "pretty-printed JSON ending with a line feed": ([("Content-Type", "application/json")],
                                                    '{\n  "a": [1, 2],\n  "b": "%s \\\\ \'!"\n}\n'),
    "pretty-printed JSON": ([("Content-Type", "application/json")], '{\n  "a": [1, 2],\n  "b": "c"\n}'),
    "line feeds after a carriage return": ([], "a\r\n\n"),
    "header with tabs": ([("X-Tab", "a\tb\t\tc"), ("X-Role", "\u202eadmin\u202c")], None),
    "bidi and zero-width body": ([], "\u202etxt.exe\u200b\ufeff\u00ad\u2060\u2028\u00a0\ue000 \U000e0041"),
}


@pytest.mark.parametrize("shell", ["bash", "dash"])
@pytest.mark.parametrize("headers, body", ESCAPED.values(), ids=ESCAPED.keys())
def test_escaped_texts_arrive_byte_for_byte(server, tmp_path, shell, headers, body):
    """Run as `bash -c` and as `sh -c` (dash), the command makes curl send each header value and
    the body byte for byte."""
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    method = "GET" if body is None else "POST"
    command = req(server.url + "/e", headers, method, body).get_request_command()
    server.seen.clear()
    run_curl(command, tmp_path, shell=shell)
    [(got_method, got_target, got_headers, got_body)] = server.seen
    assert (got_method, got_target) == (method, "/e")
    # The server reads header bytes as Latin-1.
    for key, value in headers:
        assert [v.encode("latin-1") for v in got_headers.get_all(key)] == [value.encode()]
    assert got_body == (b"" if body is None else body.encode())


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


def escapes_lowered(target):
    return re.sub("%[0-9A-Fa-f]{2}", lambda escape: escape.group().lower(), target)


printable = st.characters(min_codepoint=0x20, max_codepoint=0x7E)
some_text = st.text(printable | st.sampled_from(["é", "€", "日", "🎉"]), max_size=20)
token = st.text(st.sampled_from("!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                min_size=1, max_size=10)
header_value = (st.text(printable | st.just("\t"), max_size=15).map(lambda v: v.strip(" \t"))
                | st.sampled_from(["", " ", "\t"]))
body_text = st.text(printable | st.sampled_from(["é", "\r", "\n", "\t", "\x1b", "\x01", "\x7f", "\u0085"]),
                    max_size=20)
prefixed_body = st.builds(lambda prefix, rest: prefix + rest, st.sampled_from(["", "@", "-", "--"]), body_text)


@st.composite
def described_requests(draw):
    method = draw(st.sampled_from(METHODS))
    # With a body, curl refuses --head itself; that is curl's own clear answer, tested elsewhere.
    body = None if method == "HEAD" else draw(st.none() | prefixed_body)
    headers = draw(st.lists(st.tuples(token.map(lambda t: "X-" + t), header_value), max_size=4))
    return draw(some_text), headers, method, body


class TestRandomRequestsThroughCurl:
    @settings(max_examples=examples(300), deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(described_requests())
    def test_what_arrives_is_the_request(self, server, tmp_path, request_args):
        url_tail, headers, method, body = request_args
        command = req(f"{server.url}/{url_tail}", headers, method, body).get_request_command()
        server.seen.clear()
        done = run_curl(command, tmp_path, check=False)
        expected_target = as_sent(url_tail)
        if expected_target is None:
            assert done.returncode == 3 and server.seen == []
            return
        assert done.returncode == 0, (command, done.stderr)
        [(got_method, got_path, got_headers, got_body)] = server.seen
        # curl 7 writes its percent-escapes in lower case, curl 8 in upper case.
        assert (got_method, escapes_lowered(got_path)) == (method, escapes_lowered(expected_target))
        assert_headers_arrived(got_headers, headers)
        assert got_body == (b"" if body is None else body.encode())
