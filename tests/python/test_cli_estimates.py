"""`vantorelle estimate` with --method, --bounds, --intersection and --jaccard:
the command prints what the package functions return for the same files."""

import vantorelle
from test_cli import failed, ok


def test_estimate_bounds_and_two_sketch_estimates(tmp_path):
    a, b, texts = tmp_path / "a.hll", tmp_path / "b.hll", tmp_path / "t.hll"
    sketch_a = vantorelle.sketch(range(0, 60000), int, 12, 17)
    sketch_b = vantorelle.sketch(range(50000, 90000), int, 12, 17)
    a.write_bytes(sketch_a.to_bytes())
    b.write_bytes(sketch_b.to_bytes())
    texts.write_bytes(vantorelle.sketch(["x", "y"], str).to_bytes())

    for method in ("default", "improved", "ml"):
        assert ok("estimate", "--method", method, a) == f"{vantorelle.estimate(sketch_a, method)}\n"
    lower, upper = vantorelle.bounds(sketch_a, 0.99)
    assert ok("estimate", "--bounds", "--confidence", "0.99", a) == f"{sketch_a.result()}\t{lower}\t{upper}\n"
    merged = vantorelle.merge_all([sketch_a, sketch_b])
    low, high = vantorelle.bounds(merged)
    assert ok("estimate", "--union", "--bounds", "--method", "ml", a, b) == (
        f"{vantorelle.estimate(merged, 'ml')}\t{low}\t{high}\n")
    # The one union estimate: the command prints what vantorelle.union gives.
    assert ok("estimate", "--union", a, b) == f"{vantorelle.union(sketch_a, sketch_b)}\n"
    assert ok("estimate", "--union", "-", b, stdin=a.read_bytes()) == f"{vantorelle.union(sketch_a, sketch_b)}\n"
    lines = ok("estimate", "--bounds", a, b).splitlines()
    assert [line.split("\t")[-1] for line in lines] == [str(a), str(b)]

    assert ok("estimate", "--intersection", a, b) == f"{vantorelle.intersection(sketch_a, sketch_b)}\n"
    assert ok("estimate", "--jaccard", b, a) == f"{vantorelle.jaccard(sketch_b, sketch_a):.6f}\n"

    assert failed(1, "estimate", "--intersection", a, texts).startswith(f"vantorelle: cannot compare {a} and {texts}: ")
    assert "exactly two" in failed(2, "estimate", "--intersection", a)
    assert "confidence" in failed(2, "estimate", "--bounds", "--confidence", "1.5", a)
    assert "not allowed with" in failed(2, "estimate", "--intersection", "--jaccard", a, b)
    # Options a form would ignore are refused.
    for extra in (["--union"], ["--method", "ml"], ["--bounds"], ["--bounds", "--confidence", "0.9"]):
        assert "not allowed with argument --jaccard" in failed(2, "estimate", "--jaccard", *extra, a, b)
    assert "only with --bounds" in failed(2, "estimate", "--confidence", "0.9", a)


def test_estimate_and_merge_json(tmp_path):
    """--json prints, per line of the plain output, one object with the same
    numbers and the file (or files) it is about."""
    import json

    a, b, m = tmp_path / "a.hll", tmp_path / "b.hll", tmp_path / "m.hll"
    a.write_bytes(vantorelle.sketch(range(0, 3000), int).to_bytes())
    b.write_bytes(vantorelle.sketch(range(2000, 9000), int).to_bytes())

    def as_json(*args):
        return [json.loads(line) for line in ok("estimate", "--json", *args).splitlines()]

    for args in (["--bounds", "--method", "ml", a, b], ["--union", "--bounds", "--confidence", "0.9", a, b],
                 [a], ["--intersection", a, b], ["--jaccard", a, b]):
        plain = [line.split("\t") for line in ok("estimate", *args).splitlines()]
        shown = as_json(*args)
        assert len(shown) == len(plain)
        for fields, obj in zip(plain, shown):
            if "--intersection" in args or "--jaccard" in args:
                key = "intersection" if "--intersection" in args else "jaccard"
                assert (obj["files"], obj[key]) == ([str(a), str(b)], type(obj[key])(fields[0]))
                continue
            numbers = [obj["estimate"]] + ([obj["lower"], obj["upper"]] if "--bounds" in args else [])
            assert [str(n) for n in numbers] == fields[: len(numbers)]
            where = obj["files"] if "--union" in args else [obj["file"]]
            assert where == ([str(a), str(b)] if "--union" in args else fields[len(numbers):] or [str(a)])

    facts = json.loads(ok("merge", "--json", a, b, "-o", m))
    assert facts == json.loads(ok("inspect", "--json", m))
    assert facts["estimate"] == vantorelle.merge_all([a.read_bytes(), b.read_bytes()]).result()
    assert "would both write to standard output" in failed(2, "merge", "--json", a, "-o", "-")
