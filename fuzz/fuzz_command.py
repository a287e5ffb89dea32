"""get_request_command() for random url, header and body texts (control characters and NUL
included, no lone surrogate) and any method: either the ValueError whose message the oracle
gives, or printable text (but for the line feeds that end a text, in quotes of their own) from
which a POSIX shell and fish (as `shell_split` reads them, "$(printf ...)" included) get back
exactly the words
curl -X METHOD [--head] [--globoff] [--url] URL [-H TEXT]... [-d BODY | --data-raw BODY]."""

import re
import sys

import atheris

from inputs import METHODS, instrument, shell_split, text, words
from tavrel import HTTPMETHOD, Tavrel

# Prefixes that change how curl reads a word (an option-like url, a file-reading "-d @", a zsh
# "=" expansion), and header values that curl reads as "remove this header".
PREFIXES = ["", "", "-", "-o", "@", "[", "{", "="]
BLANKS = ["", " ", "\t", " \t "]
# Line feeds that end a text, before the quote that closes them.
FINAL_LINE_FEEDS = re.compile("\n+'")


def draw(fdp):
    url = PREFIXES[fdp.ConsumeIntInRange(0, len(PREFIXES) - 1)] + text(fdp)
    headers = [(PREFIXES[fdp.ConsumeIntInRange(0, len(PREFIXES) - 1)] + text(fdp, max_len=6),
                BLANKS[fdp.ConsumeIntInRange(0, len(BLANKS) - 1)] if fdp.ConsumeBool()
                else text(fdp, max_len=6))
               for _ in range(fdp.ConsumeIntInRange(0, 3))]
    method = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]
    body = None
    if fdp.ConsumeBool():
        body = PREFIXES[fdp.ConsumeIntInRange(0, len(PREFIXES) - 1)] + text(fdp)
    if fdp.ConsumeBool():  # sometimes long runs of arbitrary text straight from the bytes
        url += fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 64))
    return url, headers, method, body


def TestOneInput(data):
    url, headers, method, body = draw(atheris.FuzzedDataProvider(data))
    request = Tavrel(url, headers, getattr(HTTPMETHOD, method), body)
    try:
        expected = words(url, headers, method, body)
    except ValueError as refusal:
        try:
            request.get_request_command()
        except ValueError as error:
            if str(error) != str(refusal):
                raise AssertionError(f"\nmessage  {error}\nexpected {refusal}") from None
            return
        raise AssertionError(f"\nnot refused: {refusal}") from None
    command = request.get_request_command()
    if not FINAL_LINE_FEEDS.sub("'", command).isprintable():
        raise AssertionError(f"\ncommand with an unprintable character {command!r}")
    for fish in (False, True):
        got = shell_split(command, fish)
        if got != expected:
            raise AssertionError(f"\ncommand  {command!r}\nfish     {fish}\nsplit    {got!r}\nexpected {expected!r}")


if __name__ == "__main__":
    instrument(globals())
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
