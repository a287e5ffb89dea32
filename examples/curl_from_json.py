"""Prints the curl command line of every request described in JSON files.

    python examples/curl_from_json.py requests.json [more.json ...]

Each file holds a list of requests; a request is an object with the fields
    "url"      a string (required)
    "method"   one of GET, POST, PUT, DELETE, HEAD, OPTIONS, PATCH, TRACE, CONNECT (default GET)
    "headers"  an object of name: value strings, or a list of [name, value] pairs (for repeats)
    "body"     a string, or null for no body (the default)
The commands of all files are printed in order, one a line. A file that cannot be read, is not
JSON, or describes a request wrongly stops the program before anything is printed, with one
line on standard error naming the file, the place in it and the field, and exit status 1.
"""

import json
import json.decoder
import json.scanner
import sys

from tavrel import HTTPMETHOD, Tavrel

# The names of HTTPMETHOD's members, which the class holds in the order of their values.
METHODS = [name for name, member in vars(HTTPMETHOD).items() if isinstance(member, HTTPMETHOD)]
FIELDS = ("url", "method", "headers", "body")


class Invalid(Exception):
    """One line about what is wrong, without the file name."""


class Located(dict):
    """A JSON object that knows the line and column of its opening brace."""
    line = column = 0


def parse(text):
    """json.loads, except that every object comes back as a Located."""
    decoder = json.JSONDecoder(object_pairs_hook=Located)

    def parse_object(s_and_end, *args):
        s, end = s_and_end
        obj, after = json.decoder.JSONObject(s_and_end, *args)
        brace = end - 1
        obj.line, obj.column = s.count("\n", 0, brace) + 1, brace - s.rfind("\n", 0, brace)
        return obj, after

    decoder.parse_object = parse_object
    # The C scanner does not call parse_object; the pure-Python one does.
    decoder.scan_once = json.scanner.py_make_scanner(decoder)
    try:
        return decoder.decode(text)
    except json.JSONDecodeError as e:
        raise Invalid(f"line {e.lineno}, column {e.colno}: not JSON: {e.msg}") from None


def kind(value):
    return {dict: "an object", Located: "an object", list: "a list", str: "a string",
            bool: "a boolean", int: "a number", float: "a number"}.get(type(value), "null")


def text(value, field):
    if not isinstance(value, str):
        raise Invalid(f"field {field!r}: expected a string, got {kind(value)}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as e:
        raise Invalid(f"field {field!r}: holds a lone surrogate ({value[e.start]!r}), "
                      "which is not text") from None
    return value


def header_pairs(value):
    if isinstance(value, dict):
        pairs = list(value.items())
    elif isinstance(value, list):
        pairs = value
    else:
        raise Invalid(f"field 'headers': expected an object or a list of pairs, got {kind(value)}")
    result = []
    for number, pair in enumerate(pairs, 1):
        if not (isinstance(pair, (list, tuple)) and len(pair) == 2):
            raise Invalid(f"field 'headers': header {number} is {kind(pair)}, "
                          "not a [name, value] pair")
        result.append((text(pair[0], "headers"), text(pair[1], "headers")))
    return result


def request(value):
    if not isinstance(value, dict):
        raise Invalid(f"expected an object, got {kind(value)}")
    unknown = [key for key in value if key not in FIELDS]
    if unknown:
        raise Invalid(f"field {unknown[0]!r}: unknown (the fields are {', '.join(FIELDS)})")
    if "url" not in value:
        raise Invalid("field 'url': missing")
    url = text(value["url"], "url")
    method = text(value.get("method", "GET"), "method")
    if method not in METHODS:
        raise Invalid(f"field 'method': {method!r} is not one of {', '.join(METHODS)}")
    headers = header_pairs(value.get("headers", []))
    body = value.get("body")
    return Tavrel(url, headers, getattr(HTTPMETHOD, method),
                  None if body is None else text(body, "body"))


def requests_in(path):
    try:
        with open(path, encoding="utf-8") as f:
            document = parse(f.read())
    except OSError as e:
        raise Invalid(f"cannot read: {e.strerror}") from None
    except UnicodeDecodeError as e:
        raise Invalid(f"byte {e.start}: not UTF-8 text") from None
    if not isinstance(document, list):
        raise Invalid(f"line 1: expected a list of requests, got {kind(document)}")
    result = []
    for number, value in enumerate(document, 1):
        try:
            result.append(request(value))
        except Invalid as e:
            where = f"line {value.line}, column {value.column}: " if isinstance(value, Located) else ""
            raise Invalid(f"{where}request {number}: {e}") from None
    return result


def main(paths):
    if not paths:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    commands = []
    for path in paths:
        try:
            commands += [r.get_request_command() for r in requests_in(path)]
        except Invalid as e:
            print(f"curl_from_json: {path}: {e}", file=sys.stderr)
            return 1
    for command in commands:
        print(command)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
