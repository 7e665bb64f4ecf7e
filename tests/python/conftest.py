import pytest

from support import HLL


@pytest.fixture
def int_sketch():
    return HLL(int)


@pytest.fixture
def text_sketch():
    return HLL(str)
