"""Helpers shared by the tests (and, loaded by path, by the fuzz targets): requests built from
plain values, hostile sequences, the pure-Python oracles (the words a shell must read from a
command, the export document), a clean environment for other programs and a loopback HTTP server
that records what reaches it."""

import http.server
import json
import os
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


# Characters no HTTP header can carry (tab can), and the ones a command writes as escapes.
NOT_IN_HEADER = re.compile("[\x00-\x08\x0a-\x1f\x7f]")
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


def _key_text(key):
    """A header key as a refusal message shows it: in double quotes, with backslash, double quote
    and the characters that would break the message's line written as in a Python literal."""
    named = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\n": "\\n", "\r": "\\r",
             "\u2028": "\\u2028", "\u2029": "\\u2029"}
    return '"' + "".join(named.get(c) or (f"\\x{ord(c):02x}" if CONTROL.match(c) else c) for c in key) + '"'


def unsendable(url, headers=(), method="GET", body=None):
    """The message of the ValueError that get_request_command raises, or None: the url, then each
    header in order (its key's "@", a control character in its key, then in its value, then ";"
    in its key with a blank value), then the body."""
    if "\0" in url:
        return "url holds U+0000, which no shell word can carry"
    for i, (key, value) in enumerate(headers):
        if key.startswith("@"):
            return f'header {i} key {_key_text(key)} starts with "@", which curl reads as a file name'
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
    """The argument vector that a POSIX shell must produce from the rendered command, that is
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
        blank = key != "" and value.strip(" \t") == ""
        words += ["-H", f"{key};" if blank else f"{key}: {value}"]
    if body is not None:
        words += ["--data-raw" if body.startswith("@") else "-d", body]
    return words


_ANSI_C = {"\\": b"\\", "'": b"'", '"': b'"', "?": b"?", "a": b"\a", "b": b"\b", "e": b"\x1b",
           "E": b"\x1b", "f": b"\f", "n": b"\n", "r": b"\r", "t": b"\t", "v": b"\v"}


def shell_split(command):
    """The words a POSIX shell reads from `command` (one line; no expansions in it), with
    ANSI-C quoting ($'...', as bash, zsh, ksh93, mksh and busybox sh read it) besides single and
    double quotes and backslashes."""
    words, word, i, data = [], None, 0, command.encode()
    while i < len(data):
        c = data[i:i + 1]
        if c in (b" ", b"\t"):
            if word is not None:
                words.append(word)
            word, i = None, i + 1
            continue
        word = word or b""
        if c == b"'":
            end = data.index(b"'", i + 1)
            word, i = word + data[i + 1:end], end + 1
        elif data.startswith(b"$'", i):
            i += 2
            while data[i:i + 1] != b"'":
                if data[i:i + 1] != b"\\":
                    word, i = word + data[i:i + 1], i + 1
                elif data[i + 1:i + 2].isdigit():
                    digits = re.match(rb"[0-7]{1,3}", data[i + 1:i + 4]).group()
                    word, i = word + bytes([int(digits, 8) & 0xFF]), i + 1 + len(digits)
                else:
                    word, i = word + _ANSI_C[data[i + 1:i + 2].decode()], i + 2
            i += 1
        elif c == b'"':
            i += 1
            while data[i:i + 1] != b'"':
                if data[i:i + 1] == b"\\" and data[i + 1:i + 2] in (b"$", b"`", b'"', b"\\"):
                    i += 1
                word, i = word + data[i:i + 1], i + 1
            i += 1
        elif c == b"\\":
            word, i = word + data[i + 1:i + 2], i + 2
        else:
            word, i = word + c, i + 1
    if word is not None:
        words.append(word)
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


def run_curl(command, home, check=True):
    """Runs a rendered command with bash from `home` (curl silent, failing on an HTTP error, its
    output going nowhere unless the command itself names a file) and returns the finished
    process; with `check`, raises CalledProcessError when curl fails."""
    return subprocess.run(["bash", "-c", command + " -s -S -f -o /dev/null --max-time 5"], cwd=home,
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


class PastedShell:
    """An interactive `bash` or `zsh` on a pseudo-terminal, started without the user's rc files
    (bracketed paste on, as terminals and both shells have it by default), in which `curl` is a
    function that writes its arguments, each ended by a NUL, to the next numbered file. `paste`
    sends a command as a terminal sends a paste (ESC[200~ ... ESC[201~, then Enter) and returns
    the words the function received, or None when it did not run; it waits for a marker that a
    command typed after the paste prints, never for a fixed time. Use it with `with`."""

    def __init__(self, shell, home, timeout=60):
        self.shell, self.home, self.timeout, self.count, self.markers = shell, home, timeout, 0, 0

    def __enter__(self):
        import subprocess

        (self.home / "inputrc").write_text("set enable-bracketed-paste on\n")
        (self.home / "words").mkdir()
        env = dict(plain_env(self.home), TERM="xterm", INPUTRC=str(self.home / "inputrc"),
                   HISTFILE=os.devnull, PS1="$ ", PROMPT="$ ", LC_ALL="C.UTF-8")
        argv = {"bash": ["bash", "--norc", "--noprofile", "-i"], "zsh": ["zsh", "-f", "-i"]}[self.shell]
        # The terminal's other end stays open here too: until the shell has opened it, reading
        # would fail.
        self.master, self.slave = os.openpty()
        # A new session whose first open of the terminal makes it the controlling terminal, as a
        # terminal emulator sets up its shell (job control, ^C as an interrupt).
        tty = os.ttyname(self.slave)
        self.process = subprocess.Popen(
            ["sh", "-c", 'exec "$@" <>"$0" >&0 2>&0', tty, *argv], cwd=self.home, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.output = bytearray()
        self.type(f"curl() {{ n=$((n+1)); printf '%s\\0' \"$@\" >'{self.home}/words/'$n; }}")
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()
        os.close(self.master)
        os.close(self.slave)

    def _send(self, data):
        while data:
            data = data[os.write(self.master, data):]

    def type(self, line):
        """Types `line` and Enter, and waits until the shell has run it and is reading again."""
        self.markers += 1
        # The shell prints the marker by arithmetic, so the echo of the typed line never matches.
        self._send(f"{line}\recho M$(({self.markers}+0))-done\r".encode())
        self._wait_for(f"M{self.markers}-done\r\n".encode())

    def _wait_for(self, needle):
        import select
        import time

        deadline = time.monotonic() + self.timeout
        while needle not in self.output:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                raise TimeoutError(f"{self.shell} never printed {needle!r}; output: {bytes(self.output)!r}")
            self.output += os.read(self.master, 65536)

    def paste(self, command):
        """The words `curl` received from the pasted command, or None when it did not run."""
        self._send(PASTE_START + command.encode() + PASTE_END + b"\r")
        self.type("")
        got = self.home / "words" / str(self.count + 1)
        if not got.exists():
            return None
        self.count += 1
        return ["curl"] + [word.decode() for word in got.read_bytes().split(b"\0")[:-1]]
