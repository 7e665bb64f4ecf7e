"""Python module for Vantorelle HyperLogLog++ implementation"""

from collections.abc import Sequence
from typing import Final, SupportsIndex, final

__version__: Final[str]
__all__ = ["HyperLogLogPlusPlus", "__version__"]

# Any byte string: bytes, bytearray, memoryview, or a sequence of integers
# 0..255 such as list, tuple or range.
_ByteSequence = Sequence[SupportsIndex]

@final
class HyperLogLogPlusPlus:
    """A HyperLogLog++ distinct-count sketch, wrapping the Vantorelle `HyperLogLogPlusPlus` aggregator."""

    def __new__(
        cls,
        ty: type,
        normal_precision: SupportsIndex = ...,  # 15
        sparse_precision: SupportsIndex | None = ...,  # 20; None: no sparse phase
    ) -> HyperLogLogPlusPlus: ...
    @classmethod
    def from_bytes(cls, data: bytes) -> HyperLogLogPlusPlus:
        """Restore a sketch from its serialized bytes (wraps `HyperLogLogPlusPlus::from_bytes`)."""
    def add(self, value: SupportsIndex | str | _ByteSequence) -> None:
        """Wrapper for various `HyperLogLogPlusPlus::add_*` overloads."""
    def merge(self, data: HyperLogLogPlusPlus | _ByteSequence) -> None:
        """Merge a serialized sketch or another sketch into this one (wraps `HyperLogLogPlusPlus::merge_bytes`)."""
    def result(self) -> int:
        """Get the estimated cardinality.

        Returns:
            Estimated number of unique elements
        """
    def num_values(self) -> int:
        """Get the total number of values added to this sketch.

        Returns:
            Number of values added
        """
    def to_bytes(self) -> bytes:
        """Serialize the sketch to bytes.

        Returns:
            Serialized sketch data
        """
    @property
    def normal_precision(self) -> int: ...
    @property
    def sparse_precision(self) -> int: ...
