"""The serialised form read and written by the protobuf package, with the
message layout declared at test time."""

import pytest

pytest.importorskip("google.protobuf")
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory  # noqa: E402

from support import HLL, filled  # noqa: E402

FIELD = descriptor_pb2.FieldDescriptorProto


def message_classes():
    file = descriptor_pb2.FileDescriptorProto(name="vantorelle_test_state.proto", package="vt", syntax="proto2")
    hll = file.message_type.add(name="HllUniqueState")
    for name, number, kind in [
        ("sparse_size", 2, FIELD.TYPE_INT32),
        ("precision", 3, FIELD.TYPE_INT32),
        ("sparse_precision", 4, FIELD.TYPE_INT32),
        ("data", 5, FIELD.TYPE_BYTES),
        ("sparse_data", 6, FIELD.TYPE_BYTES),
    ]:
        hll.field.add(name=name, number=number, type=kind, label=FIELD.LABEL_OPTIONAL)
    state = file.message_type.add(name="AggregatorState")
    for name, number, kind in [
        ("type", 1, FIELD.TYPE_INT32),
        ("num_values", 2, FIELD.TYPE_INT64),
        ("encoding_version", 3, FIELD.TYPE_INT32),
        ("value_type", 4, FIELD.TYPE_INT32),
        ("comment", 50, FIELD.TYPE_STRING),  # unknown to the library
    ]:
        state.field.add(name=name, number=number, type=kind, label=FIELD.LABEL_OPTIONAL)
    state.field.add(name="hll_state", number=112, type=FIELD.TYPE_MESSAGE, type_name=".vt.HllUniqueState", label=FIELD.LABEL_OPTIONAL)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(file)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName("vt.AggregatorState"))


AggregatorState = message_classes()


@pytest.mark.parametrize(
    "sketch, dense",
    [(filled(int, range(100), 14, 19), False), (filled(int, range(100_000), 14, 19), True), (HLL(int, 11, None), True)],
)
def test_protobuf_reads_our_bytes(sketch, dense):
    state = AggregatorState.FromString(sketch.to_bytes())
    assert (state.type, state.encoding_version, state.value_type) == (112, 2, 8)
    assert state.num_values == sketch.num_values()
    hll = state.hll_state
    assert (hll.precision, hll.sparse_precision) == (sketch.normal_precision, sketch.sparse_precision)
    assert hll.HasField("sparse_data") is not dense
    if hll.HasField("data"):
        assert len(hll.data) == 2**hll.precision
    if not dense:
        assert hll.sparse_size == 100


@pytest.mark.parametrize("count", [500, 60_000])
def test_we_read_protobuf_bytes(count):
    sketch = filled(str, (f"k{i}" for i in range(count)), 13, 20)
    state = AggregatorState.FromString(sketch.to_bytes())
    state.comment = "written by another producer"
    rebuilt = HLL.from_bytes(state.SerializeToString())
    assert (rebuilt.result(), rebuilt.num_values()) == (sketch.result(), sketch.num_values())
    assert rebuilt.to_bytes() == sketch.to_bytes()


def test_message_built_by_protobuf():
    registers = bytearray(2**10)
    registers[3], registers[700] = 5, 2
    state = AggregatorState(type=112, num_values=9, encoding_version=2, value_type=11)
    state.hll_state.precision = 10
    state.hll_state.data = bytes(registers)
    sketch = HLL.from_bytes(state.SerializeToString())
    assert (sketch.normal_precision, sketch.sparse_precision, sketch.num_values()) == (10, 0, 9)
    assert sketch.result() == 2  # linear counting over two occupied registers
