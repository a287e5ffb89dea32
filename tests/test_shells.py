"""Commands read by real shells as people use them: pasted into an interactive shell on a
pseudo-terminal, and run from a script file. Each gives curl exactly the words meant, once, and
nothing else runs: a `touch PWNED` inside the texts never creates the file."""

import os
import shutil
import subprocess

import pytest

from support import PastedShell, curl_words, plain_env, pty_unusable, req

PWNED = "touch PWNED"
# Texts that would run `touch PWNED`, run something else or change the words if a shell or a
# terminal read them otherwise than as text.
INJECTIONS = {
    "header with a tab and a quote": ("https://h/x", [("X-Note", f"a\t';{PWNED};#")], "GET", None),
    "body with a line feed and a quote": ("https://h/x", [], "POST", f"{{\n';{PWNED};#}}"),
    "url with a tab": (f"https://h/a\tb;{PWNED}", [], "GET", None),
    # fish reads \\ and \' inside single quotes.
    "body with a backslash before a quote": ("https://h/x", [], "POST", f"it\\';{PWNED};#"),
    # The end of a paste, a line kill and a command of its own.
    "body ending a paste": ("https://h/x", [], "POST", f"x\x1b[201~\x15{PWNED}\n"),
    "multipart body": ("https://h/up", [("Content-Type", "multipart/form-data; boundary=b")], "POST",
                       '--b\r\nContent-Disposition: form-data; name="f"\r\n\r\nv\r\n--b--\r\n'),
    # bash reads a continuation line "^a^b" as a history substitution.
    "body with a line starting with ^": ("https://h/x", [], "POST", "line\n^a^b\n"),
    "history expansions": ("https://h/a!b", [("X-Bang", "!!"), ("X-Tab", "!$\t!-1")], "PATCH", "!! !-1 !x"),
    "bidi and invisible characters": ("https://h/x", [("X-Role", "\u202eadmin\u202c")], "POST",
                                      "\u202etxt.exe\u200b\ufeff\u00ad\u2028\u00a0\ue000"),
    "interrupt and C1 characters": ("https://h/x", [("X-C", "a\x9bb")], "PUT", "a\x03b"),
    # Two lines: the line feed that ends the body follows its printf raw, in single quotes.
    "pretty-printed JSON": ("https://h/x", [("Content-Type", "application/json")], "POST",
                            '{\n  "a": [1, 2],\n  "b": "c"\n}\n'),
    # Written bare: url-quote-magic puts a backslash before "=" as it is typed.
    "bare url with =": ("https://h/p=1,2%41+@x", [("Accept", "*/*")], "GET", None),
}


def command(args):
    return req(*args).get_request_command()


# --- pasted into an interactive shell -------------------------------------------------------------

OH_MY_ZSH = ["autoload -Uz bracketed-paste-magic url-quote-magic", "zle -N bracketed-paste bracketed-paste-magic",
             "zle -N self-insert url-quote-magic"]
ZSH_NO_BRACKETS = "unset zle_bracketed_paste"
# Each shell as a terminal runs it: (shell, lines typed first, whether it asks for bracketed paste).
# fish --no-config leaves out its interactive setup, which turns bracketed paste on.
TERMINALS = {
    "bash": ("bash", [], True),
    "bash, bracketed paste off": ("bash", ["bind 'set enable-bracketed-paste off'"], False),
    "zsh": ("zsh", [], True),
    "zsh, bracketed paste off": ("zsh", [ZSH_NO_BRACKETS], False),
    "zsh with oh-my-zsh's widgets": ("zsh", OH_MY_ZSH, True),
    "zsh with oh-my-zsh's widgets, bracketed paste off": ("zsh", [*OH_MY_ZSH, ZSH_NO_BRACKETS], False),
    "mksh": ("mksh", [], False),
    "busybox sh": ("busybox sh", [], False),
    "dash": ("dash", [], False),
    "ksh93": ("ksh93", [], False),
    "yash": ("yash", [], False),
    "posh": ("posh", [], False),
    "fish": ("fish", ["__fish_config_interactive"], True),
    "fish, bracketed paste off": ("fish", [], False),
}


class Terminal:
    """One shell per terminal kind for all the pastes, started again when a paste left it in an
    unknown state."""

    def __init__(self, kind, home):
        self.kind, self.home, self.shell = kind, home, None

    def paste(self, text):
        shell, setup, bracketed = TERMINALS[self.kind]
        if self.shell is None:
            self.shell = PastedShell(shell, self.home, setup, bracketed).__enter__()
        try:
            runs = self.shell.paste(text)
        except BaseException:
            self.close()
            raise
        # The shell asked for bracketed paste (after its setup) when the terminal used it; fish 4
        # asks whatever its setup, and a terminal without bracketed paste ignores that.
        assert self.shell.asked or not bracketed
        return runs

    def close(self):
        if self.shell is not None:
            self.shell.__exit__(None, None, None)
            self.shell = None


@pytest.fixture(scope="module", params=list(TERMINALS))
def terminal(request, tmp_path_factory):
    program = TERMINALS[request.param][0].split()[0]
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed")
    reason = pty_unusable()
    if reason:
        pytest.skip(reason)
    if program == "fish" and os.environ.get("TAVREL_EMULATED"):
        pytest.skip(f"interactive fish under {os.environ['TAVREL_EMULATED']} emulation does not print its first "
                    "marker within the paste tests' time limit")
    session = Terminal(request.param, tmp_path_factory.mktemp("terminal"))
    yield session
    session.close()


@pytest.mark.parametrize("args", INJECTIONS.values(), ids=INJECTIONS.keys())
def test_pasted_into_an_interactive_shell(terminal, args):
    """Pasted as a terminal sends it (bracketed when the shell asks for that), the command runs
    curl once with exactly the words meant."""
    runs = terminal.paste(command(args))
    pwned = terminal.home / "PWNED"
    ran_touch = pwned.exists()
    pwned.unlink(missing_ok=True)  # the shell is shared with the next pastes
    assert (runs, ran_touch) == ([curl_words(*args)], False)


# --- run from a script file -----------------------------------------------------------------------

SCRIPT_SHELLS = {"bash": ["bash"], "zsh": ["zsh", "-f"], "ksh93": ["ksh93"], "mksh": ["mksh"],
                 "busybox sh": ["busybox", "sh"], "dash": ["dash"], "yash": ["yash"], "posh": ["posh"],
                 "fish": ["fish", "--no-config"]}
FAKE_CURL = """#!/bin/sh
# Writes its arguments, each ended by a NUL, to the next numbered file.
n=1
while [ -e "{words}/$n" ]; do n=$((n+1)); done
printf '%s\\0' curl "$@" >"{words}/$n"
"""


@pytest.mark.parametrize("shell", SCRIPT_SHELLS)
def test_run_from_a_script_file(shell, tmp_path):
    """A script of the commands, run with `curl` first on PATH a program that records its
    arguments, runs curl once per command with the words meant, and nothing else."""
    argv = SCRIPT_SHELLS[shell]
    if shutil.which(argv[0]) is None:
        pytest.skip(f"{argv[0]} is not installed")
    words, bin_dir = tmp_path / "words", tmp_path / "bin"
    words.mkdir()
    bin_dir.mkdir()
    (bin_dir / "curl").write_text(FAKE_CURL.format(words=words))
    (bin_dir / "curl").chmod(0o755)
    (tmp_path / "script.sh").write_text("".join(command(args) + "\n" for args in INJECTIONS.values()))
    env = dict(plain_env(tmp_path), LC_ALL="C.UTF-8")
    env["PATH"] = f"{bin_dir}:{env['PATH']}"
    done = subprocess.run([*argv, "script.sh"], cwd=tmp_path, env=env, capture_output=True, timeout=30)
    assert (done.returncode, done.stderr) == (0, b"")
    runs = [(words / str(n)).read_bytes().split(b"\0")[:-1] for n in range(1, len(list(words.iterdir())) + 1)]
    assert [[word.decode() for word in run] for run in runs] == [curl_words(*args) for args in INJECTIONS.values()]
    assert not (tmp_path / "PWNED").exists()
