import pytest
from harness import USER_EXCEPTIONS, lines

ENTRY = """
import sys
from m0008 import half, twice
exc = eval(sys.argv[1])
class Entry:
    def __index__(self):
        raise exc
    def __float__(self):
        raise exc
for call in (twice, half):
    try:
        call(Entry())
    except BaseException as e:
        print(type(e).__name__, "incompatible" in str(e))
"""


@pytest.mark.parametrize("exc, expected", USER_EXCEPTIONS)
def test_conversion_errors_other_than_a_refusal_pass(exc, expected):
    assert lines(ENTRY, exc) == [expected] * 2
