"""Rendering a request as a curl command line, and the shell safety of that text."""

import importlib.util
import json
import pathlib
import re
import shlex
import shutil
import subprocess
import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

from support import (
    METHODS,
    NOT_IN_HEADER,
    UNPRINTABLE_VERSION,
    curl_words,
    examples,
    expected_document,
    plain_env,
    req,
    shell_split,
    unprintable,
)
from tavrel import TavrelCollection

ROOT = pathlib.Path(__file__).resolve().parent.parent
needs_bash = pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")
# The shells that read the commands, each as `sh -c` is run: the POSIX shells, and fish.
SHELLS = {"bash": ["bash", "-c"], "zsh": ["zsh", "-f", "-c"], "ksh93": ["ksh93", "-c"], "mksh": ["mksh", "-c"],
          "busybox sh": ["busybox", "sh", "-c"], "dash": ["dash", "-c"], "yash": ["yash", "-c"],
          "posh": ["posh", "-c"], "fish": ["fish", "--no-config", "-c"]}


def render(url, headers=(), method="GET", body=None):
    return req(url, headers, method, body).get_request_command()


def shell_words(command, shell="bash"):
    """Let a real shell split the command: `curl ...` becomes `printf '%s\\0' curl ...`."""
    argv = SHELLS[shell]
    if shutil.which(argv[0]) is None:
        pytest.skip(f"{argv[0]} is not installed")
    out = subprocess.run([*argv, "printf '%s\\0' " + command], capture_output=True, check=True, timeout=10,
                         env=dict(plain_env(), LC_ALL="C.UTF-8")).stdout
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
        (("", [("K", "")], "GET"), 'curl -X GET  -H "K;"'),
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
        ("=curl", "curl -X GET '=curl'"),
        ("a=b", "curl -X GET a=b"),
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

    @pytest.mark.parametrize("body, piece", [
        # fish reads "\\" and "\'" inside single quotes as escapes: such a backslash goes outside.
        ("it\\';touch PWNED;#", r" -d 'it'\\''\'';touch PWNED;#'"),
        ("a\\\\b\\", r" -d 'a'\\'\b'\\''"),
        ("C:\\new\\x", r" -d 'C:\new\x'"),
    ])
    def test_backslash_read_alike_by_fish(self, body, piece):
        assert render("u", body=body) == "curl -X GET u" + piece
        assert shell_split(render("u", body=body), fish=True) == curl_words("u", body=body)

    @needs_bash
    def test_bash_agrees_on_quoted_cases(self):
        args = ("http://h/s?a=1&b='x'", [("K", "it's $HOME `id` \"q\" \\ !"), ("J", "x'y")],
                "POST", "it's $(id)\n")
        assert shell_words(render(*args)) == curl_words(*args)



class TestEscapes:
    """A text holding a control or unprintable character goes through printf with octal escapes,
    "$(printf '...')", which every POSIX shell and fish read alike: the command is printable text,
    shows what it sends, and is one line unless a text ends with line feeds."""

    @pytest.mark.parametrize("args, expected", [
        (("u", [], "POST", "--b\r\nv\r\n"), """curl -X POST u -d "$(printf '\\055-b\\015\\012v\\015')"'\n'"""),
        (("u", [], "POST", "it's \\ \t\x1b[201~\x15\x03\x7f%!"),
         r'''curl -X POST u -d "$(printf 'it'\''s \134 \011\033[201~\025\003\177%%\041')"'''),
        # Octal is always three digits, so a digit after it is not read as part of it.
        (("u", [], "POST", "\x017\x1f8"), r'''curl -X POST u -d "$(printf '\0017\0378')"'''),
        # Unprintable characters byte by byte; printable non-ASCII text as it is.
        (("u", [], "POST", "\x85\xa0é \"$`"), r'''curl -X POST u -d "$(printf '\302\205\302\240é "$`')"'''),
        (("u", [("X-Role", "\u202eadmin\u202c")], "GET"),
         r'''curl -X GET u -H "$(printf 'X-Role: \342\200\256admin\342\200\254')"'''),
        (("u", [("K", "a\tb"), ("L", "x\x9b"), ("M", "\t"), ("N", "$")], "GET"),
         r"""curl -X GET u -H "$(printf 'K: a\011b')" -H "$(printf 'L: x\302\233')" -H "M;" -H 'N: $'"""),
        (("http://h/a\nb", [], "GET"), r'''curl -X GET "$(printf 'http://h/a\012b')"'''),
        (("-[\x01]", [], "HEAD"), r'''curl -X HEAD --head --globoff --url "$(printf '\055[\001]')"'''),
        # Line feeds that end a text stay as they are, in single quotes.
        (("u", [], "POST", "@\n"), "curl -X POST u --data-raw '@\n'"),
        (("u", [], "POST", '{\n  "a": 1\n}\n'), """curl -X POST u -d "$(printf '{\\012  "a": 1\\012}')"'\n'"""),
        (("u", [], "POST", "日本 🎉 e\u0301"), "curl -X POST u -d '日本 🎉 e\u0301'"),
    ])
    def test_renders_exactly(self, args, expected):
        assert render(*args) == expected
        assert shell_split(expected) == shell_split(expected, fish=True) == curl_words(*args)

    def test_every_unprintable_character_and_no_other(self):
        """The table of unprintable characters is the one str.isprintable() follows (exactly, on
        the Unicode version it was made from; on a newer one, every character unprintable there
        is escaped too), and a command escapes exactly the characters the table names."""
        everything = "".join(chr(c) for c in range(1, 0x110000) if not 0xD800 <= c < 0xE000 and c != 0x0A)
        command = render("u", body=everything)
        assert command.isprintable()
        assert shell_split(command)[-1] == everything
        shown = set(command[command.index("printf '"):])
        escaped = {c for c in everything if c not in shown or c in "\\!"}
        assert escaped == {c for c in everything if c < " " or c in "\\!\x7f" or (c > "\x7f" and unprintable(ord(c)))}
        python = {c for c in everything if not c.isprintable()}
        if unicodedata.unidata_version == UNPRINTABLE_VERSION:
            assert escaped - set("\\!") == python
            # ... and the table is what its tool makes of this interpreter's database.
            spec = importlib.util.spec_from_file_location("gen", ROOT / "tools" / "gen_unprintable.py")
            gen = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(gen)
            assert gen.table_text() == gen.TARGET.read_text()
        else:
            assert python <= escaped, f"Unicode {unicodedata.unidata_version}"


CANNOT = "which no HTTP header can carry; the command cannot send it"


class TestRefusals:
    """What no curl command line can carry is refused with ValueError naming the part; the request
    stays as it was, and the collection document still carries it."""

    @pytest.mark.parametrize("args, message", [
        (("u", [("A", "1"), ("@x", "v")]), 'header 1 key "@x" starts with "@", which curl reads as a file name'),
        # Keys that curl drops or sends as another header, or that a server reads as part of the
        # header before.
        (("u", [("", "v")]), 'header 0 key "" is empty, which curl drops'),
        (("u", [(":", "")]), """header 0 key ":" holds ":", which ends a header's name: the server reads another"""),
        (("u", [("X-Empty:", "")]),
         """header 0 key "X-Empty:" holds ":", which ends a header's name: the server reads another"""),
        (("u", [(" X-Folded", "w")]),
         'header 0 key " X-Folded" starts with a space, which makes the header part of the one before it'),
        (("u", [("\tX\u200b", "w")]),
         r'header 0 key "\tX\u200b" starts with a tab, which makes the header part of the one before it'),
        (("u", [("X-A", "a\r\nInjected: 1")]),
         f'header 0 ("X-A") holds U+000D, {CANNOT}'),
        (("u", [("X", "\x0b")]), f'header 0 ("X") holds U+000B, {CANNOT}'),
        (("u", [("K\n\\\"\x85\u202e\U000e0001", "v")]),
         f'header 0 ("K\\n\\\\\\"\\x85\\u202e\\U000e0001") holds U+000A, {CANNOT}'),
        (("u", [("X", "\x7f")]), f'header 0 ("X") holds U+007F, {CANNOT}'),
        (("u", [("X", "a\0")]), f'header 0 ("X") holds U+0000, {CANNOT}'),
        (("u", [("a;b", " \t")]),
         'header 0 ("a;b") has ";" in its key and a blank value, which curl drops; the command cannot send it'),
        (("u", [], "POST", "a\0b"), "body holds U+0000, which no shell word can carry"),
        (("u\0", [], "GET"), "url holds U+0000, which no shell word can carry"),
        # The url first, then the headers in order (a key's "@" before its characters), then the body.
        (("u\0", [("@x", "\r")], "POST", "\0"), "url holds U+0000, which no shell word can carry"),
        (("u", [("K", "\x01"), ("@x", "v")], "POST", "\0"),
         f'header 0 ("K") holds U+0001, {CANNOT}'),
        (("u", [("a:\r", "")]),
         """header 0 key "a:\\r" holds ":", which ends a header's name: the server reads another"""),
        (("u", [("@\r", "\n")]), 'header 0 key "@\\r" starts with "@", which curl reads as a file name'),
    ])
    def test_refused(self, args, message):
        request = req(*args)
        for _ in range(2):
            with pytest.raises(ValueError) as info:
                request.get_request_command()
            assert str(info.value) == message
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            curl_words(*args)

    def test_refused_request_is_kept_and_exported(self):
        args = ("https://h/p", [("X", "a\r\nB: 1"), ("@k", "v")], "POST", "a\0b")
        collection = TavrelCollection([req(*args)])
        assert json.loads(collection.export_collection()) == expected_document([args])
        [copy] = collection.get_collection()
        with pytest.raises(ValueError, match="^header 0"):
            copy.get_request_command()

    @pytest.mark.parametrize("args", [
        ("u", [("K", "a\tb")]),
        ("u", [], "POST", "@x\x01"),
        ("u", [("a;b", "v")]),
        ("u", [("K", "a: b;")]),
        ("u", [("K", "\x85")]),
        ("u", [("K@", "v")]),
        ("u", [("K", "@")]),
        ("u\n", [], "GET", "\x7f"),
    ])
    def test_not_refused(self, args):
        assert shell_split(render(*args)) == curl_words(*args)

class TestCurlReadsTheRequest:
    """Options that make curl itself read each word as the request says."""

    @pytest.mark.parametrize("args, expected", [
        (("https://h/x", [], "HEAD"), "curl -X HEAD --head https://h/x"),
        (("https://h/s?f={a,b}", [], "GET"), "curl -X GET --globoff 'https://h/s?f={a,b}'"),
        (("http://[::1]:8080/x", [], "GET"), "curl -X GET --globoff 'http://[::1]:8080/x'"),
        (("-o/tmp/x", [], "GET"), "curl -X GET --url -o/tmp/x"),
        (("-[x]", [], "HEAD"), "curl -X HEAD --head --globoff --url '-[x]'"),
        (("https://h/x", [("X-E", ""), ("X-$", "")], "GET"), "curl -X GET https://h/x -H \"X-E;\" -H 'X-$;'"),
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
    st.sampled_from(list("'\"\\$`!~#&;|<>(){}[]*?^ \t\r\n-_=:/@%+,.aZ9é\u00a0\x1b\x03\x15\x7f\x85\x9b")
                    + ["\u202e", "\u200b", "\u00ad", "\ufeff", "\u2028", "\u3000", "\ue000", "\u0378", "🎉", "\u0301"]),
    st.characters(exclude_categories=("Cs",), exclude_characters="\x00"),
), max_size=12)
# Now and then a prefix that curl would read as an option, a file name or a url glob, or zsh as
# a command's path, and a NUL; header texts mostly without the characters no header can carry,
# and values that curl would read as "remove this header".
prefixed = st.builds(lambda prefix, rest: prefix + rest,
                     st.sampled_from(["", "", "-", "--", "-o", "@", "[", "{", "=", "\x00"]), shell_text)
header_text = st.one_of(*[shell_text.map(lambda t: NOT_IN_HEADER.sub("", t))] * 3, shell_text, prefixed)
header_value = header_text | st.sampled_from(["", " ", "\t", " \t "])
requests = st.tuples(prefixed, st.lists(st.tuples(header_text, header_value), max_size=3),
                     st.sampled_from(METHODS), st.none() | prefixed)


def words_or_refusal(args):
    """The words the command must give, or the ValueError it must raise."""
    try:
        return curl_words(*args)
    except ValueError as error:
        return error


class TestRoundTrip:
    """Every command is one line of printable text, and the shells read back from it exactly the
    words meant; what no command can carry is refused as the rules say."""

    @settings(max_examples=examples(300), deadline=None)
    @given(requests)
    def test_one_printable_line_of_the_words(self, args):
        expected = words_or_refusal(args)
        if isinstance(expected, ValueError):
            with pytest.raises(ValueError, match="^" + re.escape(str(expected)) + "$"):
                render(*args)
            return
        command = render(*args)
        # Printable, but for the line feeds that end a text, which follow its printf in quotes.
        assert re.sub("\n+'", "'", command).isprintable(), command
        assert shell_split(command) == shell_split(command, fish=True) == expected

    def test_special_bytes_anywhere_in_a_text(self):
        """Texts are looked at sixteen bytes at a time: a byte that decides how a text is quoted
        is found wherever it sits, in short and in long texts, and in any header of several."""
        cases = []
        for char in "\"$`!\\'[ \tél\x85;%&@":
            for size in (1, 7, 15, 16, 17, 33):
                for at in sorted({0, size // 2, size - 1}):
                    text = "a" * at + char + "a" * (size - at - 1) if at or char != "@" else "a@"
                    cases += [(text, [], "GET", None), ("u", [("K", text), ("X", "y")], "GET", None),
                              ("u", [], "POST", text)]
                    if text[0] not in " \t":  # a key may not start with them
                        cases.append(("u", [("X", "y"), (text, "v")], "GET", None))
        script = "".join(f"printf '%s\\0' {render(*args)} END\n" for args in cases)
        out = subprocess.run(["bash", "-c", script], capture_output=True, check=True, timeout=60).stdout
        got = [command.split(b"\0")[:-1] for command in out.split(b"END\0")[:-1]]
        assert [[word.decode() for word in words] for words in got] == [curl_words(*args) for args in cases]

    @pytest.mark.parametrize("shell", SHELLS)
    @settings(max_examples=examples(150), deadline=None)
    @given(args=requests)
    def test_shell(self, shell, args):
        expected = words_or_refusal(args)
        if isinstance(expected, ValueError):
            return
        assert shell_words(render(*args), shell) == expected
