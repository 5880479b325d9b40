import pytest
from harness import lines

REINIT = """
import sys
from m0002 import InPlace, Thing
t = {"Thing": Thing, "InPlace": InPlace}[sys.argv[1]](1)
class Index:
    def __index__(self):
        t.__init__(5)
        return 2
for args in (("x",), (2**64,), ()):
    try:
        t.__init__(*args)
    except TypeError:
        pass
print(t.n() if isinstance(t, Thing) else t.plus(0))
if isinstance(t, InPlace):
    print(t.plus(Index()))
"""


@pytest.mark.parametrize("cls, expected", [("Thing", ["1"]), ("InPlace", ["1", "7"])])
def test_a_failed_or_nested_second_init_keeps_the_value(cls, expected):
    # A failed second __init__ leaves the value; one made from an argument's
    # __index__ replaces it in place under the outer call.
    assert lines(REINIT, cls) == expected
