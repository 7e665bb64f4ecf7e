"""The ``vantorelle`` command: distinct counts of lines and CSV columns, and
sketch files.

The command is a native program (src/cli), which ``pip install .`` puts in
the environment's scripts folder, on its PATH. ``python -m vantorelle`` and
`main` run that program in place of the interpreter, with the same
arguments, so that both ways of calling the command behave alike.
"""

from __future__ import annotations

import os
import sys

PROG = "vantorelle"
# The first bytes of an ELF executable: a leftover script of an older
# install (which would run this module again) is never taken.
_ELF_MAGIC = b"\x7fELF"


def _candidates() -> list[str]:
    """Where an install puts the program: next to the interpreter (a virtual
    environment, a system interpreter), else the scripts folder of the
    default or the user scheme."""
    import sysconfig

    folders = [os.path.dirname(sys.executable)]
    for scheme in (sysconfig.get_default_scheme(), sysconfig.get_preferred_scheme("user")):
        try:
            folders.append(sysconfig.get_path("scripts", scheme))
        except KeyError:
            continue
    return [os.path.join(folder, PROG) for folder in dict.fromkeys(folders)]


def program() -> str | None:
    """The path of the native `vantorelle` program of this installation,
    or None when none is found."""
    for path in _candidates():
        try:
            with open(path, "rb") as file:
                if file.read(len(_ELF_MAGIC)) == _ELF_MAGIC and os.access(path, os.X_OK):
                    return path
        except OSError:
            continue
    return None


def main(argv: list[str] | None = None) -> int:
    """Runs the command with `argv` (default: this process's arguments) in
    place of this process; returns 1 only when the program is missing."""
    if argv is None:
        argv = sys.argv[1:]
    path = program()
    if path is None:
        looked = ", ".join(_candidates())
        print(f"{PROG}: the native program is not installed (looked for {looked}); "
              "reinstall the package", file=sys.stderr)
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(path, [PROG, *argv])
    return 1  # not reached: execv replaces the process or raises
