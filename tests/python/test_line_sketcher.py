"""vantorelle._native.LineSketcher: lines and CSV columns of byte streams.

Each case compares the sketch with one built value by value from a reference
reading of the same bytes, under many ways of cutting the stream into chunks:
the result must not depend on where the chunks end.
"""

import random

import pytest

from support import HLL
from vantorelle import _native


def reference_lines(data: bytes) -> list[bytes]:
    """Lines end at "\\n", lose one "\\r" before it; bytes after the last
    newline are one more line."""
    if not data:
        return []
    pieces = data.split(b"\n")
    last = pieces.pop()
    lines = [piece[:-1] if piece.endswith(b"\r") else piece for piece in pieces]
    if last:
        lines.append(last)
    return lines


def expected(values, precision=15, sparse=20) -> bytes:
    sketch = HLL(bytes, precision, sparse)
    for value in values:
        sketch.add(value)
    return sketch.to_bytes()


def sketch_of(inputs, chunks=None, *args, **kwargs):
    """(bytes, values, skipped) of LineSketcher over `inputs` (a list of byte
    strings, one per input), each cut at the offsets `chunks(data)` gives."""
    sketcher = _native.LineSketcher(*(args or (15, 20)), **kwargs)
    for data in inputs:
        cuts = chunks(data) if chunks else []
        start = 0
        for cut in [*cuts, len(data)]:
            sketcher.feed(memoryview(data)[start:cut])
            start = cut
        sketcher.end_input()
    return sketcher.finish()


def random_cuts(rng, data, count):
    return sorted(rng.randrange(len(data) + 1) for _ in range(count)) if data else []


LINE_SAMPLES = [
    b"",
    b"\n",
    b"\n\n\r\n",
    b"a",
    b"a\n",
    b"a\r\nb\r\n",
    b"a\nb",
    b"a\nb\r",
    b"\r",
    b"\r\r\n\r",
    b"x\n" * 5 + b"y\r\nz",
    "caf\u00e9\n\u00fcber\r\nna\u00efve".encode(),
    bytes(range(256)) + b"\n\x00\n",
]


@pytest.mark.parametrize("data", LINE_SAMPLES)
def test_lines_at_every_single_cut(data):
    want = expected(reference_lines(data))
    assert sketch_of([data]) == (want, len(reference_lines(data)), 0)
    for cut in range(len(data) + 1):
        assert sketch_of([data], lambda _: [cut])[0] == want, cut


def test_lines_random_streams_and_chunkings():
    rng = random.Random(7)
    alphabet = [b"a", b"b", b"\n", b"\r", b"\r\n", b"xyz", b""]
    for _ in range(300):
        data = b"".join(rng.choice(alphabet) for _ in range(rng.randrange(40)))
        lines = reference_lines(data)
        got = sketch_of([data], lambda d: random_cuts(rng, d, rng.randrange(6)))
        assert got == (expected(lines), len(lines), 0), data


def test_large_chunks_split_across_threads():
    # Chunks of this size are hashed in two halves; the halves meet at a
    # newline, possibly in a "\r\n" or right at a chunk's end.
    rng = random.Random(11)
    words = [b"%d" % rng.randrange(50_000) + rng.choice([b"", b"\r"]) for _ in range(200_000)]
    data = b"\n".join(words) + b"\nlast"
    lines = reference_lines(data)
    want = (expected(lines), len(lines), 0)
    assert sketch_of([data]) == want
    for _ in range(4):
        assert sketch_of([data], lambda d: random_cuts(rng, d, 3)) == want


def test_inputs_do_not_run_into_each_other():
    inputs = [b"a\nb", b"c\n", b"", b"\r\nd"]
    lines = [line for data in inputs for line in reference_lines(data)]
    assert lines == [b"a", b"b", b"c", b"", b"d"]
    assert sketch_of(inputs) == (expected(lines), 5, 0)


def test_text_sketch_of_same_lines_is_equal():
    text = HLL(str)
    for line in ("one", "two", "", "three", "one"):
        text.add(line)
    assert sketch_of([b"one\ntwo\n\nthree\none\n"])[0] == text.to_bytes()


@pytest.mark.parametrize("precision, sparse", [(10, 15), (12, 0), (18, 25)])
def test_precisions(precision, sparse):
    data = b"".join(b"%d\n" % i for i in range(3000))
    assert sketch_of([data], None, precision, sparse)[0] == expected(
        reference_lines(data), precision, sparse
    )


# CSV -------------------------------------------------------------------------


def encode_field(rng, value: bytes) -> bytes:
    if b'"' in value or b"," in value or b"\n" in value or b"\r" in value or not value or rng.random() < 0.3:
        return b'"' + value.replace(b'"', b'""') + b'"'
    return value


def random_rows(rng):
    pieces = [b"a", b"b", b",", b'"', b"\n", b"\r\n", b" "]
    rows = []
    for _ in range(rng.randrange(12)):
        width = rng.randrange(1, 5)
        rows.append([b"".join(rng.choice(pieces) for _ in range(rng.randrange(4))) for _ in range(width)])
    return rows


def encode_rows(rng, rows) -> bytes:
    ending = rng.choice([b"\n", b"\r\n"])
    text = ending.join(b",".join(encode_field(rng, field) for field in row) for row in rows)
    return text + (ending if rows and rng.random() < 0.7 else b"")


def test_csv_random_records_and_chunkings():
    rng = random.Random(3)
    for _ in range(300):
        header = [b"id", b"name", b"x y", b"q\"uote"]
        rows = random_rows(rng)
        column = rng.randrange(4)
        data = encode_rows(rng, [header, *rows])
        if rng.random() < 0.2:
            data = b"\xef\xbb\xbf" + data
        values = [row[column] for row in rows if len(row) > column]
        want = (expected(values), len(values), len(rows) - len(values))
        cut = lambda d: random_cuts(rng, d, rng.randrange(5))  # noqa: E731
        assert sketch_of([data], cut, csv_column=header[column]) == want, data
        assert sketch_of([data], cut, csv_column=column) == want, data
        no_header = data.split(b"\n", 1)[1] if b"\n" in data else b""
        assert sketch_of([no_header], cut, csv_column=column, header=False) == want, data


@pytest.mark.parametrize(
    "data, values, skipped",
    [
        (b'h\n"a""b"\n"c,d"\n', [b'a"b', b"c,d"], 0),
        (b'h\r\n"line\r\nbreak"\r\nplain\r\n', [b"line\r\nbreak", b"plain"], 0),
        (b"h\n\n\r\nv\n\n", [b"v"], 0),  # blank lines are no records
        (b'h\n""\n', [b""], 0),
        (b'h\n"ab"cd\n', [b"abcd"], 0),  # after a closing quote, bytes are kept
        (b"h\nv", [b"v"], 0),
        (b"h", [], 0),
        (b"", [], 0),
        (b"\xef\xbb\xbfh\nv\n", [b"v"], 0),
        (b"\xef\xbbh\nv\n", None, 0),  # not a whole mark: part of the header name
        (b"\xef\xbb", None, 0),
    ],
)
def test_csv_cases_at_every_cut(data, values, skipped):
    if values is None:
        with pytest.raises(ValueError, match=r'no column "h" in the header; its columns are: "\\xef\\xbb'):
            sketch_of([data], csv_column=b"h")
        return
    want = (expected(values), len(values), skipped)
    for cut in range(len(data) + 1):
        assert sketch_of([data], lambda _: [cut], csv_column=b"h") == want, cut


def test_csv_each_input_has_its_header():
    inputs = [b"a,b\n1,2\n", b"b,a\n3,4\n5\n"]
    assert sketch_of(inputs, csv_column=b"b") == (expected([b"2", b"3", b"5"]), 3, 0)
    assert sketch_of(inputs, csv_column=1) == (expected([b"2", b"4"]), 2, 1)


@pytest.mark.parametrize(
    "inputs, column, message",
    [
        ([b"a,b\n1,2\n"], b"c", 'no column "c" in the header; its columns are: "a", "b"'),
        ([b"a,b\n1,2\n", b"x\n"], b"b", 'no column "b" in the header; its columns are: "x"'),
        ([b'a\n1\n"open\n2\n'], b"a", "a quoted field opened on line 3 is not closed"),
    ],
)
def test_csv_errors(inputs, column, message):
    with pytest.raises(ValueError, match=message):
        sketch_of(inputs, csv_column=column)


def test_refused_arguments():
    with pytest.raises(ValueError, match="normal precision"):
        _native.LineSketcher(30, 20)
    with pytest.raises(ValueError, match="needs header=True"):
        _native.LineSketcher(15, 20, b"name", False)
    with pytest.raises(ValueError, match="negative"):
        _native.LineSketcher(15, 20, -1)
    with pytest.raises(TypeError, match="None, int or bytes"):
        _native.LineSketcher(15, 20, "name")
    with pytest.raises(TypeError):
        _native.LineSketcher(15, 20).feed("text")


def test_values_counts_while_reading():
    sketcher = _native.LineSketcher(15, 20)
    sketcher.feed(bytearray(b"a\nb\nc"))
    assert sketcher.values == 2
    assert sketcher.finish()[1] == 3


def test_sketchers_on_several_threads_at_once():
    # Each feed runs without the GIL and with a helper thread of its own.
    from concurrent.futures import ThreadPoolExecutor

    data = b"".join(b"%d\r\n" % (i * 7919 % 100_003) for i in range(300_000))
    want = sketch_of([data])

    def one(seed):
        rng = random.Random(seed)
        return sketch_of([data], lambda d: random_cuts(rng, d, 5))

    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(one, range(8))) == [want] * 8
