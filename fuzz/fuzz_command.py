"""get_request_command() for random url, header and body texts (no NUL, no lone surrogate) and
any method: a POSIX shell, as `shlex.split` reads it, must get back exactly the words
curl -X METHOD [--head] [--globoff] [--url] URL [-H TEXT]... [-d BODY | --data-raw BODY]."""

import sys

import atheris

with atheris.instrument_imports():
    import shlex

from inputs import METHODS, instrument, text, words
from tavrel import HTTPMETHOD, Tavrel

# Prefixes that change how curl reads a word (an option-like url, a file-reading "-d @"), and
# header values that curl reads as "remove this header".
PREFIXES = ["", "", "-", "-o", "@", "[", "{"]
BLANKS = ["", " ", "\t", " \t "]


def draw(fdp):
    url = PREFIXES[fdp.ConsumeIntInRange(0, len(PREFIXES) - 1)] + text(fdp, nul=False)
    headers = [(text(fdp, nul=False, max_len=6),
                BLANKS[fdp.ConsumeIntInRange(0, len(BLANKS) - 1)] if fdp.ConsumeBool()
                else text(fdp, nul=False, max_len=6))
               for _ in range(fdp.ConsumeIntInRange(0, 3))]
    method = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]
    body = None
    if fdp.ConsumeBool():
        body = PREFIXES[fdp.ConsumeIntInRange(0, len(PREFIXES) - 1)] + text(fdp, nul=False)
    if fdp.ConsumeBool():  # sometimes long runs of arbitrary text straight from the bytes
        url += fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 64)).replace("\x00", "")
    return url, headers, method, body


def TestOneInput(data):
    url, headers, method, body = draw(atheris.FuzzedDataProvider(data))
    command = Tavrel(url, headers, getattr(HTTPMETHOD, method), body).get_request_command()
    got = shlex.split(command)
    expected = words(url, headers, method, body)
    if got != expected:
        raise AssertionError(f"\ncommand  {command!r}\nsplit    {got!r}\nexpected {expected!r}")


if __name__ == "__main__":
    instrument(globals())
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
