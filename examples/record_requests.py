"""Records the HTTP requests a program makes with `requests` or `httpx`: each one becomes a
tavrel.Tavrel, its curl command line is printed, and all of them are written as a Postman
collection.

    recorder = Recorder()
    session = recorder.attach_requests(requests.Session())
    client = httpx.Client(event_hooks=recorder.httpx_hooks())
    ...  # the program's own calls
    recorder.save("calls.postman_collection.json")

A request is recorded with every header the client sent (Host, User-Agent, Content-Length...),
so the printed command sends the same request. Two kinds of request cannot be written as a
command line and are reported on standard error instead of recorded: a body that is not UTF-8
text (a command line holds text) and a streaming body (a generator or file, read only while it
is sent). A method outside HTTPMETHOD is reported the same way.

Run as a script, it makes a few calls against a small local server and writes the collection
to the path given as its argument (default: recorded.postman_collection.json here).
"""

import pathlib
import sys

from tavrel import HTTPMETHOD, Tavrel, TavrelCollection


class NotDescribable(Exception):
    """The request cannot be described exactly as a Tavrel; the message says why."""


def _text(value, what):
    if isinstance(value, str):
        return value
    try:
        return bytes(value).decode("utf-8")
    except UnicodeDecodeError:
        raise NotDescribable(f"{what} is {len(value)} bytes that are not UTF-8 text") from None


def describe(method, url, header_pairs, body):
    """A Tavrel for one request; `body` is None, str or bytes-like, anything else is a stream."""
    member = getattr(HTTPMETHOD, method.upper(), None)
    if not isinstance(member, HTTPMETHOD):
        raise NotDescribable(f"the method {method!r} is not one of HTTPMETHOD's")
    headers = [(_text(k, "a header name"), _text(v, f"the value of header {k!r}"))
               for k, v in header_pairs]
    if body is not None and not isinstance(body, (str, bytes, bytearray, memoryview)):
        raise NotDescribable(f"the body is a stream ({type(body).__name__}), read only while sent")
    return Tavrel(str(url), headers, member, None if body is None else _text(body, "the body"))


class Recorder:
    """Collects the requests of the clients it is attached to; prints each one's curl line to
    `out` and explains every request it cannot record on `err`."""

    def __init__(self, out=sys.stdout, err=sys.stderr):
        self.collection = TavrelCollection([])
        self.out, self.err = out, err
        self.skipped = []  # (method, url, reason) of the requests not recorded

    def record(self, method, url, header_pairs, body):
        try:
            request = describe(method, url, header_pairs, body)
        except NotDescribable as why:
            self.skipped.append((method, str(url), str(why)))
            print(f"not recorded: {method} {url}: {why}", file=self.err)
            return
        self.collection.add_request(request)
        print(request.get_request_command(), file=self.out)

    # requests: a response hook sees the PreparedRequest that was sent.
    def attach_requests(self, session):
        def hook(response, *args, **kwargs):
            sent = response.request
            self.record(sent.method, sent.url, sent.headers.items(), sent.body)
        session.hooks["response"].append(hook)
        return session

    # httpx: a request hook runs just before sending. `headers.raw` keeps the bytes as sent,
    # and `content` raises RequestNotRead for a body that is a stream.
    def httpx_hooks(self):
        import httpx

        def hook(request):
            try:
                body = request.content
            except httpx.RequestNotRead:
                body = request.stream
            if body == b"" and "content-length" not in request.headers:
                body = None  # httpx gives b"" for a request without a body
            self.record(request.method, request.url, request.headers.raw, body)
        return {"request": [hook]}

    def requests(self):
        return self.collection.get_collection() or []

    def save(self, path):
        text = self.collection.export_collection()
        pathlib.Path(path).write_text(text, encoding="utf-8")
        return text


def main(argv):
    import http.server
    import threading

    class Answer(http.server.BaseHTTPRequestHandler):
        def answer(self):
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()
        do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = answer

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Answer)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    recorder = Recorder()
    try:
        import requests
        session = recorder.attach_requests(requests.Session())
        session.get(f"{base}/items", params={"page": 2}, headers={"Accept": "application/json"})
        session.post(f"{base}/items", json={"name": "widget"})
        session.put(f"{base}/blob", data=b"\xff\xfe")  # not UTF-8: reported, not recorded
    except ImportError:
        print("requests is not installed: skipped", file=sys.stderr)
    try:
        import httpx
        with httpx.Client(event_hooks=recorder.httpx_hooks()) as client:
            client.delete(f"{base}/items/7", headers={"X-Request-Id": "it's 7"})
            client.patch(f"{base}/items/7", content=b'{"price": 9.5}',
                         headers={"Content-Type": "application/json"})
            client.post(f"{base}/upload", content=iter([b"chunk"]))  # a stream: reported
    except ImportError:
        print("httpx is not installed: skipped", file=sys.stderr)
    server.shutdown()
    out = pathlib.Path(argv[1] if len(argv) > 1 else
                       pathlib.Path(__file__).with_name("recorded.postman_collection.json"))
    recorder.save(out)
    print(f"{len(recorder.requests())} requests written to {out}")


if __name__ == "__main__":
    main(sys.argv)
