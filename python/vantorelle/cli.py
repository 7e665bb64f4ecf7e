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


def _beside_interpreter() -> str:
    return os.path.join(os.path.dirname(sys.executable), PROG)


def _candidates() -> list[str]:
    """Where an install puts the program: next to the interpreter (a virtual
    environment, a system interpreter), else the scripts folder of the
    default or the user scheme."""
    import sysconfig

    paths = [_beside_interpreter()]
    for scheme in (sysconfig.get_default_scheme(), sysconfig.get_preferred_scheme("user")):
        try:
            paths.append(os.path.join(sysconfig.get_path("scripts", scheme), PROG))
        except KeyError:
            continue
    return list(dict.fromkeys(paths))


def _is_program(path: str) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(len(_ELF_MAGIC)) == _ELF_MAGIC and os.access(path, os.X_OK)
    except OSError:
        return False


def program() -> str | None:
    """The path of the native `vantorelle` program of this installation,
    or None when none is found."""
    # The usual place first, without importing sysconfig (a noticeable share
    # of a short run's start-up).
    if _is_program(beside := _beside_interpreter()):
        return beside
    return next((path for path in _candidates() if _is_program(path)), None)


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
    # (None where the process was started with the stream closed: the
    # program reports that itself)
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    os.execv(path, [PROG, *argv])
    return 1  # not reached: execv replaces the process or raises
