"""Prints one dependency list of pyproject.toml, one requirement a line, for pip's -r.

    tools/requirements.py test    the `test` extra
    tools/requirements.py build   the `build` dependency group (likewise `dist`)
"""
import pathlib
import sys
import tomllib

project = tomllib.loads((pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
name = sys.argv[1]
lists = project["project"]["optional-dependencies"] | project["dependency-groups"]
print("\n".join(lists[name]))
