"""The ``vantorelle`` command: distinct counts of lines and CSV columns, and
sketch files.

    vantorelle count [FILE ...]             estimated distinct lines
    vantorelle sketch [FILE ...] -o OUT     the same lines, as a sketch file
    vantorelle merge SKETCH ... -o OUT      one sketch file from several
    vantorelle estimate SKETCH ... [--union] [--method M] [--bounds [--confidence C]]
    vantorelle estimate --intersection A B  (or --jaccard A B)
    vantorelle inspect SKETCH

Lines are read in large blocks and split and hashed in C++
(``_native.LineSketcher``); no Python object is made per line. A gzip input
is recognised by its first bytes and read decompressed. Errors about files
are one line on standard error and exit status 1; wrong usage exits 2.
"""

from __future__ import annotations

import os
import stat
import sys
import time

from vantorelle_py import HyperLogLogPlusPlus, __version__

from vantorelle import _native
from vantorelle._estimators import bounds, estimate, intersection, jaccard, union
from vantorelle._loading import from_bytes

PROG = "vantorelle"
# Bytes read per call: large enough that the per-call cost vanishes, small
# enough to stay in cache while the lines are split and hashed.
CHUNK = 1 << 20
# A run shorter than this shows no progress bar.
PROGRESS_DELAY = 0.5


# Defaults of `count` and `sketch` (the sketch's own), shared by the
# argument parser and the plain `count FILE ...` path.
DEFAULT_PRECISION = _native.DEFAULT_NORMAL_PRECISION
DEFAULT_SPARSE_PRECISION = _native.DEFAULT_SPARSE_PRECISION
# The first bytes of a gzip member.
GZIP_MAGIC = b"\x1f\x8b"
# At most this many decompressed bytes are made from one read.
INFLATE_CHUNK = 4 * CHUNK

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    import zlib
    from typing import Iterator


class CommandError(Exception):
    """A failure to report as one line on standard error (exit status 1)."""


class UsageError(Exception):
    """Wrong usage found after parsing: reported with the command's usage (exit status 2)."""


# How standard input is named in messages.
STDIN = "<stdin>"


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


# Reading lines ---------------------------------------------------------------


class _Progress:
    """Bytes read, rate and lines on standard error, only when it is a
    terminal and tqdm is installed; otherwise nothing at all."""

    def __init__(self, total: int | None) -> None:
        self._bar = None
        if not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:
            return
        self._bar = tqdm(
            total=total,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            delay=PROGRESS_DELAY,
            leave=False,
            dynamic_ncols=True,
            file=sys.stderr,
        )

    def update(self, size: int, lines: int) -> None:
        if self._bar is not None:
            self._bar.update(size)
            self._bar.set_postfix_str(f"{lines:,} lines", refresh=False)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _file_size(fd: int) -> int | None:
    try:
        info = os.fstat(fd)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _open_inputs(paths: list[str]) -> list[tuple[str, int]]:
    """Opens every input before any is read, so that a missing file is
    reported at once rather than after a long read of the others."""
    opened: list[tuple[str, int]] = []
    try:
        for path in paths:
            if path == "-":
                opened.append((STDIN, 0))
                continue
            try:
                opened.append((path, os.open(path, os.O_RDONLY)))
            except OSError as error:
                raise CommandError(f"{path}: {_reason(error)}") from None
    except BaseException:
        _close_inputs(opened)
        raise
    return opened


def _close_inputs(opened: list[tuple[str, int]]) -> None:
    for name, fd in opened:
        if name != STDIN:
            os.close(fd)


def _column(args: argparse.Namespace) -> int | bytes | None:
    if args.csv is None:
        for option, given in (
            ("--no-header", args.no_header),
            ("--delimiter", args.delimiter is not None),
            ("--tsv", args.tsv),
            ("--empty-as-null", args.empty_as_null),
        ):
            if given:
                raise UsageError(f"{option} needs --csv")
        return None
    if args.no_header:
        if not args.csv.isdigit() or int(args.csv) < 1:
            raise UsageError(
                f"with --no-header, --csv takes a column number from 1, not {args.csv!r}"
            )
        return int(args.csv) - 1
    return os.fsencode(args.csv)


def _delimiter(args: argparse.Namespace) -> bytes:
    if args.tsv:
        return b"\t"
    if args.delimiter is None:
        return b","
    text = "\t" if args.delimiter in ("\\t", "tab") else args.delimiter
    delimiter = os.fsencode(text)
    if len(delimiter) != 1:
        raise UsageError(f"--delimiter takes one byte, not {args.delimiter!r}")
    return delimiter


def _sketcher(args: argparse.Namespace) -> _native.LineSketcher:
    """The LineSketcher the arguments ask for: their errors are usage errors."""
    column = _column(args)
    try:
        _native.check_precisions(args.precision, args.sparse_precision)
        if column is None:
            return _native.LineSketcher(args.precision, args.sparse_precision)
        return _native.LineSketcher(
            args.precision,
            args.sparse_precision,
            column,
            not args.no_header,
            delimiter=_delimiter(args),
            empty_as_null=args.empty_as_null,
        )
    except ValueError as error:
        raise UsageError(str(error)) from None


class _Inflater:
    """The decompressed bytes of a gzip input of one or more members, in
    pieces of at most INFLATE_CHUNK bytes however well the input compresses.
    Zero bytes after a member are padding, as gzip itself reads them."""

    def __init__(self, name: str) -> None:
        import zlib

        self._name = name
        self._member: zlib._Decompress | None = zlib.decompressobj(wbits=31)

    def _fail(self, reason: str) -> CommandError:
        return CommandError(f"{self._name}: not valid gzip data: {reason}")

    def pieces(self, data: bytes | bytearray | memoryview) -> Iterator[bytes]:
        import zlib

        while True:
            if self._member is None:
                data = bytes(data).lstrip(b"\0")
                if not data:
                    return
                if not GZIP_MAGIC.startswith(data[:2]):
                    raise self._fail("bytes after the last member that start no new one")
                self._member = zlib.decompressobj(wbits=31)
            member = self._member
            try:
                piece = member.decompress(data, INFLATE_CHUNK)
            except zlib.error as error:
                raise self._fail(str(error)) from None
            if piece:
                yield piece
            if member.eof:
                self._member = None
                data = member.unused_data
            else:
                data = member.unconsumed_tail
                # A full piece may leave output behind: asked for with no input.
                if not data and len(piece) < INFLATE_CHUNK:
                    return

    def finish(self) -> None:
        if self._member is not None:
            raise self._fail("the input ends inside a member (a cut file?)")


def _feed_input(
    name: str, fd: int, sketcher: _native.LineSketcher, buffer: bytearray, progress: _Progress
) -> int:
    """Reads one input into the sketcher, decompressed when it is gzip;
    returns the bytes read."""
    view = memoryview(buffer)
    read_bytes = 0
    # The input's first bytes tell gzip; a pipe may give them one at a time.
    head = b""
    deciding = True
    inflater: _Inflater | None = None
    try:
        while True:
            try:
                size = os.readv(fd, (buffer,))
            except OSError as error:
                raise CommandError(f"{name}: {_reason(error)}") from None
            read_bytes += size
            chunk: bytes | bytearray | memoryview = view[:size] if size < CHUNK else buffer
            if deciding:
                if size != 0 and len(head) + size < len(GZIP_MAGIC):
                    head += bytes(chunk)
                    continue
                deciding = False
                if head:
                    chunk = head + bytes(chunk)
                if bytes(chunk[: len(GZIP_MAGIC)]) == GZIP_MAGIC:
                    inflater = _Inflater(name)
            if chunk:
                if inflater is None:
                    sketcher.feed(chunk)
                else:
                    for piece in inflater.pieces(chunk):
                        sketcher.feed(piece)
                progress.update(size, sketcher.values)
            if size == 0:
                break
        if inflater is not None:
            inflater.finish()
        sketcher.end_input()
    finally:
        view.release()
    return read_bytes


def _read_lines(args: argparse.Namespace, sketcher: _native.LineSketcher) -> dict:
    """Reads the inputs of `count` or `sketch` into the sketcher: returns the
    sketch's bytes with what was read."""
    started = time.perf_counter()
    inputs = _open_inputs(args.files or ["-"])
    try:
        sizes = [_file_size(fd) for _, fd in inputs]
        total = None if None in sizes else sum(size for size in sizes if size is not None)
        progress = _Progress(total)
        buffer = bytearray(CHUNK)
        read_bytes = 0
        try:
            for name, fd in inputs:
                try:
                    read_bytes += _feed_input(name, fd, sketcher, buffer, progress)
                except ValueError as error:
                    raise CommandError(f"{name}: {error}") from None
            data, values, short_rows = sketcher.finish()
        finally:
            progress.close()
    finally:
        _close_inputs(inputs)
    report = {
        "estimate": None,
        "values": values,
        "bytes": read_bytes,
        "normal_precision": args.precision,
        "sparse_precision": args.sparse_precision,
        "seconds": 0.0,
        "sketch": data,
        "started": started,
    }
    if args.csv is not None:
        report["rows_skipped"] = short_rows
        if args.empty_as_null:
            report["nulls"] = sketcher.nulls
    return report


def _report_json(report: dict) -> None:
    shown = {key: value for key, value in report.items() if key not in ("sketch", "started")}
    shown["seconds"] = round(time.perf_counter() - report["started"], 6)
    import json

    print(json.dumps(shown))


def _count(args: argparse.Namespace) -> None:
    report = _read_lines(args, _sketcher(args))
    report["estimate"] = HyperLogLogPlusPlus.from_bytes(report["sketch"]).result()
    if args.json:
        _report_json(report)
    else:
        print(report["estimate"])


class _Output:
    """The file a command writes ('-': standard output), opened before any
    input is read, so that a path that cannot be written fails at once.
    An existing file keeps its bytes until the new ones are written; a file
    the command created is removed again when the command fails."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._fd: int | None = None
        self._created = False
        if path == "-":
            return
        try:
            try:
                self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                self._created = True
            except FileExistsError:
                self._fd = os.open(path, os.O_WRONLY)
        except OSError as error:
            raise CommandError(f"{path}: {_reason(error)}") from None

    def __enter__(self) -> _Output:
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        if self._fd is None:
            return
        os.close(self._fd)
        if kind is not None and self._created:
            os.unlink(self.path)

    def write(self, data: bytes) -> None:
        if self._fd is None:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            return
        try:
            if stat.S_ISREG(os.fstat(self._fd).st_mode):
                os.ftruncate(self._fd, 0)
            view = memoryview(data)
            while view:
                view = view[os.write(self._fd, view) :]
        except OSError as error:
            raise CommandError(f"{self.path}: {_reason(error)}") from None


def _sketch(args: argparse.Namespace) -> None:
    if args.json and args.output == "-":
        raise UsageError("--json and -o - would both write to standard output")
    sketcher = _sketcher(args)  # usage errors before the output is made
    with _Output(args.output) as output:
        report = _read_lines(args, sketcher)
        output.write(report["sketch"])
    if args.json:
        report["estimate"] = HyperLogLogPlusPlus.from_bytes(report["sketch"]).result()
        _report_json(report)


# Sketch files ----------------------------------------------------------------


def _load(path: str) -> HyperLogLogPlusPlus:
    """A sketch file, checked byte by byte before it is loaded."""
    try:
        if path == "-":
            path = STDIN
            with open(0, "rb", closefd=False) as source:
                data = source.read()
        else:
            with open(path, "rb") as source:
                data = source.read()
    except OSError as error:
        raise CommandError(f"{path}: {_reason(error)}") from None
    try:
        return from_bytes(data)
    except ValueError as error:
        raise CommandError(f"{path}: not a sketch: {error}") from None


def _merged(paths: list[str]) -> HyperLogLogPlusPlus:
    merged = _load(paths[0])
    for path in paths[1:]:
        sketch = _load(path)
        try:
            merged.merge(sketch)
        except (TypeError, ValueError, RuntimeError) as error:
            raise CommandError(f"{path}: cannot merge: {error}") from None
    return merged


def _merge(args: argparse.Namespace) -> None:
    with _Output(args.output) as output:
        output.write(_merged(args.sketches).to_bytes())


def _estimate(args: argparse.Namespace) -> None:
    if args.intersection or args.jaccard:
        if len(args.sketches) != 2 or args.union:
            raise UsageError("--intersection and --jaccard take exactly two sketch files and no --union")
        first, second = (_load(path) for path in args.sketches)
        try:
            value = intersection(first, second) if args.intersection else jaccard(first, second)
        except (ValueError, RuntimeError) as error:
            raise CommandError(f"cannot compare {args.sketches[0]} and {args.sketches[1]}: {error}") from None
        print(value if args.intersection else f"{value:.6f}")
        return
    # Every file is loaded before anything is printed.
    sketches = [_merged(args.sketches)] if args.union else [_load(path) for path in args.sketches]
    lines = []
    for sketch in sketches:
        if args.union and args.method == "default" and len(args.sketches) > 1:
            # The one union estimate of the package (vantorelle.union).
            fields = [union(*(_load(path) for path in args.sketches))]
        else:
            fields = [estimate(sketch, args.method)]
        if args.bounds:
            fields += bounds(sketch, args.confidence)
        lines.append("\t".join(map(str, fields)))
    if len(sketches) == 1:
        print(lines[0])
        return
    for path, line in zip(args.sketches, lines):
        print(f"{line}\t{path}")


def _confidence(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(text) from None
    if not 0 < value < 1:
        raise ValueError(text)
    return value


_confidence.__name__ = "confidence (between 0 and 1)"


def describe(sketch: HyperLogLogPlusPlus) -> dict:
    """What `inspect` shows of a sketch."""
    facts = _native.describe(sketch.to_bytes())
    facts["estimate"] = sketch.result()
    return facts


def _inspect(args: argparse.Namespace) -> None:
    facts = describe(_load(args.sketch))
    if args.json:
        import json

        print(json.dumps(facts))
        return
    print(f"value type:        {facts['value_type']}")
    print(f"normal precision:  {facts['normal_precision']}")
    print(f"sparse precision:  {facts['sparse_precision']}")
    print(f"form:              {facts['form']}")
    print(f"values added:      {facts['values']}")
    print(f"estimate:          {facts['estimate']}")
    print(f"size:              {facts['bytes']} bytes")


# Arguments -------------------------------------------------------------------


def _precision(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        # argparse reports a ValueError of a type function by the function's name.
        raise ValueError(text) from None


_precision.__name__ = "integer"


OUTPUT_HELP = "sketch file ('-': standard output)"


def _parser() -> argparse.ArgumentParser:
    """The parser; its subcommands' parsers are in `parser.commands`."""
    import argparse

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Estimated distinct counts of lines and CSV columns (HyperLogLog++).",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def reading(name: str, help: str) -> argparse.ArgumentParser:
        command = commands.add_parser(name, help=help, description=help)
        command.add_argument(
            "files", nargs="*", metavar="FILE", help="input files ('-' or none: standard input)"
        )
        command.add_argument(
            "--csv",
            metavar="COLUMN",
            help="read CSV and count the values of COLUMN (a header name, or a number "
            "from 1 with --no-header)",
        )
        command.add_argument(
            "--no-header", action="store_true", help="the CSV input has no header row"
        )
        separator = command.add_mutually_exclusive_group()
        separator.add_argument(
            "--delimiter",
            metavar="CHAR",
            help="the CSV field separator (default ','; '\\t' or 'tab' for a tab)",
        )
        separator.add_argument(
            "--tsv", action="store_true", help="tab-separated fields: --delimiter tab"
        )
        command.add_argument(
            "--empty-as-null",
            action="store_true",
            help='empty CSV fields are nulls, not counted (a quoted "" is still a value)',
        )
        command.add_argument(
            "-p",
            "--precision",
            type=_precision,
            default=DEFAULT_PRECISION,
            help=f"normal precision (default {DEFAULT_PRECISION})",
        )
        command.add_argument(
            "--sparse-precision",
            type=_precision,
            default=DEFAULT_SPARSE_PRECISION,
            help=f"sparse precision (default {DEFAULT_SPARSE_PRECISION}; 0: no sparse phase)",
        )
        command.add_argument(
            "--json",
            action="store_true",
            help="print estimate, values read, precisions and elapsed seconds as JSON",
        )
        return command

    reading("count", "Print the estimated number of distinct lines (or CSV values).").set_defaults(
        run=_count
    )
    sketch = reading("sketch", "Write a sketch of the lines (or CSV values) to a file.")
    sketch.add_argument("-o", "--output", required=True, metavar="OUT", help=OUTPUT_HELP)
    sketch.set_defaults(run=_sketch)

    merge = commands.add_parser("merge", help="Merge sketch files into one.")
    merge.add_argument("sketches", nargs="+", metavar="SKETCH")
    merge.add_argument("-o", "--output", required=True, metavar="OUT", help=OUTPUT_HELP)
    merge.set_defaults(run=_merge)

    estimate = commands.add_parser("estimate", help="Print the estimate of each sketch file.")
    estimate.add_argument("sketches", nargs="+", metavar="SKETCH")
    estimate.add_argument(
        "--union", action="store_true",
        help="print one estimate: the number of distinct values in any of the files (as vantorelle.union; "
        "with --method, that estimator of the files merged)"
    )
    estimate.add_argument(
        "--method", choices=("default", "improved", "ml"), default="default",
        help="estimator: result() (default), Ertl's improved raw estimator, or maximum likelihood",
    )
    estimate.add_argument(
        "--bounds", action="store_true",
        help="also print the lower and upper bounds of the count (tab-separated)",
    )
    estimate.add_argument(
        "--confidence", type=_confidence, default=0.95,
        help="probability that the bounds hold the count (default 0.95)",
    )
    pair = estimate.add_mutually_exclusive_group()
    pair.add_argument(
        "--intersection", action="store_true",
        help="print the estimated number of values in both of two sketch files",
    )
    pair.add_argument(
        "--jaccard", action="store_true",
        help="print the estimated Jaccard similarity of two sketch files",
    )
    estimate.set_defaults(run=_estimate)

    inspect = commands.add_parser("inspect", help="Describe a sketch file.")
    inspect.add_argument("sketch", metavar="SKETCH")
    inspect.add_argument("--json", action="store_true", help="print the description as JSON")
    inspect.set_defaults(run=_inspect)
    parser.commands = commands.choices  # type: ignore[attr-defined]
    return parser


class _PlainCount:
    """The arguments of `count FILE ...` with every option at its default."""

    command = "count"
    csv = None
    no_header = False
    delimiter = None
    tsv = False
    empty_as_null = False
    precision = DEFAULT_PRECISION
    sparse_precision = DEFAULT_SPARSE_PRECISION
    json = False

    def __init__(self, files: list[str]) -> None:
        self.files = files
        self.run = _count


def _plain_count(argv: list[str]) -> _PlainCount | None:
    """`count` with file names only, the commonest call, is run without
    importing argparse (a noticeable share of a short run's start-up)."""
    if not argv or argv[0] != "count":
        return None
    files = argv[1:]
    if any(name.startswith("-") and name != "-" for name in files):
        return None
    return _PlainCount(files)


def main(argv: list[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    args: _PlainCount | argparse.Namespace | None = _plain_count(argv)
    if args is None:
        args = _parser().parse_args(argv)
    try:
        args.run(args)  # type: ignore[arg-type]  # a _PlainCount stands in for a Namespace
        sys.stdout.flush()
    except UsageError as error:
        # Reported as the parser reports its own errors: usage, message, status 2.
        _parser().commands[args.command].error(str(error))  # type: ignore[attr-defined]
    except CommandError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except MemoryError:
        print(f"{PROG}: out of memory", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`): quiet, like other filters.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 0
