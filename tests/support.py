"""Helpers shared by the tests that run other programs: a clean environment for them and a
loopback HTTP server that records what reaches it."""

import http.server
import os
import subprocess
import threading

PROXY_VARS = {"http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy"}
# A sanitizer runtime preloaded for the test process must stay out of programs that do not
# load tavrel (curl hangs with it, node refuses it).
SANITIZER_VARS = {"ld_preload", "asan_options", "ubsan_options", "pythonmalloc"}


def plain_env(home=None):
    """os.environ without proxies and sanitizer settings; with `home`, HOME and CURL_HOME set to
    it, which keeps a ~/.curlrc out."""
    env = {k: v for k, v in os.environ.items() if k.lower() not in PROXY_VARS | SANITIZER_VARS}
    if home is not None:
        env.update(HOME=str(home), CURL_HOME=str(home))
    return env


def run_curl(command, home):
    """Runs a rendered command with bash (curl silent, failing on an HTTP error, no output file)
    and returns the finished process; raises CalledProcessError when curl fails."""
    return subprocess.run(["bash", "-c", command + " -s -S -f -o /dev/null --max-time 5"],
                          env=plain_env(home), check=True, capture_output=True, timeout=20)


class _Recorder(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def record(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        self.server.seen.append((self.command, self.path, list(self.headers.items()), body))
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_PROPFIND = record

    def log_message(self, *args):
        pass


class RecordingServer:
    """A threaded HTTP/1.1 server on 127.0.0.1 that answers every request with 200 "ok" and
    keeps (method, path, header pairs, body bytes) of each in `seen`. Use it with `with`."""

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
