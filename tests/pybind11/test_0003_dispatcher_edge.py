import pytest
from harness import limits_memory, run

# Memory is exhausted with blocks of `sys.argv[1]` bytes, then given back
# one block at a time; at each level, arguments are refused (the dispatcher
# formats "incompatible function arguments") and instances constructed (the
# dispatcher registers them after the call).
SWEEP = """
import sys
from m0003 import Thing, twice
REFUSED = (TypeError, MemoryError)
keep, made, given_back, tries = None, [], 0, 0
limit(30 << 20)
keep = exhaust(lambda: b"x" * int(sys.argv[1]))
while given_back < 300:
    given_back += 1
    if keep:
        del keep[-1]
    tries = 0
    while tries < 20:
        tries += 1
        try:
            twice(None)
        except REFUSED:
            pass
        try:
            made.append(Thing(1))
        except MemoryError:
            pass
unlimit()
keep.clear()
made.clear()
print(twice(3), Thing(2).n())
"""


@limits_memory
@pytest.mark.parametrize("size", [16, 64, 100, 200])
def test_errors_at_the_dispatchers_edge_with_memory_exhausted(size):
    assert run(SWEEP, size, memory_limit=True).stdout == "6 2\n"
