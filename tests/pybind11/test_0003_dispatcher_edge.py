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
limit(30 << 20)
keep = exhaust(lambda: b"x" * int(sys.argv[1]))
made = []
for _ in range(300):
    if keep:
        del keep[-1]
    for _ in range(20):
        try:
            twice(None)
        except REFUSED:
            pass
        try:
            made.append(Thing(1))
        except MemoryError:
            pass
keep.clear()
made.clear()
unlimit()
print(twice(3), Thing(2).n())
"""


@limits_memory
@pytest.mark.parametrize("size", [16, 64, 100, 200])
def test_errors_at_the_dispatchers_edge_with_memory_exhausted(size):
    assert run(SWEEP, size, memory_limit=True).stdout == "6 2\n"
