"""Helpers shared by the tests (and, loaded by path, by the fuzz targets): requests built from
plain values, hostile sequences, the pure-Python oracles (the words a shell must read from a
command, the export document), a clean environment for other programs and a loopback HTTP server
that records what reaches it."""

import http.server
import json
import os
import re
import subprocess
import threading

from tavrel import HTTPMETHOD, Tavrel

METHODS = ["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"]


# --- requests and what a collection holds ---------------------------------------------------------

def req(url="https://h/p", headers=(), method="GET", body=None):
    """A Tavrel from plain values; `method` is an HTTPMETHOD member or its name."""
    if not isinstance(method, HTTPMETHOD):
        method = getattr(HTTPMETHOD, method)
    return Tavrel(url, list(headers), method, body)


def commands(collection):
    """The commands of the requests a collection hands out, or None when it holds no list."""
    got = collection.get_collection()
    return None if got is None else [r.get_request_command() for r in got]


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


def curl_words(url, headers=(), method="GET", body=None):
    """The argument vector that a POSIX shell must produce from the rendered command, that is
    curl -X METHOD [--head] [--globoff] [--url] URL [-H TEXT]... [-d BODY | --data-raw BODY]."""
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
