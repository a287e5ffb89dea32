"""Rendering a request as a curl command line, and the shell safety of that text."""

import shlex
import shutil
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

from support import METHODS, curl_words, req

needs_bash = pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")


def render(url, headers=(), method="GET", body=None):
    return req(url, headers, method, body).get_request_command()


def bash_words(command):
    """Let a real bash split the command: `curl ...` becomes `printf '%s\\0' curl ...`."""
    out = subprocess.run(["bash", "-c", "printf '%s\\0' " + command],
                         capture_output=True, check=True, timeout=10).stdout
    return [word.decode() for word in out.split(b"\0")[:-1]]


class TestPlainCommands:
    """Texts that need no quoting come out exactly as the documented examples."""

    @pytest.mark.parametrize("args, expected", [
        (("svc/items", [], "GET"), "curl -X GET svc/items"),
        (("svc/items", [("Accept", "*/*"), ("X-Id", "7")], "POST", '{"k": 1}'),
         """curl -X POST svc/items -H "Accept: */*" -H "X-Id: 7" -d '{"k": 1}'"""),
        (("svc/items", [], "DELETE", ""), "curl -X DELETE svc/items -d ''"),
        (("https://localhost/api/items", [("Accept", "application/json")], "POST", "a=1"),
         """curl -X POST https://localhost/api/items -H "Accept: application/json" -d 'a=1'"""),
        (("", [], "GET"), "curl -X GET "),
        (("", [("", "")], "GET"), 'curl -X GET  -H ": "'),
        (("u", [("A", "1"), ("B", "2"), ("A", "3")], "PATCH"),
         'curl -X PATCH u -H "A: 1" -H "B: 2" -H "A: 3"'),
        (("AZaz09-._/:@%+=,", [], "GET"), "curl -X GET AZaz09-._/:@%+=,"),
        (("u", [("K", "it's")], "GET"), """curl -X GET u -H "K: it's\""""),
        (("u", [("Ключ", "значение €")], "PUT", "日本 🎉"),
         """curl -X PUT u -H "Ключ: значение €" -d '日本 🎉'"""),
    ])
    def test_renders_exactly(self, args, expected):
        assert render(*args) == expected
        assert shlex.split(expected) == curl_words(*args)

    @pytest.mark.parametrize("method", METHODS)
    def test_every_method_text(self, method):
        assert render("svc", [], method) == " ".join(curl_words("svc", [], method))

    def test_absent_and_empty_body_differ(self):
        assert render("u", body=None) == "curl -X GET u"
        assert render("u", body="") == "curl -X GET u -d ''"


class TestShellQuoting:
    """Texts the shell would reinterpret are quoted so that they reach curl unchanged."""

    @pytest.mark.parametrize("url, expected", [
        ("http://h/s?a=1&b=2", "curl -X GET 'http://h/s?a=1&b=2'"),
        ("http://h/a b", "curl -X GET 'http://h/a b'"),
        ("http://h/it's", "curl -X GET 'http://h/it'\\''s'"),
        ("http://h/#top", "curl -X GET 'http://h/#top'"),
        ("~/x", "curl -X GET '~/x'"),
        ("https://bücher.example/straße", "curl -X GET 'https://bücher.example/straße'"),
    ])
    def test_url(self, url, expected):
        assert render(url) == expected

    @pytest.mark.parametrize("value, piece", [
        ('say "hi"', """ -H 'K: say "hi"'"""),
        ("a\\b", " -H 'K: a\\b'"),
        ("$(id)", " -H 'K: $(id)'"),
        ("`id`", " -H 'K: `id`'"),
        ("hi!", " -H 'K: hi!'"),
        ("it's $HOME", " -H 'K: it'\\''s $HOME'"),
    ])
    def test_header(self, value, piece):
        assert render("u", [("K", value)]) == "curl -X GET u" + piece

    @pytest.mark.parametrize("body, piece", [
        ("it's", " -d 'it'\\''s'"),
        ("''", " -d ''\\'''\\'''"),
        ("$(id) `x` \"q\" \\ !", " -d '$(id) `x` \"q\" \\ !'"),
    ])
    def test_body(self, body, piece):
        assert render("u", body=body) == "curl -X GET u" + piece

    @needs_bash
    def test_bash_agrees_on_quoted_cases(self):
        args = ("http://h/s?a=1&b='x'", [("K", "it's $HOME `id` \"q\" \\ !"), ("J", "x'y")],
                "POST", "it's $(id)\n")
        assert bash_words(render(*args)) == curl_words(*args)


class TestCurlReadsTheRequest:
    """Options that make curl itself read each word as the request says."""

    @pytest.mark.parametrize("args, expected", [
        (("https://h/x", [], "HEAD"), "curl -X HEAD --head https://h/x"),
        (("https://h/s?f={a,b}", [], "GET"), "curl -X GET --globoff 'https://h/s?f={a,b}'"),
        (("http://[::1]:8080/x", [], "GET"), "curl -X GET --globoff 'http://[::1]:8080/x'"),
        (("-o/tmp/x", [], "GET"), "curl -X GET --url -o/tmp/x"),
        (("-[x]", [], "HEAD"), "curl -X HEAD --head --globoff --url '-[x]'"),
        (("https://h/x", [("X-E", ""), ("X-$", ""), ("", "")], "GET"),
         "curl -X GET https://h/x -H \"X-E;\" -H 'X-$;' -H \": \""),
        (("u", [("X-Blank", " \t "), ("X-Tab", "\t"), ("X-Not", " x ")], "GET"),
         "curl -X GET u -H \"X-Blank;\" -H \"X-Tab;\" -H \"X-Not:  x \""),
        (("https://h/up", [], "POST", "@/etc/passwd"), "curl -X POST https://h/up --data-raw '@/etc/passwd'"),
        (("https://h/up", [], "POST", "@it's"), "curl -X POST https://h/up --data-raw '@it'\\''s'"),
        (("https://h/up", [], "POST", "a@b"), "curl -X POST https://h/up -d 'a@b'"),
    ])
    def test_renders_exactly(self, args, expected):
        assert render(*args) == expected
        assert shlex.split(expected) == curl_words(*args)


shell_text = st.text(st.one_of(
    st.sampled_from(list("'\"\\$`!~#&;|<>(){}[]*? \t\r\n-_=:/@%+,.aZ9é\u00a0")),
    st.characters(exclude_categories=("Cs",), exclude_characters="\x00"),
), max_size=12)
# Now and then a prefix that curl would read as an option, a file name or a url glob, and header
# values that curl would read as "remove this header".
prefixed = st.builds(lambda prefix, rest: prefix + rest,
                     st.sampled_from(["", "", "-", "--", "-o", "@", "[", "{"]), shell_text)
header_value = shell_text | st.sampled_from(["", " ", "\t", " \t "])
requests = st.tuples(prefixed, st.lists(st.tuples(shell_text, header_value), max_size=3),
                     st.sampled_from(METHODS), st.none() | prefixed)


class TestRoundTrip:
    """Any texts without NUL survive shell word splitting as separate, intact words."""

    @settings(max_examples=200, deadline=None)
    @given(requests)
    def test_shlex_split(self, args):
        assert shlex.split(render(*args)) == curl_words(*args)

    @needs_bash
    @settings(max_examples=200, deadline=None)
    @given(requests)
    def test_bash(self, args):
        assert bash_words(render(*args)) == curl_words(*args)
