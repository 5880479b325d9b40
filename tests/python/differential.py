"""Random and adversarial calls for the differential test of the fast paths:
each is a Python expression over SETUP's names, made by `expression(choose)`,
where `choose(options)` picks one option. The test picks with a seeded
random.Random (test_pybind11_fast_paths.py), the coverage-guided run with
atheris (tests/fuzz/fuzz_fast_paths.py). `outcomes(exprs)` evaluates them in
this interpreter: a result's repr, or an exception's type and message, with
addresses blanked."""

import re

SETUP = """
import gc, weakref
from _tolvane import Tensor, Dtype, Device, float64, int32, cpu, execute
cuda = Device.CUDA
class Sub(Tensor):
    pass
class Idx:
    def __init__(self, value=2):
        self.value = value
    def __index__(self):
        return self.value
class Seq:
    def __len__(self):
        return 1
    def __getitem__(self, i):
        if i:
            raise IndexError
        return 2
class Radd:
    def __radd__(self, other):
        return "radd"
t = Tensor([2, 3])
s = Sub([2, 3])
bare = Tensor.__new__(Tensor)
wide = Tensor([2, 3]).view([3, 2])
"""

ENTRIES = [
    "0", "1", "2", "3", "6", "-1", "-2", "True", "False",
    "2**31", "2**62", "2**63 - 1", "2**63", "2**64 - 1", "2**64", "-2**63", "-2**63 - 1", "10**30",
    "Idx()", "Idx(-1)", "Idx(2**64)", "2.0", "'a'", "None", "[2]",
]  # fmt: skip
RECEIVERS = [
    "t", "s", "bare", "wide", "Tensor([2, 3], float64)", "Tensor([3, 2])", "Tensor([])", "Tensor([0, 6])",
    "Sub.__new__(Sub)", "(t + t)", "(1)", "None", "Dtype.INT32", "Radd()",
]  # fmt: skip
# Receivers of the class's own entries called unbound: a non-tensor there is
# refused by CPython's descriptor, before either side is reached.
TENSORS = RECEIVERS[:10]
TYPE_ARGS = [
    "", ", float64", ", int32, cpu", ", Dtype.INT64, Device.CUDA", ", 1", ", cpu", ", Dtype.__new__(Dtype)",
    ", dtype=float64", ", device=cuda", ", float64, cpu, 1", ", bogus=1",
]  # fmt: skip


def sequence(choose):
    """A shape or dims argument: mostly exact lists and tuples of ints, which
    the fast paths take, and what they must leave to pybind11."""
    kind = choose(["list", "list", "list", "tuple", "tuple", "range", "Seq()", "'ab'", "None", "5", "iter([2])"])
    if kind not in ("list", "tuple", "range"):
        return kind
    if kind == "range":
        return f"range({choose(['0', '3', '-1', '2**63'])})"
    count = choose([0, 1, 1, 2, 2, 2, 3, 4, 5])
    entries = ", ".join(choose(ENTRIES) for _ in range(count))
    return f"[{entries}]" if kind == "list" else f"({entries}{',' if count == 1 else ''})"


def expression(choose):
    """One call of a fast path (or next to one), with arguments that often
    convert and sometimes do not."""
    receiver, other, dims = choose(RECEIVERS), choose(RECEIVERS), sequence(choose)
    tensor = choose(TENSORS)
    return choose(
        [
            lambda: f"Tensor({dims}{choose(TYPE_ARGS)})",
            lambda: f"Sub({dims}{choose(TYPE_ARGS)})",
            lambda: f"Tensor(shape={dims})",
            lambda: f"{receiver}.view({dims})",
            lambda: f"{receiver}.reshape({dims})",
            lambda: f"{receiver}.view(dims={dims})",
            lambda: f"{receiver}.reshape({dims}, {dims})",
            lambda: f"Tensor.view({tensor}, {dims})",
            lambda: f"Tensor.reshape({tensor})",
            lambda: f"{receiver}.shape",
            lambda: f"Tensor.shape.__get__({tensor})",
            lambda: f"{receiver} + {other}",
            lambda: f"Tensor.__add__({tensor}, {other})",
            lambda: f"{receiver}.__add__({other}, {other})",
            lambda: f"{receiver}.{choose(['strides', 'dtype', 'device', 'offset'])}",
            lambda: f"{receiver}.{choose(['numel', 'nbytes', 'allocated', 'is_contiguous', 'contiguous'])}()",
            lambda: f"Tensor.{choose(['zeros', 'ones'])}({dims}{choose(TYPE_ARGS)})",
            lambda: f"execute({receiver})",
            lambda: f"repr({receiver})",
        ]
    )()


def outcomes(exprs, namespace):
    """Each expression's outcome, evaluated in `namespace` (made by SETUP)."""
    results = []
    for expr in exprs:
        try:
            outcome = repr(eval(expr, namespace))
        except Exception as e:
            outcome = f"{type(e).__name__}: {e}"
        results.append(re.sub(r"0x[0-9a-f]+", "0x?", outcome))
    return results
