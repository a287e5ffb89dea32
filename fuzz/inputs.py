"""Shared by the fuzz targets: texts drawn from the fuzz bytes, and the tests' support module with
its pure-Python oracles (the words a shell must see in a command, the export document)."""

import importlib.util
import pathlib

_spec = importlib.util.spec_from_file_location(
    "support", pathlib.Path(__file__).resolve().parent.parent / "tests" / "support.py")
support = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(support)
METHODS, commands, words = support.METHODS, support.commands, support.curl_words
command_of, shell_split = support.command_of, support.shell_split

# Characters that matter to shell quoting, url splitting and JSON escaping, drawn more often than
# the rest of the code space.
SPECIAL = list("'\"\\$`!~#&;|<>(){}[]*? \t\r\n\x0b\x0c-_=:/@%+,.aZ9") + [
    "\x00", "\x01", "\x1f", "\x7f", "é", "€", "\u00a0", "\u2028", "🎉", "\U0010ffff", "://", "//",
    "\u202e", "\u200b", "\ufeff", "\u0378", "\ue000", "\u0301"]


def text(fdp, *, nul=True, surrogates=False, max_len=12):
    """A str of up to `max_len` pieces; NUL and lone surrogates only when asked for."""
    out = []
    for _ in range(fdp.ConsumeIntInRange(0, max_len)):
        kind = fdp.ConsumeIntInRange(0, 7)
        if kind < 5:
            piece = SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)]
        elif kind < 7:
            piece = chr(fdp.ConsumeIntInRange(1, 0x10FFFF))
        else:
            piece = chr(fdp.ConsumeIntInRange(0xD800, 0xDFFF))
        if not nul:
            piece = piece.replace("\x00", "")
        if not surrogates and any(0xD800 <= ord(c) <= 0xDFFF for c in piece):
            piece = "?"
        out.append(piece)
    return "".join(out)


def instrument(namespace):
    """Coverage for the functions and methods a fuzz target defines itself, so that the fuzzer can
    tell apart inputs that take different paths through its argument builder and its model."""
    import inspect

    import atheris

    module = namespace["__name__"]
    for value in list(namespace.values()):
        if inspect.isfunction(value) and value.__module__ == module:
            atheris.instrument_func(value)
        elif inspect.isclass(value) and value.__module__ == module:
            for attr in vars(value).values():
                if inspect.isfunction(attr):
                    atheris.instrument_func(attr)
