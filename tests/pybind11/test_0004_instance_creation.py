import pytest
from patchtest import EXHAUSTED, UNDER_ASAN, lines, run


@pytest.mark.parametrize("expr", ["Thing.__base__()", "pickle.dumps(Thing(1), 0)", "pickle.dumps(Thing(1), 1)"])
def test_instances_of_no_registered_class_are_refused(expr):
    assert lines(
        f"""
        import pickle
        from m0004 import Thing
        try:
            {expr}
        except TypeError as e:
            print(e)
        """
    ) == ["cannot create 'pybind11_object' instances"]


MAKE = (
    EXHAUSTED
    + """
from m0004 import make
kept = []
def fill():
    try:
        while True:
            kept.append(make())
    except MemoryError:
        print("MemoryError")
run_exhausted(fill)
kept.clear()
print(make().n())
"""
)


@pytest.mark.linux_only("/proc and RLIMIT_AS cap the child's memory")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer maps its own memory beyond any RLIMIT_AS")
def test_returned_values_until_memory_runs_out():
    assert run(MAKE, str(40 << 20), "100000").stdout == "MemoryError\n2\n"
