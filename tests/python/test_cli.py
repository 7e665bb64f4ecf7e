"""The `vantorelle` command, end to end through subprocesses: counts equal
those of sketches built value by value, sketch files round-trip, and every
failure is one line on standard error with the right exit status."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vantorelle
from support import HLL

SCRIPT = Path(sys.executable).parent / "vantorelle"


def run(*args, stdin=b"", script=False):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "vantorelle"]
    return subprocess.run(
        [*command, *map(str, args)], input=stdin, capture_output=True, timeout=120
    )


def ok(*args, **kwargs) -> str:
    done = run(*args, **kwargs)
    assert (done.returncode, done.stderr) == (0, b""), done.stderr.decode()
    return done.stdout.decode()


def failed(status, *args, **kwargs) -> str:
    """Standard error of a run that must exit with `status`: one line, no traceback."""
    done = run(*args, **kwargs)
    assert done.returncode == status, (done.returncode, done.stderr)
    assert b"Traceback" not in done.stderr
    lines = done.stderr.decode().splitlines()
    assert done.stdout == b""
    return lines[-1] if status == 2 else lines[0] if len(lines) == 1 else pytest.fail(lines)


def estimate_of(values, ty=bytes, precision=15, sparse=20) -> int:
    sketch = HLL(ty, precision, sparse)
    for value in values:
        sketch.add(value)
    return sketch.result()


@pytest.fixture
def files(tmp_path):
    def write(name, data: bytes) -> Path:
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write


MANY = b"".join(b"line %d\n" % (i % 7919) for i in range(30_000))


@pytest.mark.parametrize("script", [False, True], ids=["python -m", "console script"])
@pytest.mark.parametrize(
    "data, lines",
    [
        (b"a\nb\na\n", [b"a", b"b", b"a"]),
        (b"a\r\nb\r\nb", [b"a", b"b", b"b"]),  # CRLF endings, last line without newline
        (b"\n\nx\n", [b"", b"", b"x"]),  # empty lines are values
        (b"", []),
        (MANY, MANY.splitlines()),
    ],
)
def test_count_equals_value_by_value_sketch(files, data, lines, script):
    path = files("in.txt", data)
    want = estimate_of(lines)
    assert want == estimate_of([line.decode() for line in lines], str)
    assert ok("count", path, script=script) == f"{want}\n"
    assert ok("count", stdin=data, script=script) == f"{want}\n"
    assert ok("count", "-", stdin=data, script=script) == f"{want}\n"


def test_closed_standard_input():
    done = subprocess.run(
        [sys.executable, "-m", "vantorelle", "count"], stdin=subprocess.DEVNULL, capture_output=True
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"0\n", b"")
    done = subprocess.run(
        [sys.executable, "-c", "import os, sys; os.close(0); from vantorelle.cli import main; sys.exit(main(['count']))"],
        capture_output=True,
    )
    assert (done.returncode, done.stderr) == (1, b"vantorelle: <stdin>: Bad file descriptor\n")


def test_sketch_to_standard_output_and_back(tmp_path):
    data = run("sketch", "-o", "-", stdin=b"a\nb\nc\n").stdout
    assert data == HLL.from_bytes(data).to_bytes() and HLL.from_bytes(data).result() == 3
    assert ok("estimate", "-", stdin=data) == "3\n"
    assert failed(1, "inspect", "-", stdin=b"junk").startswith("vantorelle: <stdin>: not a sketch: ")


def test_count_several_files_and_stdin(files):
    first = files("a.txt", b"x\ny\nno newline")
    second = files("b.txt", b"z\r\nx\n")
    want = estimate_of([b"x", b"y", b"no newline", b"z", b"x", b"s1", b"s2"])
    assert ok("count", first, "-", second, stdin=b"s1\ns2") == f"{want}\n"


def test_count_json_and_precisions(files):
    path = files("in.txt", MANY)
    report = json.loads(ok("count", "--json", "-p", 12, "--sparse-precision", 0, path))
    assert report.pop("seconds") >= 0
    assert report == {
        "estimate": estimate_of(MANY.splitlines(), bytes, 12, None),
        "values": 30_000,
        "bytes": len(MANY),
        "normal_precision": 12,
        "sparse_precision": 0,
    }


CSV = (
    b'id,name,note\r\n'
    b'1,ann,"says ""hi"""\r\n'
    b'2,bob,"two\r\nlines, and a comma"\r\n'
    b'3,ann\r\n'
    b'4,"cy, d",plain\r\n'
    b'5\r\n'
)


@pytest.mark.parametrize(
    "options, values, skipped",
    [
        (["--csv", "name"], [b"ann", b"bob", b"ann", b"cy, d"], 1),
        (["--csv", "note"], [b'says "hi"', b"two\r\nlines, and a comma", b"plain"], 2),
        (["--csv", "2", "--no-header"], [b"name", b"ann", b"bob", b"ann", b"cy, d"], 1),
    ],
)
def test_count_csv_column(files, options, values, skipped):
    path = files("in.csv", CSV)
    report = json.loads(ok("count", *options, "--json", path))
    assert (report["estimate"], report["values"], report["rows_skipped"]) == (
        estimate_of(values),
        len(values),
        skipped,
    )


def test_sketch_merge_estimate_inspect_round_trip(files, tmp_path):
    first = files("a.txt", b"".join(b"%d\n" % i for i in range(0, 3000)))
    second = files("b.txt", b"".join(b"%d\n" % i for i in range(2000, 5000)))
    a, b, m = tmp_path / "a.hll", tmp_path / "b.hll", tmp_path / "m.hll"
    assert ok("sketch", first, "-o", a) == ""
    assert ok("sketch", "-o", b, stdin=second.read_bytes()) == ""
    expected_a = HLL(bytes)
    for i in range(3000):
        expected_a.add(b"%d" % i)
    assert a.read_bytes() == expected_a.to_bytes()

    union = estimate_of([b"%d" % i for i in range(5000)])
    assert ok("merge", a, b, "-o", m) == ""
    assert ok("estimate", m) == f"{union}\n"
    assert ok("estimate", "--union", a, b) == f"{union}\n"
    assert ok("count", first, second) == f"{union}\n"
    one, two = HLL.from_bytes(a.read_bytes()).result(), HLL.from_bytes(b.read_bytes()).result()
    assert ok("estimate", a, b) == f"{one}\t{a}\n{two}\t{b}\n"

    facts = json.loads(ok("inspect", "--json", m))
    assert facts == {
        "value_type": "text or bytes",
        "normal_precision": 15,
        "sparse_precision": 20,
        "form": "sparse",
        "values": 6000,
        "estimate": union,
        "bytes": len(m.read_bytes()),
    }
    small = tmp_path / "small.hll"
    ok("sketch", "-p", 11, "--sparse-precision", 16, "-o", small, stdin=b"x\ny\n")
    text = ok("inspect", small)
    for line in ("form:              sparse", "values added:      2", "normal precision:  11",
                 "sparse precision:  16", "estimate:          2", "value type:        text or bytes"):
        assert line in text
    dense = tmp_path / "dense.hll"
    ok("sketch", "-p", 10, "-o", dense, stdin=MANY)
    assert json.loads(ok("inspect", "--json", dense))["form"] == "normal"
    ok("sketch", "--sparse-precision", 0, "-o", dense, stdin=b"x\n")
    assert json.loads(ok("inspect", "--json", dense))["form"] == "normal"


def test_json_lines_stay_utf8_whatever_bytes_the_file_names_hold(tmp_path):
    # A file name may hold any bytes; JSON must be UTF-8, so those that are
    # not become U+FFFD, as Python's "replace" makes them.
    random = __import__("random").Random(11)
    pieces = [b"a", "é".encode(), "€".encode(), "𝄞".encode(), b"\xff", b"\xe2\x82", b"\xed\xa0\x80",
              b"\xc0\xaf", b"\xf4\x90\x80\x80", b"\xf0\x9d", b'"', b"\\", b"\x01"]
    names = {b"".join(random.choice(pieces) for _ in range(6)) + b".hll" for _ in range(40)}
    data = HLL(int).to_bytes()
    paths = []
    for name in sorted(names):
        path = os.path.join(os.fsencode(tmp_path), name)
        with open(path, "wb") as file:
            file.write(data)
        paths.append(path)
    done = subprocess.run([SCRIPT, "estimate", "--json", *paths], capture_output=True)
    assert done.returncode == 0, done.stderr
    got = [json.loads(line.decode("utf-8"))["file"] for line in done.stdout.splitlines()]
    assert got == [path.decode("utf-8", "replace") for path in paths]


def test_inspect_integer_sketch(tmp_path):
    sketch = HLL(int)
    sketch.add(5)
    path = tmp_path / "int.hll"
    path.write_bytes(sketch.to_bytes())
    facts = json.loads(ok("inspect", "--json", path))
    assert (facts["value_type"], facts["values"], facts["form"]) == ("integer", 1, "sparse")


def test_file_errors(files, tmp_path):
    missing = tmp_path / "missing.txt"
    good = files("good.txt", b"a\n")
    assert failed(1, "count", good, missing) == f"vantorelle: {missing}: No such file or directory"
    assert failed(1, "count", tmp_path) == f"vantorelle: {tmp_path}: Is a directory"
    assert failed(1, "estimate", missing) == f"vantorelle: {missing}: No such file or directory"
    assert failed(1, "sketch", good, "-o", tmp_path / "no" / "dir.hll").endswith(
        "dir.hll: No such file or directory"
    )

    assert failed(1, "inspect", good).startswith(f"vantorelle: {good}: not a sketch: ")
    sketch = tmp_path / "s.hll"
    ok("sketch", "-o", sketch, stdin=b"".join(b"%d\n" % i for i in range(100)))
    data = sketch.read_bytes()
    corrupt = files("corrupt.hll", data[:-3])
    assert failed(1, "estimate", sketch, corrupt).startswith(f"vantorelle: {corrupt}: not a sketch: ")
    assert failed(1, "merge", sketch, corrupt, "-o", tmp_path / "out.hll").startswith(
        f"vantorelle: {corrupt}: not a sketch: "
    )
    assert not (tmp_path / "out.hll").exists()
    empty = files("empty.hll", b"")
    assert failed(1, "inspect", empty).startswith(f"vantorelle: {empty}: not a sketch: ")

    numbers = HLL(int)
    numbers.add(1)
    ints = files("ints.hll", numbers.to_bytes())
    assert failed(1, "estimate", "--union", sketch, ints).startswith(f"vantorelle: {ints}: cannot merge: ")

    table = files("t.csv", b"a,b\n1,2\n")
    assert failed(1, "count", "--csv", "c", table) == (
        f'vantorelle: {table}: no column "c" in the header; its columns are: "a", "b"'
    )


def test_a_write_that_fails_midway_leaves_the_old_file(tmp_path):
    # A file-size limit stops the write of a dense sketch part-way (as a full
    # disk would): the existing OUT keeps its bytes, and no temporary file stays.
    import resource
    import signal

    out = tmp_path / "out.hll"
    ok("sketch", "-o", out, stdin=b"1\n2\n")
    old = out.read_bytes()

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))

    dense = b"".join(b"%d\n" % i for i in range(100_000))  # (32 KiB of registers)
    done = subprocess.run([sys.executable, "-m", "vantorelle", "sketch", "-o", str(out)], input=dense,
                          capture_output=True, timeout=120, preexec_fn=limited)
    assert (done.returncode, done.stderr) == (1, f"vantorelle: {out}: File too large\n".encode())
    assert out.read_bytes() == old
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out.hll"]


@pytest.mark.skipif(not Path("/proc/self/mem").exists(), reason="needs Linux /proc")
def test_read_error_after_open():
    # Opens fine, but reading at offset 0 fails: the read path's error.
    assert failed(1, "count", "/proc/self/mem") == "vantorelle: /proc/self/mem: Input/output error"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(files):
    path = files("secret.txt", b"a\n")
    path.chmod(0)
    assert failed(1, "count", path) == f"vantorelle: {path}: Permission denied"


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["sketch", "x"], "the following arguments are required: -o/--output"),
        (["merge", "-o", "x"], "the following arguments are required: SKETCH"),
        (["count", "--no-header"], "--no-header needs --csv"),
        (["count", "--csv", "0", "--no-header"], "a column number from 1"),
        (["count", "--csv", "name", "--no-header"], "a column number from 1"),
        (["sketch", "--json", "-o", "-"], "--json and -o - would both write to standard output"),
        (["count", "-p", "30"], "Expected normal precision to be >= 10 and <= 24 but was 30"),
        (["count", "-p", "x"], "argument -p/--precision: invalid integer value: 'x'"),
        (["count", "--csv"], "argument --csv: expected one argument"),
    ],
)
def test_usage_errors(args, message):
    assert message in failed(2, *args)


def test_version_and_quiet_stderr_without_terminal():
    assert ok("--version").startswith("vantorelle ")
    # A run long enough for a progress bar still prints nothing extra when
    # standard error is not a terminal (here, a pipe).
    done = run("count", stdin=MANY * 20)
    assert done.stderr == b"" and done.returncode == 0


def test_the_installed_command_is_the_native_program():
    from vantorelle import cli

    assert SCRIPT.read_bytes()[:4] == b"\x7fELF"
    assert cli.program() == str(SCRIPT)
    # python -m vantorelle runs that program: the same answers, byte for byte.
    assert ok("--version") == ok("--version", script=True) == f"vantorelle {vantorelle.__version__}\n"


def on_a_terminal(*writes) -> tuple[bytes, bytes]:
    """(standard output, what the terminal got on standard error) of `count`
    reading `writes` from a pipe, a second apart."""
    import pty

    parent, child = pty.openpty()
    with subprocess.Popen([SCRIPT, "count"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=child) as process:
        os.close(child)
        for i, data in enumerate(writes):
            if i:
                time.sleep(0.8)
            process.stdin.write(data)
            process.stdin.flush()
        process.stdin.close()
        output = process.stdout.read()
        assert process.wait(timeout=60) == 0
    shown = b""
    try:
        while chunk := os.read(parent, 4096):
            shown += chunk
    except OSError:  # the terminal's other end is closed
        pass
    os.close(parent)
    return output, shown


def test_progress_on_a_terminal():
    """A read that lasts past half a second shows the lines read on a
    terminal, and erases them at the end; a short one shows nothing."""
    import re

    output, shown = on_a_terminal(MANY, MANY)
    assert output == f"{estimate_of(MANY.splitlines())}\n".encode()
    lines = [int(n.replace(b",", b"")) for n in re.findall(rb"/s, ([\d,]+) lines", shown)]
    # Drawn at least once after the pause, when the first write was read.
    assert lines and 30_000 <= max(lines) <= 60_000, shown
    assert shown.endswith(b"\r\x1b[K")
    assert on_a_terminal(b"a\n") == (b"1\n", b"")


def csv_text(rng, delimiter: bytes):
    """Random records of three fields (some quoted, some empty) with the
    values of the second field: (text, values or None for a null)."""
    records, values = [b"h1" + delimiter + b"h2" + delimiter + b"h3"], []
    for _ in range(rng.randrange(1, 60)):
        fields = []
        for column in range(3):
            value = bytes(rng.choice(b"ab\t,;\r\n\"") for _ in range(rng.randrange(4)))
            quoted = bool(value.strip(b"ab")) or rng.random() < 0.3
            fields.append(b'"' + value.replace(b'"', b'""') + b'"' if quoted else value)
            if column == 1:
                values.append(value if value or quoted else None)
        records.append(delimiter.join(fields))
    return b"\r\n".join(records) + b"\n", values


@pytest.mark.parametrize("seed", range(2))
def test_csv_delimiters_nulls_and_gzip_match_the_model(files, seed):
    import gzip
    import random

    rng = random.Random(seed)
    for delimiter, options in [(b",", []), (b";", ["--delimiter", ";"]), (b"\t", ["--tsv"]),
                               (b"\t", ["--delimiter", "\\t"])]:
        text, values = csv_text(rng, delimiter)
        counted = [value for value in values if value is not None]
        path = files("in.csv", text)
        packed = files("in.csv.gz", gzip.compress(text[:7]) + gzip.compress(text[7:]) + b"\0" * 5)
        for source, stdin in [(path, b""), (packed, b""), ("-", packed.read_bytes())]:
            report = json.loads(
                ok("count", "--csv", "h2", *options, "--empty-as-null", "--json", source, stdin=stdin)
            )
            assert (report["estimate"], report["values"], report["nulls"]) == (
                estimate_of(counted), len(counted), len(values) - len(counted))
        report = json.loads(ok("count", "--csv", "2", "--no-header", *options, "--json", path))
        assert (report["estimate"], report["values"]) == (
            estimate_of([b"h2", *(value or b"" for value in values)]), len(values) + 1)


def test_gzip_errors_and_binary_lines(files):
    import gzip

    data = gzip.compress(MANY)
    assert ok("count", files("a.gz", data)) == f"{estimate_of(MANY.splitlines())}\n"
    cut = files("cut.gz", data[:-20])
    assert failed(1, "count", cut) == (
        f"vantorelle: {cut}: not valid gzip data: the input ends inside a member (a cut file?)")
    tail = files("tail.gz", data + b"\0\0junk")
    assert failed(1, "count", tail).startswith(f"vantorelle: {tail}: not valid gzip data: bytes after")
    bad = files("bad.gz", data[:10] + b"\xff" * 20)
    assert failed(1, "count", bad).startswith(f"vantorelle: {bad}: not valid gzip data: ")
    # Only the two magic bytes make gzip: one of them alone is a line.
    assert ok("count", files("one", b"\x1f")) == "1\n"
    assert ok("count", files("two", b"\x1f\n\x8b")) == "2\n"


def test_outputs_are_checked_before_any_input_is_read(tmp_path, files):
    good = files("in.txt", b"a\n")
    missing = tmp_path / "no" / "out.hll"
    # Standard input is never read: the run ends at once, not at the timeout.
    with subprocess.Popen([sys.executable, "-m", "vantorelle", "sketch", "-o", missing],
                          stdin=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.wait(timeout=60) == 1
        assert process.stderr.read().decode() == f"vantorelle: {missing}: No such file or directory\n"
    # A failed run leaves an existing output as it was and makes no new one.
    kept = files("kept.hll", b"old")
    assert failed(1, "sketch", good, tmp_path / "absent.txt", "-o", kept).endswith("No such file or directory")
    assert failed(1, "merge", good, "-o", tmp_path / "new.hll").startswith(f"vantorelle: {good}: not a sketch")
    assert kept.read_bytes() == b"old" and not (tmp_path / "new.hll").exists()
    assert ok("sketch", good, "-o", kept) == "" and HLL.from_bytes(kept.read_bytes()).result() == 1


@pytest.mark.parametrize(
    "args, message",
    [
        (["count", "--tsv"], "--tsv needs --csv"),
        (["count", "--empty-as-null"], "--empty-as-null needs --csv"),
        (["count", "--csv", "a", "--delimiter", "ab"], "--delimiter takes one byte, not 'ab'"),
        (["count", "--csv", "a", "--delimiter", '"'], "--delimiter cannot be '\"': it has a meaning"),
        (["count", "--csv", "a", "--tsv", "--delimiter", ";"], "not allowed with argument"),
        (["sketch", "-p", "9", "-o", "/nonexistent/x"], "Expected normal precision to be >= 10"),
    ],
)
def test_csv_option_usage_errors(args, message):
    assert message in failed(2, *args)


def test_header_names_are_quoted_in_messages(files):
    table = files("t.csv", b'a\t"b\r"\t\x01\n1\t2\t3\n')
    assert failed(1, "count", "--tsv", "--csv", "c\r", table) == (
        f'vantorelle: {table}: no column "c\\r" in the header; its columns are: "a", "b\\r", "\\x01"')


def test_large_files_read_through_mappings_count_as_streams(files):
    # Over 1 MiB: mapped in 1 MiB slices, lines cut by the slices' ends.
    data = b"".join(b"value %d\r\n" % (i * 7 % 150_001) for i in range(200_000)) + b"last"
    path = files("big.txt", data)
    want = estimate_of(data.splitlines())
    report = json.loads(ok("count", "--json", path))
    assert (report["estimate"], report["values"], report["bytes"]) == (want, 200_001, len(data))
    assert ok("count", stdin=data) == f"{want}\n"


def test_a_csv_column_that_no_row_has_is_an_error(files):
    narrow = files("narrow.csv", b"1,2\n3,4\n")
    assert failed(1, "count", "--csv", "99", "--no-header", narrow) == (
        f"vantorelle: {narrow}: no row has column 99 (all 2 rows have fewer fields)")
    short = files("short.csv", b"a,b\n1\n")
    assert failed(1, "count", "--csv", "b", short) == (
        f'vantorelle: {short}: no row has column "b" (all 1 row has fewer fields)')
    # Each input is judged alone: the second lacks the column.
    wide = files("wide.csv", b"1,2,3\n")
    assert failed(1, "count", "--csv", "3", "--no-header", wide, narrow).startswith(
        f"vantorelle: {narrow}: no row has column 3")
    # A name the header gives twice names no one column.
    twice = files("twice.csv", b"id,name,name\n1,a,b\n")
    assert failed(1, "count", "--csv", "name", twice) == (
        f'vantorelle: {twice}: the header names column "name" more than once (columns 2 and 3)')
    # Rows with the column (values or nulls), or no rows at all, are fine.
    some = files("some.csv", b"1\n,,\n4,5,6\n")
    report = json.loads(ok("count", "--csv", "3", "--no-header", "--empty-as-null", "--json",
                           some, files("empty.csv", b"")))
    assert (report["values"], report["nulls"], report["rows_skipped"]) == (1, 1, 1)
    assert json.loads(ok("count", "--csv", "2", "--no-header", "--json", some))["values"] == 2


def test_closed_standard_output_and_a_missing_program(tmp_path, monkeypatch, capsys):
    for command in (f'"{SCRIPT}"', f'"{sys.executable}" -m vantorelle'):
        done = subprocess.run(["sh", "-c", f"{command} count >&-"], input=b"a\n", capture_output=True)
        assert (done.returncode, done.stderr) == (1, b"vantorelle: <stdout>: Bad file descriptor\n"), command

    from vantorelle import cli

    # A leftover script of an older install is never run (it would run this module again).
    script = tmp_path / "vantorelle"
    script.write_text("#!/bin/sh\necho old\n")
    script.chmod(0o755)
    monkeypatch.setattr(cli, "_beside_interpreter", lambda: str(tmp_path / "absent"))
    monkeypatch.setattr(cli, "_candidates", lambda: [str(tmp_path / "absent"), str(script)])
    assert cli.main(["--version"]) == 1
    assert "the native program is not installed" in capsys.readouterr().err
