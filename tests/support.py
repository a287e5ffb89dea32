"""Helpers shared by the tests (and, loaded by path, by the fuzz targets): requests built from
plain values, hostile sequences, the pure-Python oracles (the words a shell must read from a
command, the export document), a clean environment for other programs and a loopback HTTP server
that records what reaches it."""

import http.server
import json
import os
import pathlib
import re
import subprocess
import sys
import threading

from tavrel import HTTPMETHOD, Tavrel

METHODS = ["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"]


# --- requests and what a collection holds ---------------------------------------------------------

def req(url="https://h/p", headers=(), method="GET", body=None):
    """A Tavrel from plain values; `method` is an HTTPMETHOD member or its name."""
    if not isinstance(method, HTTPMETHOD):
        method = getattr(HTTPMETHOD, method)
    return Tavrel(url, list(headers), method, body)


def command_of(request):
    """The request's command, or "ValueError: " and the message when no command can carry it."""
    try:
        return request.get_request_command()
    except ValueError as error:
        return f"ValueError: {error}"


def commands(collection):
    """The commands of the requests a collection hands out (see command_of), or None when it holds
    no list."""
    got = collection.get_collection()
    return None if got is None else [command_of(r) for r in got]


def conv(param, type_name, target):
    """The message of a TypeError for an argument of the wrong type."""
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


# --- hostile sequences ----------------------------------------------------------------------------

class Seq:
    """A sequence by __len__ and __getitem__ only. At index `at` it raises `fail` (an exception,
    or a callable that makes a new one each time); `length` is what len() gives, or what it
    raises when it is an exception."""

    def __init__(self, items, fail=None, at=None, length=None):
        self.items, self.fail, self.at, self.length = items, fail, at, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.at:
            raise self.fail() if callable(self.fail) else self.fail
        return self.items[i]


def chained_type_error():
    """A new TypeError whose __cause__ is a ValueError, as `raise ... from ...` makes it."""
    error = TypeError("refused item")
    error.__cause__ = ValueError("underlying")
    return error


def examples(count):
    """`count` random cases for a property test, scaled as the loaded hypothesis profile scales
    hypothesis' default of 100: the same under the default profile, a tenth under `quick`
    (tests/conftest.py)."""
    from hypothesis import settings

    return max(1, count * settings.default.max_examples // 100)


def for_version(messages):
    """The interpreter's own message for this version, from `messages`: {(3, minor): text, ...},
    each entry holding from its version until the next one's."""
    return messages[max(v for v in messages if v <= sys.version_info[:2])]


# --- oracles --------------------------------------------------------------------------------------

SCHEMA_URL = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"
SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.\-]*)://")


def expected_document(requests):
    """The document built by the rules, from (url, headers, method, body) tuples."""
    items = []
    for url, headers, method, body in requests:
        pieces, scheme = url.split("/"), SCHEME.match(url)
        items.append({"name": url, "request": {
            "body": {"mode": "raw", "raw": body or ""},
            "header": [{"key": k, "value": v} for k, v in headers],
            "method": method,
            "url": {"host": pieces[2], "path": pieces[3:], "raw": url,
                    "protocol": scheme.group(1) if scheme else "https"}}})
    return {"info": {"name": "Tavrel Collection", "schema": SCHEMA_URL}, "item": items}


def expected_text(requests):
    return json.dumps(expected_document(requests), ensure_ascii=False, separators=(",", ":"),
                      sort_keys=True)


# Characters no HTTP header can carry (tab can), and the control characters.
NOT_IN_HEADER = re.compile("[\x00-\x08\x0a-\x1f\x7f]")
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


def _unprintable_table():
    """The code points the module writes as escapes, read from the table it is built with
    (src/lib/unprintable_table.inc, made by tools/gen_unprintable.py): its Unicode version and
    a function telling whether a code point is among them."""
    text = (pathlib.Path(__file__).resolve().parent.parent / "src/lib/unprintable_table.inc").read_text()
    version = re.search(r'kUnprintableUnicodeVersion = "([^"]+)"', text).group(1)
    pages_text, bits_text = text.split("kUnprintableBits")
    pages = [int(n) for n in re.findall(r"^ +([0-9, ]+),$", pages_text, re.M) for n in n.split(", ")]
    bitmaps = [int(w, 16) for w in re.findall(r"0x([0-9a-f]{16})", bits_text)]
    assert len(pages) == 0x1100 and len(bitmaps) % 4 == 0

    def unprintable(code_point):
        page = pages[code_point >> 8]
        return bool(bitmaps[4 * page + ((code_point >> 6) & 3)] >> (code_point & 63) & 1)

    return version, unprintable


UNPRINTABLE_VERSION, unprintable = _unprintable_table()


def _key_text(key):
    """A header key as a refusal message shows it: in double quotes, with backslash, double quote
    and the unprintable characters written as in a Python literal."""
    named = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\n": "\\n", "\r": "\\r"}
    return '"' + "".join(named.get(c) or (_escape(c) if unprintable(ord(c)) else c) for c in key) + '"'


def _escape(c):
    """`c` as a Python literal escapes it (written out here: repr() follows this interpreter's
    Unicode version, the module the table's)."""
    code = ord(c)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def _key_refusal(key):
    if key == "":
        return "is empty, which curl drops"
    if key.startswith("@"):
        return 'starts with "@", which curl reads as a file name'
    if key[0] in " \t":
        return f"starts with a {'space' if key[0] == ' ' else 'tab'}, which makes the header part of the one before it"
    if ":" in key:
        return 'holds ":", which ends a header\'s name: the server reads another'
    return None


def unsendable(url, headers=(), method="GET", body=None):
    """The message of the ValueError that get_request_command raises, or None: the url, then each
    header in order (its key's shape: empty, "@" first, a space or tab first, ":" in it; a
    control character in its key, then in its value; ";" in its key with a blank value), then
    the body."""
    if "\0" in url:
        return "url holds U+0000, which no shell word can carry"
    for i, (key, value) in enumerate(headers):
        why = _key_refusal(key)
        if why:
            return f"header {i} key {_key_text(key)} {why}"
        bad = NOT_IN_HEADER.search(key) or NOT_IN_HEADER.search(value)
        if bad:
            return (f"header {i} ({_key_text(key)}) holds U+{ord(bad.group()):04X}, which no HTTP header "
                    "can carry; the command cannot send it")
        if ";" in key and value.strip(" \t") == "":
            return (f'header {i} ({_key_text(key)}) has ";" in its key and a blank value, which curl drops; '
                    "the command cannot send it")
    if body is not None and "\0" in body:
        return "body holds U+0000, which no shell word can carry"
    return None


def curl_words(url, headers=(), method="GET", body=None):
    """The argument vector that a shell must produce from the rendered command, that is
    curl -X METHOD [--head] [--globoff] [--url] URL [-H TEXT]... [-d BODY | --data-raw BODY];
    ValueError with get_request_command's message when no command can carry the request."""
    message = unsendable(url, headers, method, body)
    if message:
        raise ValueError(message)
    words = ["curl", "-X", method]
    if method == "HEAD":
        words.append("--head")
    if any(c in url for c in "[]{}"):
        words.append("--globoff")
    if url.startswith("-"):
        words.append("--url")
    if url:
        words.append(url)
    for key, value in headers:
        blank = value.strip(" \t") == ""
        words += ["-H", f"{key};" if blank else f"{key}: {value}"]
    if body is not None:
        words += ["--data-raw" if body.startswith("@") else "-d", body]
    return words


def needs_escapes(text):
    """Whether a command writes `text` through printf: it holds a control or unprintable
    character before the line feeds it ends with."""
    return any(c < " " or c == "\x7f" or (c >= "\x80" and unprintable(ord(c))) for c in text.rstrip("\n"))


def _printf(data):
    """What POSIX printf writes for a format without conversions: octal escapes, "%%" and "\\\\"."""
    out, i = bytearray(), 0
    while i < len(data):
        special = re.compile(rb"[\\%]").search(data, i)
        end = special.start() if special else len(data)
        out += data[i:end]
        i = end
        if i == len(data):
            break
        if data[i:i + 1] == b"%":
            assert data[i + 1:i + 2] == b"%", f"unexpected conversion in {data!r}"
            out += b"%"
            i += 2
            continue
        digits = re.compile(rb"[0-7]{1,3}").match(data, i + 1)
        if digits:
            out.append(int(digits.group(), 8) & 0xFF)
            i = digits.end()
        else:
            assert data[i + 1:i + 2] == b"\\", f"unexpected escape in {data!r}"
            out += b"\\"
            i += 2
    return bytes(out)


def shell_split(command, fish=False):
    """The words a POSIX shell (or, with `fish`, fish) reads from `command`, which holds no
    expansion but "$(printf FORMAT)" in double quotes: single and double quotes, backslashes
    outside quotes, and that command substitution (its output without the line feeds it ends
    with). fish differs in one point: inside single quotes it reads "\\\\" and "\\'" as escapes."""
    words, word, i, data = [], None, 0, command.encode()
    while i < len(data):
        c = data[i:i + 1]
        if c in (b" ", b"\t", b"\n"):
            if word is not None:
                words.append(bytes(word))
            word, i = None, i + 1
            continue
        word = bytearray() if word is None else word
        if c == b"'":
            i += 1
            while True:
                end = data.index(b"'", i)
                backslash = data.find(b"\\", i, end) if fish else -1
                if backslash < 0:
                    word += data[i:end]
                    i = end + 1
                    break
                word += data[i:backslash]
                escaped = data[backslash + 1:backslash + 2] in (b"\\", b"'")
                word += data[backslash + 1:backslash + 2] if escaped else b"\\"
                i = backslash + (2 if escaped else 1)
        elif c == b'"':
            i += 1
            while data[i:i + 1] != b'"':
                if data.startswith(b"$(", i):
                    end, quoted = i + 2, False  # the ")" that ends it stands outside quotes
                    while quoted or data[end:end + 1] != b")":
                        if not quoted and data[end:end + 1] == b"\\":
                            end += 1
                        elif data[end:end + 1] == b"'":
                            quoted = not quoted
                        end += 1
                    inner = shell_split(data[i + 2:end].decode(), fish)
                    assert inner[0] == "printf" and len(inner) == 2, inner
                    word += _printf(inner[1].encode()).rstrip(b"\n")
                    i = end + 1
                    continue
                assert data[i:i + 1] not in (b"$", b"`", b"\\"), f"an expansion in {command!r}"
                word += data[i:i + 1]
                i += 1
            i += 1
        elif c == b"\\":
            word += data[i + 1:i + 2]
            i += 2
        else:
            word += c
            i += 1
    if word is not None:
        words.append(bytes(word))
    return [w.decode() for w in words]


# --- other programs and a loopback server ---------------------------------------------------------

PROXY_VARS = {"http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy"}
# A sanitizer runtime preloaded for the test process must stay out of programs that do not
# load tavrel (curl hangs with it, node refuses it).
SANITIZER_VARS = {"ld_preload", "asan_options", "ubsan_options", "pythonmalloc"}


def plain_env(home=None):
    """os.environ without proxies and sanitizer settings; with `home`, HOME and CURL_HOME set to
    it, which keeps a ~/.curlrc out and makes a stray "$HOME" expansion visible."""
    env = {k: v for k, v in os.environ.items() if k.lower() not in PROXY_VARS | SANITIZER_VARS}
    if home is not None:
        env.update(HOME=str(home), CURL_HOME=str(home))
    return env


def run_curl(command, home, check=True, shell="bash"):
    """Runs a rendered command as `shell -c` from `home` (curl silent, failing on an HTTP error,
    its output going nowhere unless the command itself names a file) and returns the finished
    process; with `check`, raises CalledProcessError when curl fails."""
    return subprocess.run([shell, "-c", command + " -s -S -f -o /dev/null --max-time 5"], cwd=home,
                          env=plain_env(home), check=check, capture_output=True, timeout=20)


class _Recorder(http.server.BaseHTTPRequestHandler):
    """Records every request, whatever its method, and answers it over a kept-alive HTTP/1.1
    connection with a Content-Length, HEAD included: a client that waits for a HEAD response's
    body never finishes."""

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


class RecordingServer:
    """A threaded HTTP/1.1 server on 127.0.0.1 that answers every request with 200 "ok" and
    keeps (method, request target, headers as an email.message.Message, body bytes) of each in
    `seen`. Use it with `with`."""

    def __enter__(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Recorder)
        self.httpd.daemon_threads = True
        self.seen = self.httpd.seen = []
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


# --- pasting into an interactive shell ------------------------------------------------------------

PASTE_START, PASTE_END = b"\x1b[200~", b"\x1b[201~"
# A VT220's answer to the primary device attributes query.
DEVICE_ATTRIBUTES = b"\x1b[?62;22c"
# What a shell prints to ask the terminal for bracketed paste.
ASK_BRACKETS = b"\x1b[?2004h"
# How each shell is started interactively without the user's rc files.
INTERACTIVE = {"bash": ["bash", "--norc", "--noprofile", "-i"], "zsh": ["zsh", "-f", "-i"], "mksh": ["mksh", "-i"],
               "busybox sh": ["busybox", "sh", "-i"], "dash": ["dash", "-i"], "ksh93": ["ksh93", "-i"],
               # yash as Debian starts it without a ~/.yashrc: its sample settings, with their
               # line editor and a prompt of their own in YASH_PS1, which PastedShell replaces.
               "yash": ["yash", "-i"], "posh": ["posh", "-i"],
               "fish": ["fish", "--no-config", "--private", "-i"]}


def pty_unusable():
    """Why a shell cannot run on a pseudo-terminal here, or None: under qemu-user emulation
    os.ttyname fails on one."""
    master, slave = os.openpty()
    try:
        os.ttyname(slave)
    except OSError as error:
        return f"os.ttyname fails on a pseudo-terminal (as under qemu-user emulation): {error}"
    finally:
        os.close(master)
        os.close(slave)
    return None


class PastedShell:
    """An interactive shell of INTERACTIVE on a pseudo-terminal, as a terminal emulator runs it,
    in which `curl` is a function that writes its arguments, each ended by a NUL, to the next
    numbered file, and the prompt is "$ "; the lines of `setup` are typed first. `paste` sends a
    command as a terminal sends a paste, its line feeds as CR, then Enter: with `bracketed`
    inside ESC[200~ ... ESC[201~, once the shell has asked for that at its prompt; without, as
    typed keys. It returns the words of each run of the function, waiting for a marker that a
    command typed after the paste prints, never for a fixed time. `asked` tells whether the
    shell asked for bracketed paste after the setup. Use it with `with`."""

    def __init__(self, shell, home, setup=(), bracketed=True, timeout=10):
        self.shell, self.home, self.setup, self.bracketed = shell, home, setup, bracketed
        self.timeout, self.count, self.markers, self.set_up_at = timeout, 0, 0, None

    def __enter__(self):
        (self.home / "inputrc").write_text("set enable-bracketed-paste on\n")
        (self.home / "words").mkdir(exist_ok=True)
        # fish's interactive setup would start a background job generating completions there.
        (self.home / ".local/share/fish/generated_completions").mkdir(parents=True, exist_ok=True)
        self.count = len(list((self.home / "words").iterdir()))
        env = {k: v for k, v in plain_env(self.home).items() if k not in ("ENV", "BASH_ENV", "PS1", "PROMPT")}
        env.update(TERM="xterm", INPUTRC=str(self.home / "inputrc"), HISTFILE=os.devnull, LC_ALL="C.UTF-8")
        # The terminal's other end stays open here too: until the shell has opened it, reading
        # would fail.
        self.master, self.slave = os.openpty()
        os.set_blocking(self.master, False)
        # A new session whose first open of the terminal makes it the controlling terminal, as a
        # terminal emulator sets up its shell (job control, ^C as an interrupt).
        tty = os.ttyname(self.slave)
        self.process = subprocess.Popen(
            ["sh", "-c", 'exec "$@" <>"$0" >&0 2>&0', tty, *INTERACTIVE[self.shell]], cwd=self.home, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.output, self.answered = bytearray(), 0
        words = f"{self.home}/words"
        if self.shell == "fish":
            lines = ["function fish_prompt; printf '%s' '$ '; end; set -g n " + str(self.count),
                     f"function curl; set -g n (math $n + 1); printf '%s\\0' $argv >'{words}/'$n; end"]
        else:
            lines = [f"PS1='$ '; YASH_PS1='$ '; n={self.count}",
                     f"curl() {{ n=$((n+1)); printf '%s\\0' \"$@\" >'{words}/'$n; }}"]
        for line in [*lines, *self.setup]:
            self.type(line)
        self.set_up_at = self.marked_at
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()
        os.close(self.master)
        os.close(self.slave)

    @property
    def asked(self):
        return ASK_BRACKETS in self.output[self.set_up_at:]

    def _send(self, data):
        """Writes `data` to the shell, reading its output meanwhile: a shell that echoes a long
        paste blocks until its output is read."""
        import select

        while data:
            readable, writable, _ = select.select([self.master], [self.master], [], self.timeout)
            if not readable and not writable:
                raise TimeoutError(f"{self.shell} took no input; output: {bytes(self.output[-3000:])!r}")
            if readable:
                self._receive()
            if writable:
                try:
                    data = data[os.write(self.master, data[:1024]):]
                except BlockingIOError:
                    pass

    def type(self, line):
        """Types `line` and Enter, and waits until the shell has run it and shows its prompt."""
        self.markers += 1
        # The shell prints the marker by arithmetic, so the echo of the typed line never matches.
        count = f"(math {self.markers} + 0)" if self.shell == "fish" else f"$(({self.markers}+0))"
        self._send(f"{line}\recho M{count}-done\r".encode())
        self.marked_at = self._wait_for(f"M{self.markers}-done\r\n".encode())
        self._wait_for(b"$ ", self.marked_at)

    def _receive(self):
        """Reads what the shell wrote, and answers its queries for the primary device attributes
        (ESC [ c) as a terminal does: fish 4 asks at start and waits for the answer."""
        self.output += os.read(self.master, 65536)
        asked = self.output.count(b"\x1b[c") + self.output.count(b"\x1b[0c")
        for _ in range(asked - self.answered):
            os.write(self.master, DEVICE_ATTRIBUTES)
        self.answered = asked

    def _wait_for(self, needle, start=0):
        """Reads the shell's output until it holds `needle` after `start`; returns where it ends."""
        import select
        import time

        deadline = time.monotonic() + self.timeout
        while needle not in self.output[start:]:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                raise TimeoutError(f"{self.shell} never printed {needle!r}; output: {bytes(self.output[-3000:])!r}")
            self._receive()
        return self.output.index(needle, start) + len(needle)

    def paste(self, command):
        """The words of each run of `curl` that the pasted command made, in order."""
        text = command.encode().replace(b"\n", b"\r")
        if self.bracketed:
            # A terminal brackets a paste only when the shell has asked for it, at its prompt.
            self._wait_for(ASK_BRACKETS, self.marked_at)
            text = PASTE_START + text + PASTE_END
        self._send(text + b"\r")
        self.type("")
        runs = []
        while (self.home / "words" / str(self.count + 1)).exists():
            self.count += 1
            got = (self.home / "words" / str(self.count)).read_bytes()
            runs.append(["curl"] + [word.decode() for word in got.split(b"\0")[:-1]])
        return runs
