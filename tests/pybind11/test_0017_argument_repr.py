import pytest
from harness import lines

# An object whose repr calls a bound __repr__ that refuses it: the message
# of that refusal shows the object, whose repr is called again.
PROGRAM = """
import sys, threading
from m0017 import Thing
calls = []
class Other:
    def __repr__(self):
        calls.append(1)
        return Thing.__dict__["__repr__"](self)
def run():
    try:
        repr(Other())
    except TypeError as e:
        print(len(calls), str(e).splitlines()[-1])
threading.stack_size(int(sys.argv[1]))
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(repr(Thing(4)))
"""


@pytest.mark.parametrize("stack", [512 << 10, 8 << 20])
def test_an_argument_shown_in_its_own_refusal_is_shown_once(stack):
    assert lines(PROGRAM, str(stack)) == ["2 Invoked with: <repr raised Error>", "Thing(4)"]
