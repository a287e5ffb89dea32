"""Pure-Python oracles: the words a shell must read from get_request_command(), and the export
document, for comparison with what the module produces."""

import json
import re

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
