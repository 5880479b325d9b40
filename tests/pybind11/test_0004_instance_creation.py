import pytest
from harness import limits_memory, lines, run


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


MAKE = """
from m0004 import make
keep = kept = None
limit(40 << 20)
keep = exhaust(lambda: b"x" * 100000)
kept = exhaust(make)
unlimit()
keep.clear()
kept.clear()
print("MemoryError")
print(make().n())
"""


@limits_memory
def test_returned_values_until_memory_runs_out():
    assert run(MAKE, memory_limit=True).stdout == "MemoryError\n2\n"
