"""Python module for Vantorelle HyperLogLog++ implementation

The runtime docstrings are fixed texts; the explanations for users are
written here, where IDEs and ``help`` on the stub show them.
"""

from collections.abc import Sequence
from typing import Final, SupportsIndex, final

__version__: Final[str]
__all__ = ["HyperLogLogPlusPlus", "__version__"]

# Any byte string: bytes, bytearray, memoryview, or a sequence of integers
# 0..255 such as list, tuple or range.
_ByteSequence = Sequence[SupportsIndex]

@final
class HyperLogLogPlusPlus:
    """A HyperLogLog++ distinct-count sketch.

    ``HyperLogLogPlusPlus(ty, normal_precision=15, sparse_precision=20)``: ``ty``
    is ``int`` (64-bit integers) or ``str`` / ``bytes`` (text and byte strings;
    the first value added fixes which of the two the sketch accepts).
    ``normal_precision`` p (10..24) gives 2^p registers, a relative standard
    error of about 1.04 / sqrt(2^p); ``sparse_precision`` (p..25, or None for
    no sparse phase) is the precision of the compact form small sketches
    start in.

    Raises ValueError for another ``ty`` or a precision out of range.
    To add a whole column (numpy array, Arrow column, list), use
    ``vantorelle.add_all`` or ``vantorelle.sketch``.
    """

    def __new__(
        cls,
        ty: type,
        normal_precision: SupportsIndex = ...,  # 15
        sparse_precision: SupportsIndex | None = ...,  # 20; None: no sparse phase
    ) -> HyperLogLogPlusPlus: ...
    @classmethod
    def from_bytes(cls, data: bytes) -> HyperLogLogPlusPlus:
        """Rebuild a sketch from serialised bytes (``bytes`` only).

        Checks the message's form; the stored sparse values are read only when
        first used, so a corrupt sketch from elsewhere may fail later with
        ``InternalError``. ``vantorelle.from_bytes`` checks everything first and
        takes any bytes-like object.
        """
    def add(self, value: SupportsIndex | str | _ByteSequence) -> None:
        """Add one value: an integer (``int``, ``bool``, ``__index__``) in the
        64-bit signed range, a ``str`` (its UTF-8 bytes), or a byte string
        (``bytes``, ``bytearray``, ``memoryview``, any sequence of ints 0..255).

        A numpy array is one byte string here, not a column: use
        ``vantorelle.add_all(sketch, array)`` to add its elements. Raises
        TypeError for other values, and for a type the sketch does not accept.
        """
    def merge(self, data: HyperLogLogPlusPlus | _ByteSequence) -> None:
        """Merge another sketch, or its serialised bytes, into this one.

        The other sketch is not changed. Sketches of different precisions merge
        at the lower ones. Raises TypeError for anything else (the sketch
        itself included) and RuntimeError for incompatible sketches; a failed
        merge changes nothing.
        """
    def result(self) -> int:
        """The estimated number of distinct values (0 for an empty sketch)."""
    def num_values(self) -> int:
        """The number of values added, those of merged sketches included."""
    def to_bytes(self) -> bytes:
        """The serialised sketch, a protocol-buffers ``AggregatorState``
        message that other producers of the format read. Leaves the sketch
        unchanged."""
    @property
    def normal_precision(self) -> int:
        """The current normal precision p (a merge may lower it)."""
    @property
    def sparse_precision(self) -> int:
        """The current sparse precision (0: no sparse phase; a merge may lower it)."""
