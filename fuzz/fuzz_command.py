"""get_request_command() for random url, header and body texts (no NUL, no lone surrogate) and
any method: a POSIX shell, as `shlex.split` reads it, must get back exactly the words
curl -X METHOD [URL] [-H "key: value"]... [-d BODY]."""

import sys

import atheris

with atheris.instrument_imports():
    import shlex

from inputs import METHODS, instrument, text, words
from tavrel import HTTPMETHOD, Tavrel


def draw(fdp):
    url = text(fdp, nul=False)
    headers = [(text(fdp, nul=False, max_len=6), text(fdp, nul=False, max_len=6))
               for _ in range(fdp.ConsumeIntInRange(0, 3))]
    method = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]
    body = text(fdp, nul=False) if fdp.ConsumeBool() else None
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
