"""The export document worked out in plain Python, for comparison with export_collection()."""

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
